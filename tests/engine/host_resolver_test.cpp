#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "engine/PosixHostResolver.h"
#include "support/TempDir.h"

namespace {

IpAddress ip(const char* text) {
    in_addr in{};
    if (inet_pton(AF_INET, text, &in) == 1)
        return IpAddress::v4(in.s_addr);
    const auto v6 = IpAddress::parseV6(text);
    EXPECT_TRUE(v6.has_value()) << text;
    return v6.value_or(IpAddress{});
}

std::string describe(PosixHostResolver& resolver, const std::optional<HostEntry>& entry) {
    if (!entry)
        return "none";
    std::string text = entry->officialName;
    for (const IpAddress& address : entry->addresses)
        text += " " + resolver.formatAddress(address);
    return text;
}

// Runs `body` in a child with its own mount and network namespaces: /etc/hosts is the given text, and
// the name server is loopback in a namespace whose loopback is down, so any DNS query fails at once and
// nothing leaves the machine. Gives the child's text, or sets `skip` when namespaces are not allowed.
std::string runWithHosts(const std::string& hosts, const std::function<std::string(PosixHostResolver&)>& body,
                         std::string& skip) {
    TempDir dir;
    std::ofstream(dir.file("hosts")) << hosts;
    std::ofstream(dir.file("resolv.conf")) << "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n";
    std::ofstream(dir.file("nsswitch.conf")) << "hosts: files dns\n";

    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        alarm(30); // a hung lookup ends the child instead of the test run
        auto fail = [&](int code, const std::string& what) {
            std::string text = what + ": " + std::strerror(errno);
            (void)!write(fds[1], text.data(), text.size());
            _exit(code);
        };
        if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
            fail(77, "unshare");
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            fail(77, "making / private");
        for (const char* name : {"hosts", "resolv.conf", "nsswitch.conf"}) {
            std::string target = std::string("/etc/") + name;
            if (mount(dir.file(name).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
                fail(77, "bind mount over " + target);
        }
        PosixHostResolver resolver;
        std::string text = body(resolver);
        (void)!write(fds[1], text.data(), text.size());
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        skip = text;
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "child failed (status " + std::to_string(status) + "): " + text;
    return text;
}

class PosixHostResolverNames : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a private mount namespace with its own /etc/hosts";
    }

    std::string run(const std::function<std::string(PosixHostResolver&)>& body) {
        std::string skip;
        std::string text = runWithHosts("127.0.0.7 canon.test alias.test\n"
                                        "127.0.0.8 canon.test\n"
                                        "127.0.0.9 other.test\n"
                                        "255.255.255.255 everyone.test\n"
                                        // IPv6 first in the file: the preference must not hang on the order.
                                        "::10 both.test\n"
                                        "127.0.0.10 both.test\n"
                                        "::11 six.test\n"
                                        "::12 six.test\n",
                                        body, skip);
        if (!skip.empty())
            skip_ = skip;
        return text;
    }
    std::string skip_;
};

TEST_F(PosixHostResolverNames, NameLookupGivesCanonicalNameAndAddressesInOrder) {
    std::string text = run([](PosixHostResolver& r) {
        std::string out;
        for (const char* name : {"alias.test", "canon.test", "OTHER.Test", "everyone.test", "127.0.0.5"})
            out += std::string(name) + " -> " + describe(r, r.lookupHostByName(name)) + "\n";
        return out;
    });
    if (!skip_.empty())
        GTEST_SKIP() << skip_;
    EXPECT_EQ(text, "alias.test -> canon.test 127.0.0.7\n"
                    "canon.test -> canon.test 127.0.0.7 127.0.0.8\n"
                    "OTHER.Test -> other.test 127.0.0.9\n"
                    "everyone.test -> everyone.test 255.255.255.255\n"
                    "127.0.0.5 -> 127.0.0.5 127.0.0.5\n");
}

TEST_F(PosixHostResolverNames, NamesListIpv4BeforeIpv6AndOnlyAaaaNamesGiveIpv6) {
    std::string text = run([](PosixHostResolver& r) {
        std::string out;
        for (const char* name : {"both.test", "six.test", "::11"})
            out += std::string(name) + " -> " + describe(r, r.lookupHostByName(name)) + "\n";
        for (const char* address : {"::11", "::10", "::99"})
            out += std::string("reverse ") + address + " -> " + describe(r, r.lookupHostByAddress(ip(address))) + "\n";
        return out;
    });
    if (!skip_.empty())
        GTEST_SKIP() << skip_;
    EXPECT_EQ(text, "both.test -> both.test 127.0.0.10 ::10\n"
                    "six.test -> six.test ::11 ::12\n"
                    "::11 -> ::11 ::11\n"
                    "reverse ::11 -> six.test ::11\n"
                    "reverse ::10 -> both.test ::10\n"
                    "reverse ::99 -> none\n");
}

TEST_F(PosixHostResolverNames, UnknownNamesAndAddressesGiveNoEntry) {
    std::string text = run([](PosixHostResolver& r) {
        std::string out;
        out += "name " + describe(r, r.lookupHostByName("missing.test")) + "\n";
        out += "bare " + describe(r, r.lookupHostByName("missing")) + "\n";
        out += "reverse " + describe(r, r.lookupHostByAddress(ip("127.0.0.99"))) + "\n";
        return out;
    });
    if (!skip_.empty())
        GTEST_SKIP() << skip_;
    EXPECT_EQ(text, "name none\nbare none\nreverse none\n");
}

TEST_F(PosixHostResolverNames, ReverseLookupGivesTheNameAndTheAddress) {
    std::string text = run([](PosixHostResolver& r) {
        std::string out;
        for (const char* address : {"127.0.0.7", "127.0.0.8", "127.0.0.9"})
            out += describe(r, r.lookupHostByAddress(ip(address))) + "\n";
        // Lookups run off the window thread as well.
        std::thread worker([&] { out += describe(r, r.lookupHostByName("alias.test")) + "\n"; });
        worker.join();
        return out;
    });
    if (!skip_.empty())
        GTEST_SKIP() << skip_;
    EXPECT_EQ(text, "canon.test 127.0.0.7\ncanon.test 127.0.0.8\nother.test 127.0.0.9\ncanon.test 127.0.0.7\n");
}

TEST(PosixHostResolver, ParsesNumericFormsAndFormatsDotted) {
    PosixHostResolver r;
    struct Case {
        const char* text;
        const char* dotted;
    };
    const Case cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"127.1", "127.0.0.1"},
        {"0x7f.1", "127.0.0.1"},
        {"017700000001", "127.0.0.1"},
        {"2130706433", "127.0.0.1"},
        {"127.0.0.1 ", "127.0.0.1"},
        {"10.1.258", "10.1.1.2"},
        {"192.168.10.100", "192.168.10.100"},
        {"0", "0.0.0.0"},
        {"255.255.255.255", "255.255.255.255"},
        {"canon.test", "255.255.255.255"},
        {"1.2.3.4.5", "255.255.255.255"},
        {"", "255.255.255.255"},
        {"256.1.1.1", "255.255.255.255"},
        {"08.1.1.1", "255.255.255.255"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(r.formatAddress(IpAddress::v4(r.parseDottedAddress(c.text))), c.dotted) << '"' << c.text << '"';
    EXPECT_EQ(r.parseDottedAddress("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(r.parseDottedAddress("canon.test"), 0xFFFFFFFFu);
}

// Parsed and formatted only, never probed: the documentation prefix stands for any address.
TEST(PosixHostResolver, ParsesIpv6LiteralsWithTheirZoneAndFormatsThemShortest) {
    PosixHostResolver r;
    const struct {
        const char* text;
        const char* shown; // nullptr: not an IPv6 literal
    } cases[] = {
        {"::1", "::1"},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:0", "2001:db8:0:0:1::"}, // the longer run of zeros goes
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"fe80::1%lo", "fe80::1%lo"},
        {"fe80::1%1", "fe80::1%lo"}, // loopback is interface 1
        {"fe80::1%no-such-if", nullptr},
        {"::1%lo", nullptr}, // a zone belongs to a link-local address
        {"127.0.0.1", nullptr},
        {"1::2::3", nullptr},
        {"[::1]", nullptr},
        {"::1 ", nullptr},
        {"", nullptr},
        {"six.test", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<IpAddress> parsed = r.parseIpv6Address(c.text);
        ASSERT_EQ(parsed.has_value(), c.shown != nullptr);
        if (parsed) {
            EXPECT_EQ(r.formatAddress(*parsed), c.shown);
        }
    }
    EXPECT_EQ(r.parseIpv6Address("fe80::1%lo")->scopeId, 1u);
    EXPECT_EQ(r.parseDottedAddress("::1"), 0xFFFFFFFFu) << "an IPv6 literal is no IPv4 form";
}

TEST(PosixHostResolver, WorksWithoutAnySetUp) {
    PosixHostResolver r;
    EXPECT_FALSE(r.lookupHostByName("").has_value());
    EXPECT_EQ(r.formatAddress(ip("192.0.2.1")), "192.0.2.1");
    EXPECT_EQ(r.formatAddress(IpAddress{}), "");
}

} // namespace
