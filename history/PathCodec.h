#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "history/PathRecords.h"
#include "types/IpAddress.h"
#include "types/RouteHop.h"

// How a host's path over one minute is kept in `path_minutes.hops`: one record of kHopBytes per hop, from hop 1
// on, big-endian: the id of the hop's address list in `path_addresses` (2 bytes, 0 for a silent hop), sent (1),
// lost (1), min, avg and max in microseconds (3 each), and the mean deviation (2: microseconds below 32768,
// above that 32768 plus the microseconds / 32, up to a second). Fixed widths keep a 10-hop minute at 150 bytes, so
// that a 2 KiB page holds twelve, and let the view `path_hops` read the fields with plain SQL.
namespace PathCodec {

constexpr std::size_t kHopBytes = 15;
constexpr std::uint32_t kMostCount = 255;       // sent or lost per hop and minute
constexpr std::uint32_t kMostMicros = 0xffffff; // 16.8 s, far beyond the tracer's wait
constexpr std::uint32_t kMostDeviationMicros = 32767 * 32;

// A trace's hops as a minute's, from hop 1 up to its last (a hop the trace skipped is silent with nothing sent);
// the minute itself is left to the caller.
[[nodiscard]] std::vector<PathMinute> fromTrace(const std::vector<RouteHop>& hops);
// Adds a later trace of the same minute: counts add up, the times combine as one sample would give them.
void merge(std::vector<PathMinute>& into, const std::vector<PathMinute>& later);

// The hops with their address list ids; `ids` has one per hop. The addresses themselves are not written.
[[nodiscard]] std::string encode(const std::vector<PathMinute>& hops, const std::vector<std::uint16_t>& ids);
// Back again, without their addresses: the address list ids in `ids`; a blob cut short keeps its whole records.
[[nodiscard]] std::vector<PathMinute> decode(std::string_view blob, std::vector<std::uint16_t>& ids);

// An address list as `path_addresses` keeps it: the addresses separated by one space.
[[nodiscard]] std::string joinAddresses(const std::vector<IpAddress>& addresses);
// Back; a word that is no address is left out.
[[nodiscard]] std::vector<IpAddress> splitAddresses(std::string_view text);

// A row of `path_minutes` is keyed by its minute and host in one integer, minutes since the epoch times 2^24 plus
// the host's row in `hosts`: the rows of a minute come after those of the minute before, so the table grows at
// its end and its pages fill up, and the key takes no room of its own in the row.
constexpr std::int64_t kHostSlots = std::int64_t{1} << 24;
[[nodiscard]] constexpr std::int64_t slot(std::int64_t minute, std::int64_t hostId) {
    return minute * kHostSlots + hostId;
}

// The SQL of the view `path_hops`, which reads the records of `path_minutes` as one row per hop and minute.
[[nodiscard]] std::string viewSql();

} // namespace PathCodec
