// rtt_match_pct_vs_ping: a peer that answers after 20 ms (a user-space responder; the kernel's replies off),
// probed 50 times by one host on the hub (the console probe's engine) and 50 times by iputils ping in one
// private namespace. The figure is the share of our probes whose whole-millisecond time equals ping's median
// time truncated to whole ms.

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "bench/ProbeBench.h"
#include "support/EchoResponder.h"

namespace {

constexpr const char* kName = "rtt_match_pct_vs_ping";
constexpr int kProbes = 50;

// ping's times in ms, from its "time=20.4 ms" lines.
std::vector<double> pingTimes() {
    std::vector<double> times;
    FILE* ping = popen("ping -n -c 50 -i 0.05 127.0.0.1 2>&1", "r");
    if (ping == nullptr)
        return times;
    char line[512];
    while (std::fgets(line, sizeof line, ping) != nullptr) {
        const char* time = std::strstr(line, "time=");
        if (time != nullptr)
            times.push_back(std::atof(time + 5));
    }
    pclose(ping);
    return times;
}

// Keeps the whole-millisecond time of every good reply and stops the host after kProbes probes.
class RttFace : public WindowPort {
public:
    void attach(ProbeHub& hub) { hub_ = &hub; }
    void probed(const ProbeEvent& event) override {
        std::lock_guard lock(mutex_);
        if (event.good())
            times_.push_back(event.rttMs);
        if (++probes_ == kProbes)
            hub_->stopRun(event.run);
    }
    void postLog(const ProbeEvent&) override {}
    void runEnded(RunId, RunEnd end) override {
        std::lock_guard lock(mutex_);
        ended_ = true;
        failed_ = end == RunEnd::ChannelFailed;
        changed_.notify_all();
    }
    // False when no run could start.
    bool waitStopped() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return ended_; });
        return !failed_;
    }
    std::vector<std::uint32_t> times() {
        std::lock_guard lock(mutex_);
        return times_;
    }

private:
    ProbeHub* hub_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint32_t> times_;
    int probes_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

} // namespace

int main() {
    using namespace std::chrono_literals;
    const ProbeBench::PrivateNamespace ns("bench-rtt");
    if (const std::string reason = ns.unavailable(); !reason.empty()) {
        ProbeBench::printSkipped(kName, reason);
        return 0;
    }
    const EchoResponder responder(ns.name(), {20ms, std::nullopt, true});
    if (!responder.ok()) {
        ProbeBench::printSkipped(kName, responder.error());
        return 0;
    }
    // One host every 50 ms, as ping -i 0.05 sends.
    Settings settings;
    settings.interval = 50;
    settings.buffer = 32;
    RttFace face;
    {
        ProbeHub hub(face, nullptr);
        face.attach(hub);
        hub.start();
        hub.startRun(1, RunSettings::from(settings, IpAddress::v4(inet_addr("127.0.0.1"))));
        if (!face.waitStopped()) {
            ProbeBench::printSkipped(kName, "no ICMP socket");
            return 0;
        }
    }
    const std::vector<std::uint32_t> ours = face.times();
    std::vector<double> theirs = pingTimes();
    if (theirs.size() < kProbes / 2) {
        ProbeBench::printSkipped(kName, "ping got too few replies");
        return 0;
    }
    std::sort(theirs.begin(), theirs.end());
    const std::size_t middle = theirs.size() / 2;
    const double median = theirs.size() % 2 ? theirs[middle] : (theirs[middle - 1] + theirs[middle]) / 2;
    const auto expected = static_cast<std::uint32_t>(median);
    const auto matching = std::count(ours.begin(), ours.end(), expected);
    std::fprintf(stderr, "  ping median %.3f ms; ours: %zu replies, %ld at %u ms, range %u..%u ms\n", median,
                 ours.size(), static_cast<long>(matching), expected,
                 ours.empty() ? 0 : *std::min_element(ours.begin(), ours.end()),
                 ours.empty() ? 0 : *std::max_element(ours.begin(), ours.end()));
    std::printf("%s: %.0f\n", kName, 100.0 * static_cast<double>(matching) / kProbes);
    return 0;
}
