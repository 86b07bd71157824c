#pragma once

#include <cstdint>
#include <string>

#include "types/ProbeEvent.h"

// The console's own texts, made as ping makes its own: round trips to the microsecond and a sequence number on
// every line. The window keeps its whole milliseconds (text/ProbeText); nothing here reaches it.
namespace ConsoleText {

// A round trip as ping prints a reply's: three significant digits below 100 ms ("0.296", "1.23", "12.3"),
// whole milliseconds from there ("123").
[[nodiscard]] std::string millis(std::uint64_t us);
// With three decimals whatever the size ("0.296", "123.456"), as in ping's closing statistics.
[[nodiscard]] std::string fixedMillis(std::uint64_t us);

// The line of the `seq`th probe:
//   "Replay from 127.0.0.1: seq=1 bytes=32 time=0.296 ms TTL=64"
//   "Replay from 10.0.0.254: seq=2 Destination Host Unreachable"
//   "Request Timed Out: seq=3"
// Rebuilt in place, so a steady run of replies costs no allocation.
void replyLine(const ProbeEvent& event, std::uint64_t seq, std::string& line);

} // namespace ConsoleText

// The round trips of a run's replies, summed as ping sums them, for its min/avg/max/mdev.
class RoundTrips {
public:
    void add(std::uint32_t us);

    [[nodiscard]] std::uint64_t count() const { return count_; }
    [[nodiscard]] std::uint32_t minUs() const { return count_ != 0 ? min_ : 0; }
    [[nodiscard]] std::uint32_t maxUs() const { return max_; }
    [[nodiscard]] std::uint64_t avgUs() const { return count_ != 0 ? sum_ / count_ : 0; }
    // The standard deviation in whole microseconds, with ping's integer arithmetic, so both print the same.
    [[nodiscard]] std::uint64_t mdevUs() const;

    bool operator==(const RoundTrips&) const = default;

private:
    std::uint64_t count_ = 0;
    std::uint32_t min_ = 0;
    std::uint32_t max_ = 0;
    std::uint64_t sum_ = 0;
    std::uint64_t sumOfSquares_ = 0;
};
