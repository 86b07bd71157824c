#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "probe/ProbeConsole.h"

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

// One probe as the worker reports it: a reply of `rttMs` from 127.0.0.1, or a timeout, with the run's figures.
ProbeEvent probe(std::uint32_t requests, std::uint32_t lost, std::uint32_t rttMs, std::uint32_t min, std::uint32_t max,
                 std::uint32_t avg) {
    ProbeEvent e;
    e.stats = RunStatistics{requests, lost, min, max, avg, min * 1000, max * 1000, avg * 1000};
    if (rttMs == 0) {
        e.status = 11010;
        return e;
    }
    e.replier = "127.0.0.1";
    e.bytes = 32;
    e.rttMs = rttMs;
    e.rttUs = rttMs * 1000;
    e.ttl = 64;
    return e;
}

TEST(ProbeConsolePort, AReplyWithOtherDataSaysSoOnItsLineOnly) {
    CapturedOutput out;
    ProbeConsole console(out.file(), false, 0, nullptr);
    ProbeEvent differs = probe(1, 0, 4, 4, 4, 4);
    differs.wrongData = WrongData{5, 0x20, 0x41, 0, true};
    console.probed(differs);
    console.probed(probe(2, 0, 2, 2, 4, 3));
    EXPECT_EQ(out.text(), "Replay from 127.0.0.1: bytes=32 time=4ms TTL=64 (wrong data byte #5 should be 0x20 but was "
                          "0x41)\n"
                          "    Total 1  Lost 0 (0%)  Min 4ms  Max 4ms  Avg 4ms\n"
                          "Replay from 127.0.0.1: bytes=32 time=2ms TTL=64\n"
                          "    Total 2  Lost 0 (0%)  Min 2ms  Max 4ms  Avg 3ms\n");
    EXPECT_EQ(console.totals().replies(), 2u) << "still a reply";
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
    console.probed(probe(1, 0, 4, 4, 4, 4));
    ProbeEvent lost = probe(2, 1, 0, 4, 4, 4);
    lost.hostStatus = HostStatus::Average;
    lost.statusChanged = true;
    console.probed(lost);
    EXPECT_EQ(done, 0);
    console.probed(probe(3, 1, 9, 4, 9, 7));
    EXPECT_EQ(done, 1) << "the third probe completes the count";

    const ProbeConsole::Totals totals = console.totals();
    EXPECT_EQ(totals.requests(), 3u);
    EXPECT_EQ(totals.replies(), 2u);
    EXPECT_EQ(ProbeConsole::summary("gw", totals), "--- gw statistics ---\n"
                                                   "3 requests, 2 replies, 1 lost (33%)\n"
                                                   "round-trip min/avg/max = 4/7/9 ms\n");
    EXPECT_EQ(out.text(), "Replay from 127.0.0.1: bytes=32 time=4ms TTL=64\n"
                          "    Total 1  Lost 0 (0%)  Min 4ms  Max 4ms  Avg 4ms\n"
                          "Request Timed Out\n"
                          "    Total 2  Lost 1 (50%)  Min 4ms  Max 4ms  Avg 4ms\n"
                          "    Status Average\n"
                          "Replay from 127.0.0.1: bytes=32 time=9ms TTL=64\n"
                          "    Total 3  Lost 1 (33%)  Min 4ms  Max 9ms  Avg 7ms\n");
}

} // namespace
