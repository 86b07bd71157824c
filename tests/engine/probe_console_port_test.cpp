#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/ProbeConsole.h"

// The console probe's port fed as the worker feeds it: the figures of the final statistics and what is
// printed per probe.

namespace {

class CapturedOutput {
public:
    CapturedOutput() : file_(open_memstream(&buffer_, &size_)) {}
    ~CapturedOutput() {
        std::fclose(file_);
        std::free(buffer_);
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    std::FILE* file() const { return file_; }
    std::string text() {
        std::fflush(file_);
        return {buffer_, size_};
    }

private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

// One probe cycle in the worker's order: the times only after a reply, then the line, the total and the loss.
void reply(ProbeConsole& console, const char* line, const char* total, const char* lost, const char* min,
           const char* max, const char* avg) {
    console.setLabel(Label::Min, min);
    console.setLabel(Label::Max, max);
    console.setLabel(Label::Avg, avg);
    console.setLabel(Label::Status, line);
    console.setLabel(Label::Total, total);
    console.setLabel(Label::Lost, lost);
}

void loss(ProbeConsole& console, const char* total, const char* lost) {
    console.setLabel(Label::Status, "Request Timed Out");
    console.setLabel(Label::Total, total);
    console.setLabel(Label::Lost, lost);
}

TEST(ProbeConsolePort, AReplyWithOtherDataSaysSoOnItsLineOnly) {
    CapturedOutput out;
    ProbeConsole console(out.file(), false, 0, nullptr);
    console.replyDataDiffers(WrongData{5, 0x20, 0x41, 0, true});
    reply(console, "Replay from 127.0.0.1: bytes=32 time=4ms TTL=64", "1", "0 (0%)", "4ms", "4ms", "4ms");
    reply(console, "Replay from 127.0.0.1: bytes=32 time=2ms TTL=64", "2", "0 (0%)", "2ms", "4ms", "3ms");
    EXPECT_EQ(out.text(), "Replay from 127.0.0.1: bytes=32 time=4ms TTL=64 (wrong data byte #5 should be 0x20 but was "
                          "0x41)\n"
                          "    Total 1  Lost 0 (0%)  Min 4ms  Max 4ms  Avg 4ms\n"
                          "Replay from 127.0.0.1: bytes=32 time=2ms TTL=64\n"
                          "    Total 2  Lost 0 (0%)  Min 2ms  Max 4ms  Avg 3ms\n");
    EXPECT_EQ(console.totals().replies, 2u) << "still a reply";
}

TEST(ProbeConsolePort, WrongDataNotes) {
    const std::pair<WrongData, std::string> cases[] = {
        {{0, 0x20, 0x00, 0, true}, " (wrong data byte #0 should be 0x20 but was 0x0)"},
        {{31, 0xff, 0xab, -4, true}, " (wrong data byte #31 should be 0xff but was 0xab)"},
        {{10, 0, 0, -22, false}, " (wrong data: 22 bytes short)"},
        {{32, 0, 0, 968, false}, " (wrong data: 968 bytes extra)"},
    };
    for (const auto& [wrong, note] : cases)
        EXPECT_EQ(ProbeConsole::wrongDataNote(wrong), note);
}

TEST(ProbeConsolePort, FinalStatisticsCountRepliesAndKeepTheTimesOverLosses) {
    CapturedOutput out;
    int done = 0;
    ProbeConsole console(out.file(), false, 3, [&done] { ++done; });
    reply(console, "Replay from 127.0.0.1: bytes=32 time=4ms TTL=64", "1", "0 (0%)", "4ms", "4ms", "4ms");
    loss(console, "2", "1 (50%)");
    EXPECT_EQ(done, 0);
    reply(console, "Replay from 127.0.0.1: bytes=32 time=9ms TTL=64", "3", "1 (33%)", "4ms", "9ms", "7ms");
    EXPECT_EQ(done, 1) << "the third probe completes the count";

    const ProbeConsole::Totals totals = console.totals();
    EXPECT_EQ(totals.requests, 3u);
    EXPECT_EQ(totals.replies, 2u);
    EXPECT_EQ(ProbeConsole::summary("gw", totals), "--- gw statistics ---\n"
                                                   "3 requests, 2 replies, 1 lost (33%)\n"
                                                   "round-trip min/avg/max = 4/7/9 ms\n");
    EXPECT_EQ(out.text(), "Replay from 127.0.0.1: bytes=32 time=4ms TTL=64\n"
                          "    Total 1  Lost 0 (0%)  Min 4ms  Max 4ms  Avg 4ms\n"
                          "Request Timed Out\n"
                          "    Total 2  Lost 1 (50%)  Min 4ms  Max 4ms  Avg 4ms\n"
                          "Replay from 127.0.0.1: bytes=32 time=9ms TTL=64\n"
                          "    Total 3  Lost 1 (33%)  Min 4ms  Max 9ms  Avg 7ms\n");
}

} // namespace
