#include "metrics/ListenAddress.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ListenAddress, AcceptedFormsAndWhereTheyListen) {
    const struct {
        const char* text;
        const char* address;
        std::uint16_t port;
        bool ipv6;
    } cases[] = {
        {"9100", "127.0.0.1", 9100, false}, // a bare port stays on loopback
        {" 9100 ", "127.0.0.1", 9100, false},
        {"1", "127.0.0.1", 1, false},
        {"65535", "127.0.0.1", 65535, false},
        {"127.0.0.1:9100", "127.0.0.1", 9100, false},
        {"0.0.0.0:9100", "0.0.0.0", 9100, false},
        {"localhost:9100", "127.0.0.1", 9100, false},
        {"[::1]:9100", "::1", 9100, true},
        {"[::]:80", "::", 80, true},
        {"[fe80::1:2]:9100", "fe80::1:2", 9100, true},
        {"09100", "127.0.0.1", 9100, false},
    };
    for (const auto& c : cases) {
        const ListenAddressParse parsed = parseListenAddress(c.text);
        ASSERT_TRUE(parsed.listen.has_value()) << c.text << ": " << parsed.error;
        EXPECT_EQ(*parsed.listen, (ListenAddress{c.address, c.port, c.ipv6})) << c.text;
    }
    EXPECT_EQ(parseListenAddress("[::1]:9100").listen->toString(), "[::1]:9100");
}

TEST(ListenAddress, RefusedFormsSayWhy) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"", "no address given"},
        {"   ", "no address given"},
        {"0", "port must be a number from 1 to 65535"},
        {"65536", "port must be a number from 1 to 65535"},
        {"99999999999999999999", "port must be a number from 1 to 65535"},
        {"-1", "port must be a number from 1 to 65535"},
        {"+80", "port must be a number from 1 to 65535"},
        {"9100x", "port must be a number from 1 to 65535"},
        {"127.0.0.1:", "port must be a number from 1 to 65535"},
        {"127.0.0.1:http", "port must be a number from 1 to 65535"},
        {":9100", "no address before the colon"},
        {"example.org:9100", "\"example.org\" is not an IPv4 address"},
        {"127.1:9100", "\"127.1\" is not an IPv4 address"},
        {"256.0.0.1:9100", "is not an IPv4 address"},
        {"::1:9100", "in brackets"},
        {"[::1]", "must be followed by :PORT"},
        {"[::1]9100", "must be followed by :PORT"},
        {"[::1:9100", "must be followed by :PORT"},
        {"[127.0.0.1]:9100", "is not an IPv6 address"},
        {"[fe80::1%lo]:9100", "is not an IPv6 address"},
    };
    for (const auto& c : cases) {
        const ListenAddressParse parsed = parseListenAddress(c.text);
        EXPECT_FALSE(parsed.listen.has_value()) << c.text;
        EXPECT_NE(parsed.error.find(c.reason), std::string::npos) << c.text << " -> " << parsed.error;
        EXPECT_NE(parsed.error.find(std::string("\"") + c.text + "\""), std::string::npos) << parsed.error;
    }
}

} // namespace
