// gui_idle_rss_ratio_vs_bare_qt and gui_idle_cpu_ratio_vs_bare_qt: the program and a bare Qt Widgets window
// of the same size, each started and left idle for 10 s on one private Xvfb display, one after the other in
// one run. The figures are the program's resident memory and CPU time (start-up included: an idle window
// itself costs next to nothing) after the 10 s, each divided by the bare window's.
// The *_text_window_* figures put the goals in scale: the bare window showing just one line of text
// and a button, against the bare window, measures what drawing any text and widget costs before the program's own.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "support/XvfbDisplay.h"

namespace {

constexpr std::chrono::seconds kSpan{10};
constexpr int kRounds = 3;

struct Sample {
    double cpuSeconds = 0; // user and system time of every thread, ended ones included
    long rssKib = 0;
};

long residentKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Runs `argv` on the display for the span and measures it; nothing when it ended early.
std::optional<Sample> measureIdle(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const pid_t pid = fork();
    if (pid < 0)
        return std::nullopt;
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> vars;
        for (const std::string& e : env)
            vars.push_back(const_cast<char*>(e.c_str()));
        vars.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stderr) == nullptr)
            _exit(126);
        execve(args[0], args.data(), vars.data());
        _exit(127);
    }
    std::this_thread::sleep_for(kSpan);
    Sample sample;
    sample.rssKib = residentKib(pid);
    const bool alive = waitpid(pid, nullptr, WNOHANG) == 0;
    kill(pid, SIGKILL);
    // The usage of an ended child counts every thread to the microsecond; /proc's ticks are 10 ms.
    rusage usage{};
    if (wait4(pid, nullptr, 0, &usage) != pid || !alive || sample.rssKib < 0)
        return std::nullopt;
    sample.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return sample;
}

template <typename Field>
double median(std::vector<Sample> samples, Field Sample::*field) {
    std::sort(samples.begin(), samples.end(), [field](const Sample& a, const Sample& b) { return a.*field < b.*field; });
    return static_cast<double>(samples[samples.size() / 2].*field);
}

void skip(const char* reason) {
    std::printf("gui_idle_rss_ratio_vs_bare_qt: skipped (%s)\n", reason);
    std::printf("gui_idle_cpu_ratio_vs_bare_qt: skipped (%s)\n", reason);
    std::printf("gui_idle_rss_ratio_text_window_vs_bare_qt: skipped (%s)\n", reason);
    std::printf("gui_idle_cpu_ratio_text_window_vs_bare_qt: skipped (%s)\n", reason);
}

} // namespace

int main() {
    const XvfbDisplay display;
    if (!display.started()) {
        skip(display.error().c_str());
        return 0;
    }
    const TempDir home;
    // A home of its own and no session bus: both programs start from the same empty desktop.
    const std::vector<std::string> env = {
        "DISPLAY=" + display.name(),
        "QT_QPA_PLATFORM=xcb",
        "HOME=" + home.path(),
        "XDG_CONFIG_HOME=" + home.path() + "/config",
        "XDG_RUNTIME_DIR=" + home.path(),
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + home.path() + "/no-bus",
        "PATH=/usr/bin:/bin",
    };
    // A start-up takes a few hundredths of a second of CPU, which a busy machine easily doubles: each program
    // is measured in rounds, taking turns, and the medians are compared.
    std::vector<Sample> program, bare, text;
    for (int round = 0; round < kRounds; ++round) {
        const auto a = measureIdle({OSTREVO_PROGRAM}, env);
        const auto b = measureIdle({BARE_QT_WINDOW, "385", "150"}, env);
        const auto c = measureIdle({BARE_QT_WINDOW, "385", "150", "text"}, env);
        if (!a || !b || !c) {
            skip("a program ended before it was measured");
            return 0;
        }
        program.push_back(*a);
        bare.push_back(*b);
        text.push_back(*c);
    }
    const double programKib = median(program, &Sample::rssKib), bareKib = median(bare, &Sample::rssKib);
    const double programCpu = median(program, &Sample::cpuSeconds), bareCpu = median(bare, &Sample::cpuSeconds);
    std::fprintf(stderr, "  medians of %d rounds: program %.0f KiB, %.3f s CPU in %lld s; bare window %.0f KiB, %.3f s CPU\n",
                 kRounds, programKib, programCpu, static_cast<long long>(kSpan.count()), bareKib, bareCpu);
    std::printf("gui_idle_rss_ratio_vs_bare_qt: %.2f\n", programKib / bareKib);
    // A bare window that used no measurable time at all still counts as a microsecond.
    std::printf("gui_idle_cpu_ratio_vs_bare_qt: %.2f\n", programCpu / std::max(bareCpu, 1e-6));
    std::printf("gui_idle_rss_ratio_text_window_vs_bare_qt: %.2f\n", median(text, &Sample::rssKib) / bareKib);
    std::printf("gui_idle_cpu_ratio_text_window_vs_bare_qt: %.2f\n",
                median(text, &Sample::cpuSeconds) / std::max(bareCpu, 1e-6));
    return 0;
}
