#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// A one-byte field that the window thread may lower while the worker reads it (logging switching itself
// off). Copyable so that Settings stays a value type; loads and stores are relaxed atomics.
class SharedByte {
public:
    constexpr SharedByte(std::uint8_t v = 0) noexcept : value_(v) {}
    SharedByte(const SharedByte& other) noexcept : value_(other.load()) {}
    SharedByte& operator=(const SharedByte& other) noexcept {
        store(other.load());
        return *this;
    }
    SharedByte& operator=(std::uint8_t v) noexcept {
        store(v);
        return *this;
    }
    operator std::uint8_t() const noexcept { return load(); }
    [[nodiscard]] std::uint8_t load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(std::uint8_t v) noexcept { value_.store(v, std::memory_order_relaxed); }

private:
    std::atomic<std::uint8_t> value_;
};

// Every choice of the user. Texts are 8-bit strings as typed; interval is in milliseconds.
struct Settings {
    std::string host;
    std::string recentList; // each entry followed by CR LF
    bool resolveIp = false;
    std::int32_t interval = 10000;
    std::int32_t buffer = 32;
    std::uint8_t analysisMode = 0;
    std::uint8_t tries = 3;
    std::uint8_t minPercent = 5;
    std::uint8_t maxPercent = 45;
    std::uint32_t minTime = 100;
    std::uint32_t maxTime = 500;
    SharedByte logLevel = 0;
    bool logAppend = false;
    std::string logFileName;
    std::string startSound;
    std::string stopSound;
    std::string appFileName;
    std::int32_t appMode = 1;
    std::string appParams;

    bool operator==(const Settings& o) const;
};

void PrintTo(const Settings& s, std::ostream* os);
