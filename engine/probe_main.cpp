// ostrevo-probe HOST [COUNT]: the monitoring engine on a terminal. Probes HOST once a second with the
// default settings and prints every reply line with the running statistics, until COUNT probes are done or
// Ctrl+C.

#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "engine/IcmpEchoChannel.h"
#include "engine/PosixHostResolver.h"
#include "engine/ProbeWorker.h"

namespace {

constexpr int kWakeSignal = SIGUSR1; // the worker's way of waking the main thread out of sigwait

// Prints what the window would show. Called on the worker thread; the main thread only waits on it.
class ConsoleWindowPort : public WindowPort {
public:
    ConsoleWindowPort(unsigned long count, pthread_t mainThread) : count_(count), mainThread_(mainThread) {}

    void setLabel(Label label, std::string text) override {
        switch (label) {
        case Label::Status:
            std::printf("%s\n", text.c_str());
            break;
        case Label::Total:
            stats_ = "    Total " + text;
            break;
        case Label::Lost:
            stats_ += "  Lost " + text;
            break;
        case Label::Min:
            times_ = "  Min " + text;
            break;
        case Label::Max:
            times_ += "  Max " + text;
            break;
        case Label::Avg:
            times_ += "  Avg " + text;
            break;
        case Label::Host:
            break;
        }
        if (label != Label::Lost)
            return;
        // The loss count is the last text of a cycle.
        std::printf("%s%s\n", stats_.c_str(), times_.c_str());
        std::fflush(stdout);
        if (count_ != 0 && ++probes_ == count_)
            pthread_kill(mainThread_, kWakeSignal);
    }

    void showStatusIcon(HostStatus status) override {
        const std::string_view word = statusWord(status);
        std::printf("    Status %.*s\n", static_cast<int>(word.size()), word.data());
    }

    void postLog(HostStatus, std::string) override {}

    void pingStopped(bool failed) override {
        {
            std::lock_guard lock(mutex_);
            answered_ = true;
            failed_ = failed;
        }
        answer_.notify_all();
        if (failed)
            pthread_kill(mainThread_, kWakeSignal);
    }

    [[nodiscard]] bool failed() const {
        std::lock_guard lock(mutex_);
        return failed_;
    }

    void waitForAnswer() {
        std::unique_lock lock(mutex_);
        answer_.wait(lock, [this] { return answered_; });
    }

private:
    const unsigned long count_;
    const pthread_t mainThread_;
    unsigned long probes_ = 0;
    std::string stats_;
    std::string times_; // kept between cycles: a loss leaves the times as they were

    mutable std::mutex mutex_;
    std::condition_variable answer_;
    bool answered_ = false;
    bool failed_ = false;
};

// A dotted address as is, otherwise the first IPv4 address of the name. Network byte order.
std::optional<std::uint32_t> resolve(PosixHostResolver& names, const std::string& host) {
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) == 1)
        return address.s_addr;
    const auto entry = names.lookupHostByName(host);
    if (!entry)
        return std::nullopt;
    return entry->addresses.front();
}

std::optional<unsigned long> parseCount(const char* text) {
    if (*text < '0' || *text > '9')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || errno != 0 || value == 0)
        return std::nullopt;
    return value;
}

int usage() {
    std::fprintf(stderr, "Usage: ostrevo-probe HOST [COUNT]\n"
                         "Probes HOST (a name or an IPv4 address) once a second; stops after COUNT probes or "
                         "on Ctrl+C.\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3)
        return usage();
    unsigned long count = 0; // until interrupted
    if (argc == 3) {
        const auto parsed = parseCount(argv[2]);
        if (!parsed) {
            std::fprintf(stderr, "ostrevo-probe: COUNT must be a positive number, not \"%s\"\n", argv[2]);
            return 2;
        }
        count = *parsed;
    }
    PosixHostResolver names;
    const auto target = resolve(names, argv[1]);
    if (!target) {
        std::fprintf(stderr, "ostrevo-probe: cannot find an IPv4 address for \"%s\"\n", argv[1]);
        return 2;
    }

    // Every thread started from here on inherits the mask, so the signals reach only sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, kWakeSignal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Settings settings;
    settings.interval = 1000;
    AppState state;
    state.targetAddress = *target;
    state.running = true;

    std::printf("Probing %s [%s] with %d bytes of data:\n", argv[1], names.formatDottedAddress(*target).c_str(),
                settings.buffer);
    std::fflush(stdout);

    IcmpEchoChannel channel;
    ConsoleWindowPort window(count, pthread_self());
    ProbeWorker worker(settings, state, channel, window, nullptr);
    worker.start();
    worker.post(WorkerMessage::PingStart);

    int received = 0;
    sigwait(&signals, &received);

    if (window.failed()) {
        worker.post(WorkerMessage::Quit);
        worker.join();
        std::fprintf(stderr, "Can't open Ping Chanel.\n");
        return 1;
    }
    // The probe under way completes; the pause after it does not hold the stop back.
    worker.post(WorkerMessage::PingStop);
    window.waitForAnswer();
    state.running = false;
    worker.post(WorkerMessage::Quit);
    worker.join();
    return 0;
}
