// The texts of a stored trace: the notification's line and the outage list's Where.
#include <gtest/gtest.h>

#include "engine/RouteResult.h"
#include "text/RouteText.h"

namespace {

TEST(RouteWhereText, NamesTheHopWhereLossBeginsOrThatThereIsNone) {
    const struct {
        std::optional<int> hop;
        const char* address;
        const char* line;
        const char* where;
    } cases[] = {
        {3, "192.0.2.1", "Loss begins at hop 3 (192.0.2.1)", "hop 3, 192.0.2.1"},
        {std::nullopt, "", "No loss on the path", "no loss on the path"},
        {std::nullopt, "192.0.2.1", "No loss on the path", "no loss on the path"},
        // The end of a path that never answered.
        {12, "", "Loss begins at hop 12 (?\?\?)", "hop 12"},
        {1, "2001:db8::1", "Loss begins at hop 1 (2001:db8::1)", "hop 1, 2001:db8::1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RouteText::lossLine(c.hop, c.address), c.line);
        EXPECT_EQ(RouteText::where(c.hop, c.address), c.where);
    }
}

// A loss that begins at a hop that never answers is said in words, with the last hop that does; the console's
// line keeps mtr's "???".
TEST(RouteWhereText, ALossHopThatNeverAnswersIsSaidInWords) {
    RouteResult result;
    const auto hop = [](std::uint8_t number, const char* address, std::uint32_t received) {
        RouteHop h;
        h.number = number;
        if (address != nullptr)
            h.answered.push_back(*IpAddress::parse(address));
        h.sent = 10;
        h.received = received;
        return h;
    };
    result.hops = {hop(1, "198.18.1.2", 10), hop(2, "198.18.2.2", 10), hop(3, nullptr, 0), hop(4, nullptr, 0)};
    result.lossBeginsAt = 3;
    EXPECT_EQ(RouteText::lossSentence(result),
              "Loss begins at hop 3, which does not answer; hop 2, 198.18.2.2, is the last that does");
    EXPECT_EQ(RouteText::lossLine(result), "Loss begins at hop 3 (?\?\?)");
    result.hops[1] = hop(2, nullptr, 0);
    EXPECT_EQ(RouteText::lossSentence(result),
              "Loss begins at hop 3, which does not answer; hop 1, 198.18.1.2, is the last that does");
    result.hops[0] = hop(1, nullptr, 0);
    EXPECT_EQ(RouteText::lossSentence(result), "Loss begins at hop 3, which does not answer; no hop before it does");
    result.lossBeginsAt = 1;
    EXPECT_EQ(RouteText::lossSentence(result), "Loss begins at hop 1, which does not answer");
    // A hop that answers is named as before.
    result.hops[3] = hop(4, "198.18.4.2", 4);
    result.lossBeginsAt = 4;
    EXPECT_EQ(RouteText::lossSentence(result), "Loss begins at hop 4 (198.18.4.2)");
    result.lossBeginsAt.reset();
    EXPECT_EQ(RouteText::lossSentence(result), "No loss on the path");

    // From the ledger's figures, as History has them.
    EXPECT_EQ(RouteText::lossSentence(3, "", 2, "198.18.2.2"),
              "Loss begins at hop 3, which does not answer; hop 2, 198.18.2.2, is the last that does");
    EXPECT_EQ(RouteText::lossSentence(3, "198.18.3.2", 2, "198.18.2.2"), "Loss begins at hop 3 (198.18.3.2)");
    EXPECT_EQ(RouteText::lossSentence(std::nullopt, "", std::nullopt, ""), "No loss on the path");
}

IpAddress address(const char* text) {
    return IpAddress::parse(text).value_or(IpAddress{});
}

TEST(RouteChangeText, NamesTheHostTheHopAndBothAddresses) {
    RouteChange change;
    change.hop = 3;
    change.before = {address("198.18.1.2"), IpAddress{}, address("192.0.2.1")};
    change.after = {address("198.18.1.2"), IpAddress{}, address("198.51.100.7"), address("192.0.2.1")};
    EXPECT_EQ(RouteText::changeSentence("gateway.example", change),
              "Route to gateway.example changed at hop 3: 192.0.2.1 \u2192 198.51.100.7");
    change.hop = 2; // never made so, but a silent hop reads as the console writes it
    EXPECT_EQ(RouteText::changeSentence("h", change), "Route to h changed at hop 2: ??? \u2192 ???");
}

} // namespace
