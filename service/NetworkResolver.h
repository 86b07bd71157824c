#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "engine/HostResolver.h"

// The name service as the config's `network` asks for it: a name watched over ip4 or ip6 finds only the addresses
// of that family (a name without one is not found), any other name what the resolver gives, IPv4 first. The look-up
// knows only the name, so the targets of one name share its family: that of the first of them to set one. Lookups
// come from the supervisor's look-up threads, the table from the main loop.
class NetworkResolver final : public HostResolver {
public:
    explicit NetworkResolver(std::shared_ptr<HostResolver> resolver) : resolver_(std::move(resolver)) {}

    // The names to keep to one family; the others are left as they are.
    void setFamilies(std::map<std::string, IpAddress::Family> families);

    [[nodiscard]] std::uint32_t parseDottedAddress(const std::string& text) override {
        return resolver_->parseDottedAddress(text);
    }
    [[nodiscard]] std::optional<IpAddress> parseIpv6Address(const std::string& text) override {
        return resolver_->parseIpv6Address(text);
    }
    [[nodiscard]] std::optional<HostEntry> lookupHostByName(const std::string& name) override;
    [[nodiscard]] std::optional<HostEntry> lookupHostByAddress(const IpAddress& address) override {
        return resolver_->lookupHostByAddress(address);
    }
    [[nodiscard]] std::string formatAddress(const IpAddress& address) override {
        return resolver_->formatAddress(address);
    }

private:
    const std::shared_ptr<HostResolver> resolver_;
    std::mutex mutex_;
    std::map<std::string, IpAddress::Family> families_;
};
