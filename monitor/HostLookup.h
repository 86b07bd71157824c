#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/HostResolver.h"
#include "types/IpAddress.h"

// What a host's name or address comes to: the address to probe and, when the name service was asked, its
// official name. No address means the host was not found.
struct LookupAnswer {
    IpAddress address;
    std::string addressText;  // the address as shown
    std::string officialName; // empty when the name service gave none or was not asked

    [[nodiscard]] bool found() const { return address.family != IpAddress::Family::None; }
    // "name [address]" when a name came with it, else the address.
    [[nodiscard]] std::string shown() const;
};

// The one rule for finding a host: the address as typed (the IPv4 forms inet_addr takes first, so that what
// always was an IPv4 address stays one, then an IPv6 literal), else a name lookup; with `resolveIp` an
// address is looked up in reverse for its official name. The name service is asked on a short-lived detached
// thread that nobody waits for, not even at exit, so a hanging DNS server holds up neither the owner nor the
// exit. One object is one slot: a new find, cancel() or the object's end drops the answer still to come.
class HostLookup {
public:
    using Post = std::function<void(std::function<void()>)>;
    using Done = std::function<void(const LookupAnswer&)>;

    // `post` runs a task on the owner's thread, later; it is called from the lookup thread.
    HostLookup(std::shared_ptr<HostResolver> resolver, Post post);
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    // Calls `done` at once for an address that needs no name service, else on the owner's thread once the name
    // service has answered, unless the slot was cancelled or reused meanwhile.
    void find(const std::string& host, bool resolveIp, Done done);
    void cancel();
    [[nodiscard]] bool pending() const { return pending_ != nullptr; }

    // The address as typed; family None when the text is neither form.
    [[nodiscard]] static IpAddress parse(HostResolver& resolver, const std::string& text);
    // 255.255.255.255 is no host to watch, even when a name service gives it; an entry without an address is no
    // answer.
    [[nodiscard]] static LookupAnswer answer(HostResolver& resolver, const IpAddress& parsed,
                                             const std::optional<HostEntry>& entry);

private:
    struct Pending;

    std::shared_ptr<HostResolver> resolver_;
    Post post_;
    std::shared_ptr<Pending> pending_;
};
