#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

#include "text/RouteText.h"

// The hop texts that the console's table and the Route window share.

namespace {

RouteHop hop(std::uint8_t number, std::uint32_t sent, std::uint32_t received) {
    RouteHop h;
    h.number = number;
    h.sent = sent;
    h.received = received;
    return h;
}

TEST(RouteText, MillisecondsHaveOneDecimal) {
    const struct {
        std::uint32_t micros;
        const char* shown;
    } cases[] = {{0, "0.0"},
                 {49, "0.0"},
                 {51, "0.1"},
                 {1049, "1.0"},
                 {12345, "12.3"},
                 {2'000'000, "2000.0"},
                 {4'294'967'295U, "4294967.3"}};
    for (const auto& c : cases)
        EXPECT_EQ(RouteText::milliseconds(c.micros), c.shown) << c.micros;
}

TEST(RouteText, LossPercentOfTheSettledRequests) {
    const struct {
        std::uint32_t sent;
        std::uint32_t received;
        const char* shown;
    } cases[] = {{0, 0, "0.0%"}, {10, 10, "0.0%"}, {3, 2, "33.3%"}, {3, 1, "66.7%"}, {30, 0, "100.0%"}};
    for (const auto& c : cases)
        EXPECT_EQ(RouteText::lossPercent(hop(1, c.sent, c.received)), c.shown) << c.sent << "/" << c.received;
}

TEST(RouteText, LossLineNamesTheFirstAddressOfTheHopWhereLossBegins) {
    RouteResult result;
    result.hops = {hop(1, 10, 10), hop(2, 10, 5), hop(3, 10, 0)};
    result.hops[0].answered = {IpAddress::v4(inet_addr("198.18.1.1"))};
    result.hops[1].answered = {IpAddress::v4(inet_addr("198.18.2.1")), IpAddress::v4(inet_addr("198.18.2.9"))};
    EXPECT_EQ(RouteText::lossLine(result), "No loss on the path");
    result.lossBeginsAt = 2;
    EXPECT_EQ(RouteText::lossLine(result), "Loss begins at hop 2 (198.18.2.1)");
    result.lossBeginsAt = 3;
    EXPECT_EQ(RouteText::lossLine(result), "Loss begins at hop 3 (?\?\?)");
    // A number beyond the hops listed still gives a line, not a stale address.
    result.lossBeginsAt = 9;
    EXPECT_EQ(RouteText::lossLine(result), "Loss begins at hop 9 (?\?\?)");
}

} // namespace
