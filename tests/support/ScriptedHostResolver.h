#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/HostResolver.h"

// A name service from a table. Numeric addresses are parsed and formatted for real (inet_addr rules);
// names and reverse lookups come from the table. Lookups can be held back to play a DNS server that hangs.
// Thread-safe: run control looks names up on a helper thread.
class ScriptedHostResolver : public HostResolver {
public:
    void addName(const std::string& name, HostEntry entry);
    void addAddress(const std::string& dotted, HostEntry entry);
    // While held, lookups wait (until release()).
    void hold();
    void release();
    [[nodiscard]] bool waitForLookups(std::size_t count, std::chrono::milliseconds timeout);

    // Every operation by name, in call order: "parse:<text>", "byname:<name>", "byaddr:<dotted>",
    // "format:<dotted>"; IPv6 literals are read for real as well, recorded as "parse6:<text>".
    [[nodiscard]] std::vector<std::string> calls() const;
    [[nodiscard]] std::size_t count(const std::string& call) const;

    [[nodiscard]] std::uint32_t parseDottedAddress(const std::string& text) override;
    [[nodiscard]] std::optional<IpAddress> parseIpv6Address(const std::string& text) override;
    [[nodiscard]] std::optional<HostEntry> lookupHostByName(const std::string& name) override;
    [[nodiscard]] std::optional<HostEntry> lookupHostByAddress(const IpAddress& address) override;
    [[nodiscard]] std::string formatAddress(const IpAddress& address) override;

    // A dotted IPv4 or an IPv6 literal.
    [[nodiscard]] static IpAddress address(const std::string& text);

private:
    void record(std::string call);
    void waitWhileHeld();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, HostEntry> names_;
    std::map<std::string, HostEntry> addresses_; // by the address's text
    std::vector<std::string> calls_;
    std::size_t lookups_ = 0;
    bool held_ = false;
};
