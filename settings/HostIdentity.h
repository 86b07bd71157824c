#pragma once

#include <string>
#include <string_view>
#include <vector>

// When two watched hosts are one: a name as typed, letters in any case ("Router.LAN" is "router.lan"); an
// address by the address it names ("::1" is "0:0::1"). A name is never looked up here: two names of one
// address stay two hosts, as the user typed two.
namespace HostIdentity {

// A text that is equal for two hosts exactly when they are one; empty for an empty host.
[[nodiscard]] std::string of(std::string_view host);
[[nodiscard]] bool same(std::string_view a, std::string_view b);
// Whether `host` is one of `watched` already: the Hosts window refuses to add a host, or to change one into
// a host, that is watched. For an edit, leave the edited host's own entry out of `watched`.
[[nodiscard]] bool isWatched(std::string_view host, const std::vector<std::string>& watched);

} // namespace HostIdentity
