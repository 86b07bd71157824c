// idle_worker_wakeups_per_s: voluntary context switches of the hub's thread per second over 10 s
// while no host runs (each one is the thread waking up and going back to sleep).

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "engine/ProbeHub.h"
#include "engine/WindowPort.h"

namespace {

constexpr const char* kName = "idle_worker_wakeups_per_s";
constexpr std::chrono::seconds kSpan{10};

std::set<std::string> threadIds() {
    std::set<std::string> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ids.insert(entry->d_name);
        closedir(dir);
    }
    return ids;
}

long voluntarySwitches(const std::string& tid) {
    std::ifstream status("/proc/self/task/" + tid + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::stol(line.substr(24));
    return -1;
}

class SilentWindow : public WindowPort {
public:
    void probed(const ProbeEvent&) override {}
    void postLog(const ProbeEvent&) override {}
    void runEnded(RunId, RunEnd) override {}
};

} // namespace

int main() {
    SilentWindow window;
    const std::set<std::string> before = threadIds();
    auto hub = std::make_unique<ProbeHub>(window, nullptr); // no host is started
    hub->start();
    std::string tid;
    for (int attempt = 0; attempt < 1000 && tid.empty(); ++attempt) {
        for (const std::string& id : threadIds())
            if (before.count(id) == 0)
                tid = id;
        if (tid.empty())
            std::this_thread::yield();
    }
    if (tid.empty()) {
        std::printf("%s: skipped (the hub's thread cannot be found)\n", kName);
        return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let the thread reach its idle wait
    const long start = voluntarySwitches(tid);
    std::this_thread::sleep_for(kSpan);
    const long end = voluntarySwitches(tid);
    hub.reset();
    if (start < 0 || end < 0) {
        std::printf("%s: skipped (no switch count for the hub's thread)\n", kName);
        return 0;
    }
    std::fprintf(stderr, "  %ld voluntary switches of the idle hub in %lld s\n", end - start,
                 static_cast<long long>(kSpan.count()));
    std::printf("%s: %.1f\n", kName, static_cast<double>(end - start) / static_cast<double>(kSpan.count()));
    return 0;
}
