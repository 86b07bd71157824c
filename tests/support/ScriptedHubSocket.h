#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/HubSocket.h"
#include "support/EchoOutcome.h"

// One request the hub sent through a scripted socket.
struct ScriptedSend {
    IpAddress destination;
    std::string source; // of the socket it went out on
    std::uint8_t ttl = 0;
    std::uint16_t sequence = 0;
    std::vector<std::uint8_t> data;
    std::int64_t atNs = 0; // CLOCK_MONOTONIC when it went out
    std::uint8_t tos = 0;
};

// A network for the hub that answers from a script, without a namespace: each request the hub sends takes the
// next outcome scripted for its destination, else the next of the common script, else a fallback. A good reply
// or an ICMP error comes back as the kernel would hand it over (a datagram socket's message, or a record of its
// error queue quoting the request), `rtt` milliseconds after the send; a failure is either no answer (11010) or
// a refusal of the send itself. When nothing is scripted and there is no fallback, the send waits for more (at
// most kPatience), so a test sees exactly the probes it scripted. Outlives the hub that uses it. Thread-safe.
class ScriptedNetwork {
public:
    static constexpr std::chrono::milliseconds kPatience{10000};

    ScriptedNetwork();
    ~ScriptedNetwork();
    ScriptedNetwork(const ScriptedNetwork&) = delete;
    ScriptedNetwork& operator=(const ScriptedNetwork&) = delete;

    // What a hub takes to open its sockets here.
    [[nodiscard]] HubSocket::Opener opener();

    void push(const EchoOutcome& outcome);
    void push(std::initializer_list<EchoOutcome> outcomes);
    void push(const std::vector<EchoOutcome>& outcomes); // all at once: none is taken before the last is there
    void push(const IpAddress& destination, const EchoOutcome& outcome);
    // Requests beyond the script get this outcome; also releases a waiting request.
    void setFallback(const EchoOutcome& outcome);
    void setFallback(const IpAddress& destination, const EchoOutcome& outcome);
    void clearFallback();
    // Runs `action` once, on the hub's thread, when a request takes the last scripted outcome.
    void whenDrained(std::function<void()> action);
    // The next `count` opens fail.
    void failOpens(std::size_t count);

    // True once a request waits on an empty script.
    [[nodiscard]] bool waitUntilStarved(std::chrono::milliseconds timeout);
    [[nodiscard]] bool waitForSends(std::size_t count, std::chrono::milliseconds timeout);

    [[nodiscard]] std::vector<ScriptedSend> sends() const;
    [[nodiscard]] std::vector<ScriptedSend> sendsTo(const IpAddress& destination) const;
    [[nodiscard]] std::size_t opens() const; // successful ones
    [[nodiscard]] std::size_t failedOpens() const;
    [[nodiscard]] std::size_t openSockets() const;
    [[nodiscard]] std::size_t closes() const; // sockets the hub has given back
    [[nodiscard]] bool isOpen() const { return openSockets() > 0; }
    [[nodiscard]] std::optional<ScriptedSend> lastRequest() const;
    // From now on a request that finds nothing scripted goes unanswered at once rather than waiting, so that a
    // hub ends without waiting out its patience (a test's teardown).
    void release();
    // The family and source of the last successful open.
    [[nodiscard]] IpAddress::Family openFamily() const;
    [[nodiscard]] std::string openSource() const;

private:
    class Socket;
    friend class Socket;
    struct State;
    std::shared_ptr<State> state_;
};
