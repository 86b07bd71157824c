#include <gtest/gtest.h>

#include "text/IcmpStatusText.h"

TEST(icmpStatusText, CodesOutsideTheTableAreUnknown) {
    for (int code : {11000, 11023, 11049, 11051, 12000, -1, -11010, 87})
        EXPECT_EQ(icmpStatusText(code), "Unknown") << code;
}

TEST(icmpStatusText, KeepsTheStatusSpelling) {
    EXPECT_EQ(icmpStatusText(0), "Success");
    EXPECT_EQ(icmpStatusText(11010), "Request Timed Out");
    EXPECT_EQ(icmpStatusText(11013), "TTL expired (TRANSIT)");
    EXPECT_EQ(icmpStatusText(11022), "IP_UNLOAD");
    EXPECT_EQ(icmpStatusText(11050), "General Failure");
}
