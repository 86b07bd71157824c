// Route changes among repeated traces: only a new path seen twice in a row is one; a balancer's alternation, a
// silent hop, a trace cut short by an outage and a second address heard within one trace are not.
#include <gtest/gtest.h>

#include "engine/RouteChangeDetector.h"
#include "support/RouteHops.h"

namespace {

// One trace, a hop per address ("" for a hop that never answered), 3 requests each.
std::vector<RouteHop> path(const std::vector<std::string>& addresses) {
    std::vector<RouteHop> hops;
    for (std::size_t i = 0; i < addresses.size(); ++i)
        hops.push_back(addresses[i].empty()
                           ? routeHop(static_cast<std::uint8_t>(i + 1), {}, 3, 3)
                           : routeHop(static_cast<std::uint8_t>(i + 1), {addresses[i]}, 3, 0, 500, 400, 500, 600, 50));
    return hops;
}

IpAddress ip(const std::string& text) {
    return IpAddress::parse(text).value_or(IpAddress{});
}

const std::vector<std::string> kUsual = {"198.18.1.2", "198.18.2.2", "198.18.3.2", "198.18.4.2"};
const std::vector<std::string> kOther = {"198.18.1.2", "198.18.2.2", "198.18.9.2", "198.18.4.2"};

// Feeds the traces in turn; the 1-based numbers of those that reported a change.
std::vector<int> changesAt(RouteChangeDetector& detector, const std::vector<std::vector<std::string>>& traces) {
    std::vector<int> at;
    for (std::size_t i = 0; i < traces.size(); ++i)
        if (detector.feed(path(traces[i]), static_cast<std::int64_t>(i) * 60'000))
            at.push_back(static_cast<int>(i + 1));
    return at;
}

TEST(RouteChangeDetector, WhatIsNotAChange) {
    const std::vector<std::string> silentThird = {"198.18.1.2", "198.18.2.2", "", "198.18.4.2"};
    const std::vector<std::string> outage = {"198.18.1.2", "198.18.2.2", "", "", ""};
    const struct {
        const char* name;
        std::vector<std::vector<std::string>> traces;
    } cases[] = {
        {"the same path again", {kUsual, kUsual, kUsual}},
        {"a balancer alternating trace by trace", {kUsual, kOther, kUsual, kOther, kUsual, kOther, kUsual}},
        {"a hop that stops answering, even for good", {kUsual, silentThird, silentThird, silentThird}},
        {"a hop that answers again", {silentThird, silentThird, kUsual, kUsual}},
        {"an outage: nothing past the second hop", {kUsual, outage, outage, outage, kUsual}},
        {"a detour of a single trace", {kUsual, kOther, kUsual, kUsual}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RouteChangeDetector detector;
        EXPECT_EQ(changesAt(detector, c.traces), std::vector<int>{});
    }
}

// The route changes while a trace runs: that trace hears the old and the new router at the hop, then only the
// new one answers. Still one change, and the before names the old router.
TEST(RouteChangeDetector, ARouteThatChangesDuringATraceIsStillAChange) {
    RouteChangeDetector detector;
    std::vector<RouteHop> mixed = path(kUsual);
    mixed[2].answered.push_back(ip("198.18.9.2"));
    ASSERT_FALSE(detector.feed(path(kUsual), 0));
    ASSERT_FALSE(detector.feed(mixed, 60'000));
    ASSERT_FALSE(detector.feed(path(kOther), 120'000));
    const std::optional<RouteChange> change = detector.feed(path(kOther), 180'000);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->hop, 3);
    EXPECT_EQ(change->before[2], ip("198.18.3.2"));
    EXPECT_EQ(change->after[2], ip("198.18.9.2"));
}

TEST(RouteChangeDetector, ANewPathSeenTwiceIsOneChangeAtItsFirstDifferentHop) {
    RouteChangeDetector detector;
    EXPECT_EQ(changesAt(detector, {kUsual, kUsual, kOther, kOther, kOther, kOther}), std::vector<int>{4});
    // And back: that is a change too, once.
    EXPECT_EQ(changesAt(detector, {kUsual, kUsual, kUsual}), std::vector<int>{2});

    RouteChangeDetector longer;
    const std::vector<std::string> detour = {"198.18.1.2", "198.18.2.2", "198.18.5.2", "198.18.3.2", "198.18.4.2"};
    ASSERT_FALSE(longer.feed(path(kUsual), 0));
    ASSERT_FALSE(longer.feed(path(detour), 60'000));
    const std::optional<RouteChange> change = longer.feed(path(detour), 120'000);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->atMs, 120'000);
    EXPECT_EQ(change->hop, 3);
    EXPECT_EQ(change->before,
              (std::vector<IpAddress>{ip("198.18.1.2"), ip("198.18.2.2"), ip("198.18.3.2"), ip("198.18.4.2")}));
    EXPECT_EQ(change->after, (std::vector<IpAddress>{ip("198.18.1.2"), ip("198.18.2.2"), ip("198.18.5.2"),
                                                     ip("198.18.3.2"), ip("198.18.4.2")}));
}

// A balancer heard from both of its routers within a trace, trace after trace: either one alone is the known
// path afterwards.
TEST(RouteChangeDetector, AddressesHeardTogetherAtAHopAreOnePath) {
    RouteChangeDetector detector;
    std::vector<RouteHop> both = path(kUsual);
    both[2].answered.push_back(ip("198.18.9.2"));
    ASSERT_FALSE(detector.feed(path(kUsual), 0));
    ASSERT_FALSE(detector.feed(both, 0));
    ASSERT_FALSE(detector.feed(both, 0));
    EXPECT_EQ(changesAt(detector, {kOther, kOther, kUsual, kUsual}), std::vector<int>{});
    EXPECT_EQ(detector.known()[2], (std::vector<IpAddress>{ip("198.18.3.2"), ip("198.18.9.2")}));
}

} // namespace
