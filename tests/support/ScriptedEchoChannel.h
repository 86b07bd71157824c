#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/EchoChannel.h"
#include "support/EchoOutcome.h"

// What one sendEcho call was given.
struct SentEcho {
    IpAddress destination;
    std::vector<std::uint8_t> data;
    std::uint16_t size = 0;
    bool dataWasNull = false;
    std::uint8_t ttl = 0;
    std::uint32_t timeoutMs = 0;
};

// An echo channel that answers from a script. When the script runs dry a request waits for more (so a test
// sees exactly the cycles it scripted), unless a fallback outcome is set. Thread-safe.
class ScriptedEchoChannel : public EchoChannel {
public:
    void push(const EchoOutcome& outcome);
    void push(std::initializer_list<EchoOutcome> outcomes);
    // Requests beyond the script get this outcome at once; also releases a waiting request.
    void setFallback(const EchoOutcome& outcome);
    void clearFallback();
    // Runs `action` once, on the prober's thread, when a request takes the last scripted outcome (used to
    // post a stop that the worker sees right after that cycle).
    void whenDrained(std::function<void()> action);
    // The next `count` opens fail.
    void failOpens(std::size_t count);

    // True once a request waits on an empty script.
    [[nodiscard]] bool waitUntilStarved(std::chrono::milliseconds timeout);
    [[nodiscard]] bool waitForSends(std::size_t count, std::chrono::milliseconds timeout);

    [[nodiscard]] std::size_t sends() const;
    [[nodiscard]] std::size_t opens() const; // successful ones
    [[nodiscard]] std::size_t failedOpens() const;
    [[nodiscard]] std::size_t closes() const;
    [[nodiscard]] bool isOpen() const;
    [[nodiscard]] bool openedWhileOpen() const; // a handle would have leaked
    [[nodiscard]] bool sentWhileClosed() const;
    [[nodiscard]] std::optional<SentEcho> lastRequest() const;
    // The family and source of the last successful open.
    [[nodiscard]] IpAddress::Family openFamily() const;
    [[nodiscard]] std::string openSource() const;

    using EchoChannel::open;
    [[nodiscard]] bool open(IpAddress::Family family, const std::string& source) override;
    [[nodiscard]] EchoResult sendEcho(const EchoRequest& request) override;
    void close() override;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<EchoOutcome> script_;
    std::optional<EchoOutcome> fallback_;
    std::function<void()> onDrained_;
    std::size_t failOpens_ = 0;
    std::size_t sends_ = 0;
    std::size_t opens_ = 0;
    std::size_t failedOpens_ = 0;
    std::size_t closes_ = 0;
    bool open_ = false;
    bool openedWhileOpen_ = false;
    bool sentWhileClosed_ = false;
    bool starved_ = false;
    IpAddress::Family openFamily_ = IpAddress::Family::None;
    std::string openSource_;
    std::optional<SentEcho> lastRequest_;
};
