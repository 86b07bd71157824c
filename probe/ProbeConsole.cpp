#include "probe/ProbeConsole.h"

#include <cerrno>
#include <ctime>

#include "text/ProbeText.h"
#include "types/IpStatus.h"

ProbeConsole::ProbeConsole(std::FILE* out, Output output, std::function<void()> done)
    : out_(out), output_(output), done_(std::move(done)) {}

void ProbeConsole::probed(const ProbeEvent& event) {
    bool finished = false;
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        totals_.figures = event.stats;
        if (event.good())
            totals_.times.add(event.rttUs.value_or(event.rttMs * 1000));
        const std::uint64_t seq = ++probes_;
        bool readerGone = false;
        if (!output_.quiet) {
            // As ping's icmp_seq: the request's own number, since one may come back after a later one.
            print(event, event.request != 0 ? event.request : seq);
            // SIGPIPE is ignored, so a pipe whose reader went away (`| head`) shows only here: end the run, as
            // ping ends when its output goes.
            readerGone = std::fflush(out_) != 0 && errno == EPIPE;
        }
        finished = (output_.count != 0 && seq == output_.count) || readerGone;
    }
    if (finished && done_)
        done_();
}

void ProbeConsole::print(const ProbeEvent& event, std::uint64_t seq) {
    if (event.good()) {
        const RoundTrips& times = totals_.times;
        timesLine_ = "  Min " + ConsoleText::millis(times.minUs()) + " ms  Max " + ConsoleText::millis(times.maxUs()) +
                     " ms  Avg " + ConsoleText::millis(times.avgUs()) + " ms";
    }
    // As ping, a request nobody answered goes unmentioned unless asked for; a router's error is always told.
    const bool silent = !event.answered() && event.status == static_cast<std::uint32_t>(IpStatus::RequestTimedOut) &&
                        !output_.reportMissing;
    if (silent && !event.statusChanged)
        return;
    if (output_.timestamps) { // the first line of the probe's lines: the time it ended, as ping prints it
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::fprintf(out_, "[%lld.%06ld] ", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000);
    }
    if (!silent) {
        ConsoleText::replyLine(event, seq, line_);
        if (event.wrongData)
            line_ += wrongDataNote(*event.wrongData);
        std::fprintf(out_, "%s\n    Total %s  Lost %s%s\n", line_.c_str(), ProbeText::total(event.stats).c_str(),
                     ProbeText::lost(event.stats).c_str(), timesLine_.c_str());
    }
    if (event.statusChanged) {
        const std::string_view word = statusWord(event.hostStatus);
        std::fprintf(out_, "%sStatus %.*s\n", silent ? "" : "    ", static_cast<int>(word.size()), word.data());
    }
}

std::string ProbeConsole::wrongDataNote(const WrongData& wrong) {
    char text[96];
    if (wrong.bytesDiffer)
        std::snprintf(text, sizeof text, " (wrong data byte #%u should be 0x%x but was 0x%x)", wrong.offset,
                      static_cast<unsigned>(wrong.sent), static_cast<unsigned>(wrong.echoed));
    else
        std::snprintf(text, sizeof text, " (wrong data: %d bytes %s)",
                      wrong.sizeDifference < 0 ? -wrong.sizeDifference : wrong.sizeDifference,
                      wrong.sizeDifference < 0 ? "short" : "extra");
    return text;
}

void ProbeConsole::runEnded(RunId, RunEnd end) {
    const bool failed = end == RunEnd::ChannelFailed;
    {
        std::lock_guard lock(mutex_);
        answered_ = true;
        failed_ = failed;
    }
    answer_.notify_all();
    if (failed && done_)
        done_();
}

void ProbeConsole::waitForAnswer() {
    std::unique_lock lock(mutex_);
    answer_.wait(lock, [this] { return answered_; });
}

bool ProbeConsole::failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

ProbeConsole::Totals ProbeConsole::totals() const {
    std::lock_guard lock(mutex_);
    return totals_;
}

ProbeConsole::Totals ProbeConsole::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    return totals_;
}

std::string ProbeConsole::summary(const std::string& host, const Totals& totals) {
    const RunStatistics& figures = totals.figures;
    std::string lost = ProbeText::lost(figures); // "1 (33%)" reads "1 lost (33%)"
    lost.insert(lost.find(' '), " lost");
    std::string text = "--- " + host + " statistics ---\n" + std::to_string(totals.requests()) + " requests, " +
                       std::to_string(totals.replies()) + " replies, " + lost + "\n";
    const RoundTrips& times = totals.times;
    if (times.count() != 0)
        text += "round-trip min/avg/max/mdev = " + ConsoleText::fixedMillis(times.minUs()) + "/" +
                ConsoleText::fixedMillis(times.avgUs()) + "/" + ConsoleText::fixedMillis(times.maxUs()) + "/" +
                ConsoleText::fixedMillis(times.mdevUs()) + " ms\n";
    return text;
}
