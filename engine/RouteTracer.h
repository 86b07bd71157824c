#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/RouteResult.h"
#include "engine/TraceSocket.h"
#include "types/IpAddress.h"

// Traces the route to a host the way mtr does: rounds of echo requests, one per TTL from 1 up to the
// destination's distance, all of a round in flight at once; a round starts every interval whether or not the
// one before has heard everything, and a request is lost when nothing answered it within the wait.
// One tracer serves one thread; its socket lives in the network namespace of the thread that opened it.
class RouteTracer {
public:
    struct Options {
        std::uint32_t rounds = 10;
        std::uint32_t intervalMs = 1000; // from the start of one round to the start of the next
        std::uint32_t waitMs = 2000;     // how long a request may take to be answered
        std::uint8_t maxHops = 30;
    };

    explicit RouteTracer(TraceSocket::Preference preference = TraceSocket::Preference::Auto);
    ~RouteTracer();
    RouteTracer(const RouteTracer&) = delete;
    RouteTracer& operator=(const RouteTracer&) = delete;

    // Opens the socket for the destination's family, sending from `source` (an interface or a local address;
    // empty: the kernel's choice); false with `error()` saying why.
    [[nodiscard]] bool open(IpAddress::Family family, const std::string& source = {});
    [[nodiscard]] const std::string& error() const { return error_; }
    [[nodiscard]] TraceSocket::Kind socketKind() const { return socket_.kind(); }

    // Runs the rounds and returns what they found. `roundDone`, when given, sees the result so far each time
    // a round has all its answers or has given up on them. A failure of the socket ends the trace early with
    // `error()` set.
    [[nodiscard]] RouteResult trace(const IpAddress& destination, const Options& options,
                                    const std::function<void(const RouteResult&)>& roundDone = {});

    // From any thread: the trace under way ends soon after, with what it has.
    void stop();

private:
    TraceSocket::Preference preference_;
    int stopFd_ = -1; // an eventfd the trace polls beside its socket
    TraceSocket socket_;
    std::string error_;
};
