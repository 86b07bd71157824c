#include "probe/ProbeConsole.h"

#include <cerrno>

#include "text/ProbeText.h"

ProbeConsole::ProbeConsole(std::FILE* out, bool quiet, std::uint64_t count, std::function<void()> done)
    : out_(out), quiet_(quiet), count_(count), done_(std::move(done)) {}

void ProbeConsole::probed(const ProbeEvent& event) {
    std::uint64_t probes = 0;
    {
        std::lock_guard lock(mutex_);
        totals_.figures = event.stats;
        probes = ++probes_;
    }
    bool readerGone = false;
    if (!quiet_) {
        ProbeText::replyLine(event, line_);
        if (event.wrongData)
            line_ += wrongDataNote(*event.wrongData);
        if (event.good())
            timesLine_ = "  Min " + ProbeText::millis(event.stats.minMs) + "  Max " +
                         ProbeText::millis(event.stats.maxMs) + "  Avg " + ProbeText::millis(event.stats.avgMs);
        std::fprintf(out_, "%s\n    Total %s  Lost %s%s\n", line_.c_str(), ProbeText::total(event.stats).c_str(),
                     ProbeText::lost(event.stats).c_str(), timesLine_.c_str());
        if (event.statusChanged) {
            const std::string_view word = statusWord(event.hostStatus);
            std::fprintf(out_, "    Status %.*s\n", static_cast<int>(word.size()), word.data());
        }
        // SIGPIPE is ignored, so a pipe whose reader went away (`| head`) shows only here: end the run, as ping
        // ends when its output goes.
        readerGone = std::fflush(out_) != 0 && errno == EPIPE;
    }
    if (((count_ != 0 && probes == count_) || readerGone) && done_)
        done_();
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

std::string ProbeConsole::summary(const std::string& host, const Totals& totals) {
    const RunStatistics& figures = totals.figures;
    std::string lost = ProbeText::lost(figures); // "1 (33%)" reads "1 lost (33%)"
    lost.insert(lost.find(' '), " lost");
    std::string text = "--- " + host + " statistics ---\n" + std::to_string(totals.requests()) + " requests, " +
                       std::to_string(totals.replies()) + " replies, " + lost + "\n";
    if (totals.replies() != 0)
        text += "round-trip min/avg/max = " + std::to_string(figures.minMs) + "/" + std::to_string(figures.avgMs) +
                "/" + std::to_string(figures.maxMs) + " ms\n";
    return text;
}
