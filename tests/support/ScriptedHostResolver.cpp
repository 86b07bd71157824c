#include "support/ScriptedHostResolver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>

void ScriptedHostResolver::addName(const std::string& name, HostEntry entry) {
    std::lock_guard lock(mutex_);
    names_[name] = std::move(entry);
}

void ScriptedHostResolver::addAddress(const std::string& dotted, HostEntry entry) {
    std::lock_guard lock(mutex_);
    addresses_[address(dotted).text()] = std::move(entry);
}

void ScriptedHostResolver::hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
}

void ScriptedHostResolver::release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
}

bool ScriptedHostResolver::waitForLookups(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return lookups_ >= count; });
}

std::vector<std::string> ScriptedHostResolver::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::size_t ScriptedHostResolver::count(const std::string& call) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), call));
}

void ScriptedHostResolver::record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
}

void ScriptedHostResolver::waitWhileHeld() {
    std::unique_lock lock(mutex_);
    ++lookups_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_; });
}

std::uint32_t ScriptedHostResolver::parseDottedAddress(const std::string& text) {
    record("parse:" + text);
    return inet_addr(text.c_str());
}

std::optional<HostEntry> ScriptedHostResolver::lookupHostByName(const std::string& name) {
    record("byname:" + name);
    waitWhileHeld();
    std::lock_guard lock(mutex_);
    const auto it = names_.find(name);
    return it == names_.end() ? std::nullopt : std::optional<HostEntry>(it->second);
}

std::optional<IpAddress> ScriptedHostResolver::parseIpv6Address(const std::string& text) {
    record("parse6:" + text);
    return IpAddress::parseV6(text);
}

std::optional<HostEntry> ScriptedHostResolver::lookupHostByAddress(const IpAddress& addr) {
    record("byaddr:" + addr.text());
    waitWhileHeld();
    std::lock_guard lock(mutex_);
    const auto it = addresses_.find(addr.text());
    return it == addresses_.end() ? std::nullopt : std::optional<HostEntry>(it->second);
}

std::string ScriptedHostResolver::formatAddress(const IpAddress& addr) {
    std::string text = addr.text();
    record("format:" + text);
    return text;
}

IpAddress ScriptedHostResolver::address(const std::string& text) {
    if (const auto v6 = IpAddress::parseV6(text))
        return *v6;
    return IpAddress::v4(inet_addr(text.c_str()));
}
