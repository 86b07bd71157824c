#pragma once

#include <cstdint>
#include <optional>

#include "types/IpAddress.h"
#include "types/ProbeEvent.h"

// One scripted result of an echo request, for the scripted channel and the scripted network alike.
struct EchoOutcome {
    enum class Kind : std::uint8_t { Good, ErrorReply, Failure };
    Kind kind = Kind::Good;
    std::uint32_t rtt = 0;
    std::uint16_t size = 32;
    std::uint8_t ttl = 64;
    std::uint32_t status = 0;           // error reply: the IP status code
    IpAddress address;                  // replying host (the scripted network answers a good reply from the target)
    std::int32_t errorCode = 0;         // failure: the status of the unanswered request (11010: no answer at all)
    std::optional<WrongData> wrongData; // good reply: how its data differed
    std::uint8_t copies = 1;            // scripted network: the same answer this many times

    static IpAddress loopback(); // 127.0.0.1
    static EchoOutcome good(std::uint32_t rtt, std::uint16_t size = 32, std::uint8_t ttl = 64);
    static EchoOutcome errorReply(std::uint32_t status, IpAddress address = loopback());
    static EchoOutcome failure(std::int32_t code = 11010);
};
