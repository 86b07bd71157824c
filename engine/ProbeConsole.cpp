#include "engine/ProbeConsole.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace {

// The leading number of a label text ("8", "3 (38%)"); 0 when there is none.
std::uint64_t leadingNumber(const std::string& text) {
    std::uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::string withoutUnit(const std::string& text) {
    return text.ends_with("ms") ? text.substr(0, text.size() - 2) : text;
}

} // namespace

ProbeConsole::ProbeConsole(std::FILE* out, bool quiet, std::uint64_t count, std::function<void()> done)
    : out_(out), quiet_(quiet), count_(count), done_(std::move(done)) {}

void ProbeConsole::setLabel(Label label, std::string text) {
    bool cycleDone = false;
    std::uint64_t probes = 0;
    {
        std::lock_guard lock(mutex_);
        switch (label) {
        case Label::Status:
            if (!quiet_)
                std::fprintf(out_, "%s%s\n", text.c_str(), lineNote_.c_str());
            lineNote_.clear();
            break;
        case Label::Total:
            statsLine_ = "    Total " + text;
            totals_.requests = leadingNumber(text);
            break;
        case Label::Lost:
            // The loss count is the last text of a cycle.
            statsLine_ += "  Lost " + text;
            totals_.replies = totals_.requests - std::min(totals_.requests, leadingNumber(text));
            totals_.lost = std::move(text);
            cycleDone = true;
            probes = ++probes_;
            break;
        case Label::Min:
            timesLine_ = "  Min " + text;
            totals_.min = std::move(text);
            break;
        case Label::Max:
            timesLine_ += "  Max " + text;
            totals_.max = std::move(text);
            break;
        case Label::Avg:
            timesLine_ += "  Avg " + text;
            totals_.avg = std::move(text);
            break;
        case Label::Host:
            break;
        }
    }
    if (!cycleDone)
        return;
    bool readerGone = false;
    if (!quiet_) {
        std::fprintf(out_, "%s%s\n", statsLine_.c_str(), timesLine_.c_str());
        // SIGPIPE is ignored, so a pipe whose reader went away (`| head`) shows only here: end the run, as ping
        // ends when its output goes.
        readerGone = std::fflush(out_) != 0 && errno == EPIPE;
    }
    if (((count_ != 0 && probes == count_) || readerGone) && done_)
        done_();
}

void ProbeConsole::replyDataDiffers(const WrongData& wrong) {
    std::lock_guard lock(mutex_);
    lineNote_ = wrongDataNote(wrong);
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

void ProbeConsole::showStatusIcon(HostStatus status) {
    if (quiet_)
        return;
    const std::string_view word = statusWord(status);
    std::fprintf(out_, "    Status %.*s\n", static_cast<int>(word.size()), word.data());
}

void ProbeConsole::runEnded(RunEnd end) {
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
    // "1 (33%)" reads "1 lost (33%)".
    std::string lost = totals.lost.empty() ? std::string("0 (0%)") : totals.lost;
    lost.insert(std::min(lost.find(' '), lost.size()), " lost");
    std::string text = "--- " + host + " statistics ---\n" + std::to_string(totals.requests) + " requests, " +
                       std::to_string(totals.replies) + " replies, " + lost + "\n";
    if (totals.replies != 0)
        text += "round-trip min/avg/max = " + withoutUnit(totals.min) + "/" + withoutUnit(totals.avg) + "/" +
                withoutUnit(totals.max) + " ms\n";
    return text;
}
