#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

// Round-trip time of one echo from clock readings. The kernel's receive stamp is on the wall clock, so it is
// carried over to the monotonic scale through a pair of readings taken back to back after the receive; it
// counts only while the wall clock plainly did not jump, else the monotonic reading after the receive does.
namespace RoundTrip {

struct Readings {
    std::int64_t sentMono = 0;              // ns, CLOCK_MONOTONIC right before the send
    std::int64_t receivedMono = 0;          // ns, CLOCK_MONOTONIC right after the receive
    std::int64_t receivedReal = 0;          // ns, CLOCK_REALTIME read right after receivedMono
    std::optional<std::int64_t> kernelReal; // ns, CLOCK_REALTIME arrival stamp of the packet, when one came
};

[[nodiscard]] std::int64_t nanos(const timespec& t);

// Nanoseconds from the send to the packet's arrival; never negative.
[[nodiscard]] std::int64_t elapsedNanos(const Readings& readings);

// Whole milliseconds, truncated.
[[nodiscard]] std::uint32_t milliseconds(const Readings& readings);

// Whole microseconds, truncated.
[[nodiscard]] std::uint32_t microseconds(const Readings& readings);

} // namespace RoundTrip
