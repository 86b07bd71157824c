#include <gtest/gtest.h>

#include "engine/IcmpStatus.h"

TEST(IcmpStatusText, CodesOutsideTheTableAreUnknown) {
    for (int code : {11000, 11023, 11049, 11051, 12000, -1, -11010, 87})
        EXPECT_EQ(IcmpStatusText(code), "Unknown") << code;
}

TEST(IcmpStatusText, KeepsTheClassicSpelling) {
    EXPECT_EQ(IcmpStatusText(0), "Success");
    EXPECT_EQ(IcmpStatusText(11010), "Request Timed Out");
    EXPECT_EQ(IcmpStatusText(11013), "TTL expired (TRANSIT)");
    EXPECT_EQ(IcmpStatusText(11022), "IP_UNLOAD");
    EXPECT_EQ(IcmpStatusText(11050), "General Failure");
}
