#include "monitor/HostLookup.h"

#include <mutex>
#include <thread>
#include <utility>

namespace {

constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;

} // namespace

// Shared by the slot and one lookup thread. The thread posts its answer only while `live`, and the posted task
// checks it again on the owner's thread, where cancel() clears it: an answer is either dropped or delivered to
// a slot that still wants it.
struct HostLookup::Pending {
    std::mutex mutex;
    bool live = true;
};

std::string LookupAnswer::shown() const {
    return officialName.empty() ? addressText : officialName + " [" + addressText + "]";
}

HostLookup::HostLookup(std::shared_ptr<HostResolver> resolver, Post post)
    : resolver_(std::move(resolver)), post_(std::move(post)) {}

HostLookup::~HostLookup() {
    cancel();
}

IpAddress HostLookup::parse(HostResolver& resolver, const std::string& text) {
    if (const std::uint32_t dotted = resolver.parseDottedAddress(text); dotted != kNoAddress)
        return IpAddress::v4(dotted);
    if (const std::optional<IpAddress> literal = resolver.parseIpv6Address(text))
        return *literal;
    return {};
}

LookupAnswer HostLookup::answer(HostResolver& resolver, const IpAddress& parsed,
                                const std::optional<HostEntry>& entry) {
    const bool named = entry && !entry->addresses.empty();
    LookupAnswer result;
    result.address = named ? entry->addresses.front() : parsed;
    if (result.address.isV4() && result.address.v4Value() == kNoAddress)
        result.address = {};
    if (!result.found())
        return result;
    result.addressText = resolver.formatAddress(result.address);
    if (named)
        result.officialName = entry->officialName;
    return result;
}

void HostLookup::cancel() {
    if (!pending_)
        return;
    std::lock_guard lock(pending_->mutex);
    pending_->live = false;
    pending_.reset();
}

void HostLookup::find(const std::string& host, bool resolveIp, Done done) {
    cancel();
    const IpAddress parsed = parse(*resolver_, host);
    const bool byName = parsed.family == IpAddress::Family::None;
    if (!byName && !resolveIp) {
        done(answer(*resolver_, parsed, std::nullopt));
        return;
    }
    auto pending = std::make_shared<Pending>();
    pending_ = pending;
    std::thread([slot = this, pending, resolver = resolver_, post = post_, done = std::move(done), host, parsed,
                 byName] {
        std::optional<HostEntry> entry =
            byName ? resolver->lookupHostByName(host) : resolver->lookupHostByAddress(parsed);
        LookupAnswer found = answer(*resolver, parsed, entry);
        std::lock_guard lock(pending->mutex);
        if (!pending->live)
            return;
        // Still live on the owner's thread means the slot is there and waits for this very answer.
        post([slot, pending, done, found = std::move(found)] {
            {
                std::lock_guard check(pending->mutex);
                if (!pending->live)
                    return;
                pending->live = false;
            }
            slot->pending_.reset();
            done(found);
        });
    }).detach();
}
