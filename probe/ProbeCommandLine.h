#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "types/IpAddress.h"

// What the console probe was asked to do, read from its arguments the way ping reads them: short options
// that may be clustered ("-qc3"), long ones with "=VALUE" or the next argument as value, options before or
// after the operands, "--" ending the options.
struct ProbeOptions {
    enum class Action : std::uint8_t { Probe, Help, Version, Fail };

    Action action = Action::Probe;
    std::string host;
    std::uint64_t count = 0;        // 0: until interrupted
    std::int32_t intervalMs = 1000; // between two sends, as ping's -i
    std::int32_t payloadBytes = 32;
    bool quiet = false;             // only the header and the final statistics
    std::uint32_t timeoutMs = 2000; // how long each request waits for its reply
    std::uint8_t ttl = 255;         // of the requests
    std::int64_t deadlineMs = 0;    // the run ends this long after it began, whatever the count; 0: no deadline
    std::string source;             // interface name or local address to send from; empty: the kernel's choice
    bool timestamps = false;        // the wall-clock time before each probe's line
    bool reportMissing = false;     // a line for each request that timed out
    bool numeric = false;           // as ping's -n; the probe never looks up an address's name anyway
    // -4 / -6; None: a literal as written, a name at its IPv4 address when it has one, else at its IPv6 one
    IpAddress::Family family = IpAddress::Family::None;
    std::string metricsListen; // where to serve metrics, as typed ("9100", "127.0.0.1:9100"); empty: nowhere
    bool route = false;        // trace the route instead: COUNT rounds, a hop table at the end
    bool json = false;         // the route as one JSON object
    std::string error;         // with Action::Fail: one line saying what is wrong

    bool operator==(const ProbeOptions&) const = default;
};

std::ostream& operator<<(std::ostream& os, const ProbeOptions& options);

namespace ProbeCommandLine {

inline constexpr std::int32_t kShortestIntervalMs = 200;

// One accepted option. New ones (an address family, an export endpoint) are one row of the table in the
// .cpp file; the parser, the usage text and the synopsis follow it.
struct Option {
    char shortName = '\0';      // '\0': long form only
    std::string_view longName;  // empty: short form only
    std::string_view valueName; // empty: a flag without a value
    std::string_view help;
    // Stores the value (empty for a flag); an error text when the value is unusable.
    std::optional<std::string> (*apply)(ProbeOptions& options, std::string_view value) = nullptr;
    bool endsParsing = false; // --help and --version answer at once
};

[[nodiscard]] const std::vector<Option>& options();

// The arguments after the program name.
[[nodiscard]] ProbeOptions parse(const std::vector<std::string>& arguments);

// The one-line synopsis, and the full usage that starts with it; both end in a newline.
[[nodiscard]] std::string synopsis();
[[nodiscard]] std::string usage();

} // namespace ProbeCommandLine
