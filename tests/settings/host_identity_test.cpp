#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/HostIdentity.h"

namespace {

TEST(HostIdentity, NamesFoldCaseAddressesCompareByValueAndNothingIsLookedUp) {
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"Router.LAN", "router.lan", true},
        {"router.lan", "router.lan.", false}, // as typed: a trailing dot is another name
        {"::1", "0:0:0:0:0:0:0:1", true},
        {"::1", "::0:1", true},
        {"2001:DB8::1", "2001:db8:0::1", true},
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.01", true}, // probed as one address, whatever the spelling
        {"127.1", "127.0.0.1", true},
        {"0x7f.1", "127.0.0.1", true},
        {"Gateway.Example", " gateway.example ", true},
        {"10", "10.0.0.0", false},
        {"127.0.0.1", "localhost", false},
        {"::ffff:127.0.0.1", "127.0.0.1", false},
        {"fe80::1%1", "fe80::1%1", true},
        {"fe80::1%1", "fe80::1", false},
        {"", "", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HostIdentity::same(c.a, c.b), c.same) << c.a << " / " << c.b;

    const std::vector<std::string> watched{"gateway.example", "192.0.2.7", "2001:db8::5"};
    EXPECT_TRUE(HostIdentity::isWatched("GATEWAY.example", watched));
    EXPECT_TRUE(HostIdentity::isWatched("2001:db8:0:0::5", watched));
    EXPECT_FALSE(HostIdentity::isWatched("192.0.2.8", watched));
    EXPECT_FALSE(HostIdentity::isWatched("", {"", "a"})); // an empty host is no host
}

} // namespace
