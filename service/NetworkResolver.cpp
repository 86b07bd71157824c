#include "service/NetworkResolver.h"

#include <algorithm>

void NetworkResolver::setFamilies(std::map<std::string, IpAddress::Family> families) {
    const std::lock_guard lock(mutex_);
    families_ = std::move(families);
}

std::optional<HostEntry> NetworkResolver::lookupHostByName(const std::string& name) {
    IpAddress::Family family = IpAddress::Family::None;
    {
        const std::lock_guard lock(mutex_);
        if (const auto found = families_.find(name); found != families_.end())
            family = found->second;
    }
    std::optional<HostEntry> entry = resolver_->lookupHostByName(name);
    if (!entry || family == IpAddress::Family::None)
        return entry;
    std::erase_if(entry->addresses, [family](const IpAddress& a) { return a.family != family; });
    if (entry->addresses.empty())
        return std::nullopt;
    return entry;
}
