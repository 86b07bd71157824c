#pragma once

// What the ICMP benchmarks share: a private namespace to probe in, one host on the hub driven for a set number
// of probes, and the process's CPU time and resident memory.

#include <sys/resource.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include <arpa/inet.h>

#include "engine/ProbeHub.h"
#include "engine/WindowPort.h"
#include "settings/Settings.h"
#include "support/NetNamespace.h"
#include "text/ProbeText.h"

namespace ProbeBench {

inline void printSkipped(const char* name, const std::string& reason) {
    std::printf("%s: skipped (%s)\n", name, reason.c_str());
}

// A private network namespace that the calling thread has entered (threads it starts later are in it too).
class PrivateNamespace {
public:
    explicit PrivateNamespace(const std::string& tag) : ns_(tag) {
        if (ns_.ok())
            inside_.emplace(ns_);
    }
    // Empty when the thread is inside; otherwise why not.
    [[nodiscard]] std::string unavailable() const {
        if (!ns_.ok())
            return ns_.error();
        return inside_->ok() ? std::string() : std::string("cannot enter the namespace");
    }
    [[nodiscard]] const std::string& name() const { return ns_.name(); }

private:
    NetNamespace ns_;
    std::optional<NetNamespace::Entered> inside_;
};

inline double cpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

inline double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

inline long residentKib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// A window that shows nothing: it makes the texts of each probe as a face does, counts the finished probes, calls
// `onProbe` with the count on the hub's thread, and asks for the stop after `probes`.
class CountingWindow : public WindowPort {
public:
    CountingWindow(std::uint64_t probes, std::function<void(std::uint64_t)> onProbe)
        : probes_(probes), onProbe_(std::move(onProbe)) {}

    void attach(ProbeHub& hub) { hub_ = &hub; }

    void probed(const ProbeEvent& event) override {
        // The texts a face shows for a probe, made as the console makes them: the line in place, the figures.
        ProbeText::replyLine(event, lastLine_);
        figures_ = ProbeText::total(event.stats);
        figures_ += ProbeText::lost(event.stats);
        if (event.good())
            figures_ += ProbeText::millis(event.stats.avgMs);
        ++done_;
        if (onProbe_)
            onProbe_(done_);
        if (done_ == probes_)
            hub_->stopRun(event.run);
    }
    void postLog(const ProbeEvent&) override {}
    void runEnded(RunId, RunEnd end) override {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        failed_ = end == RunEnd::ChannelFailed;
        changed_.notify_all();
    }

    // Waits for the run's end; false when the channel did not open.
    bool waitStopped() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stopped_; });
        return !failed_;
    }
    [[nodiscard]] std::uint64_t done() const { return done_; }
    [[nodiscard]] const std::string& lastLine() const { return lastLine_; }

private:
    std::uint64_t probes_;
    std::function<void(std::uint64_t)> onProbe_;
    ProbeHub* hub_ = nullptr;
    std::uint64_t done_ = 0;
    std::string lastLine_;
    std::string figures_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
    bool failed_ = false;
};

// Probes 127.0.0.1 back to back as one host on the hub, as a run with a zero interval does (the console probe's
// engine). The hub's socket lives in the namespace of the calling thread. False when the run could not start.
inline bool probeBackToBack(std::uint64_t probes, std::function<void(std::uint64_t)> onProbe,
                            std::string* lastLine = nullptr) {
    Settings settings;
    settings.interval = 0;
    settings.buffer = 32;
    CountingWindow window(probes, std::move(onProbe));
    bool ran = false;
    {
        ProbeHub hub(window, nullptr);
        window.attach(hub);
        hub.start();
        hub.startRun(1, RunSettings::from(settings, IpAddress::v4(inet_addr("127.0.0.1"))));
        ran = window.waitStopped();
    }
    if (lastLine != nullptr)
        *lastLine = window.lastLine();
    return ran && window.done() == probes;
}

} // namespace ProbeBench
