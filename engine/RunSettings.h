#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "types/IpAddress.h"
#include "settings/Settings.h"

// What the alert actions of one run use.
struct AlertSettings {
    std::string host; // as the user typed it: the alert application's %address%
    std::string startSound;
    std::string stopSound;
    std::string appFileName;
    std::int32_t appMode = 1;
    std::string appParams;
    bool notify = true; // a desktop notification as well

    bool operator==(const AlertSettings&) const = default;
};

// Everything one run reads, copied from the user's settings when the run starts, so the window may change
// its settings at any time without the worker ever seeing it.
struct RunSettings {
    IpAddress targetAddress;
    std::uint16_t payloadSize = 32;
    std::int32_t intervalMs = 10000;
    AnalysisMode analysisMode = AnalysisMode::Tries;
    std::uint8_t tries = 3;
    std::uint8_t minPercent = 5;
    std::uint8_t maxPercent = 45;
    std::uint32_t minTime = 100;
    std::uint32_t maxTime = 500;
    LogLevel logLevel = LogLevel::Off;
    AlertSettings alerts;
    // How each request goes out. The program keeps the defaults; the console probe takes them from its options.
    std::uint8_t ttl = 255;         // time to live (IPv4) or hop limit (IPv6) of the requests
    std::uint32_t timeoutMs = 2000; // how long a request waits for its reply
    std::string source;             // interface name or local address to send from; empty: the kernel's choice
    std::uint8_t tos = 0;           // TOS byte (IPv6: traffic class) of the requests; 0: the socket's
    // The first request waits this long, so that many hosts started at once spread over their interval.
    std::uint32_t startDelayMs = 0;
    // When the next request goes out: the program pauses for the interval after each result; the console, as
    // ping, sends one every interval, and a request still waiting then goes on waiting beside the new one.
    enum class Pacing : std::uint8_t { AfterResult, FromSend };
    Pacing pacing = Pacing::AfterResult;
    std::uint64_t count = 0; // requests the run sends at most; 0: no end

    // The request size is a 16-bit quantity: a larger Buffer (which run control never lets through) is cut.
    [[nodiscard]] static RunSettings from(const Settings& settings, const IpAddress& targetAddress);

    bool operator==(const RunSettings&) const = default;
};

void PrintTo(const RunSettings& run, std::ostream* os);
