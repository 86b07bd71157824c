#include "engine/RoundTrip.h"

#include <algorithm>
#include <limits>

namespace RoundTrip {

std::int64_t nanos(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::int64_t elapsedNanos(const Readings& readings) {
    const std::int64_t woken = std::max<std::int64_t>(0, readings.receivedMono - readings.sentMono);
    if (!readings.kernelReal)
        return woken;
    // How long the packet waited for us. Outside [0, woken] the wall clock was set while we waited.
    const std::int64_t queued = readings.receivedReal - *readings.kernelReal;
    if (queued < 0 || queued > woken)
        return woken;
    return woken - queued;
}

namespace {
std::uint32_t clamped(std::int64_t count) {
    return static_cast<std::uint32_t>(std::min<std::int64_t>(count, std::numeric_limits<std::uint32_t>::max()));
}
} // namespace

std::uint32_t milliseconds(const Readings& readings) {
    return clamped(elapsedNanos(readings) / 1'000'000);
}

std::uint32_t microseconds(const Readings& readings) {
    return clamped(elapsedNanos(readings) / 1'000);
}

} // namespace RoundTrip
