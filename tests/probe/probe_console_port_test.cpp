#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "probe/ConsoleText.h"
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

// One probe as the worker reports it: a reply of `rttUs` from 127.0.0.1, or a timeout, with the run's counters.
ProbeEvent probe(std::uint32_t requests, std::uint32_t lost, std::uint32_t rttUs) {
    ProbeEvent e;
    e.stats = RunStatistics{requests, lost};
    if (rttUs == 0) {
        e.status = 11010;
        return e;
    }
    e.replier = "127.0.0.1";
    e.bytes = 32;
    e.rttMs = (rttUs + 500) / 1000;
    e.rttUs = rttUs;
    e.ttl = 64;
    return e;
}

ProbeConsole::Output printing(std::uint64_t count = 0) {
    return {false, count, false, false};
}

TEST(ProbeConsolePort, AReplyWithOtherDataSaysSoOnItsLineOnly) {
    CapturedOutput out;
    ProbeConsole console(out.file(), printing(), nullptr);
    ProbeEvent differs = probe(1, 0, 4000);
    differs.wrongData = WrongData{5, 0x20, 0x41, 0, true};
    console.probed(differs);
    console.probed(probe(2, 0, 2000));
    EXPECT_EQ(out.text(),
              "Replay from 127.0.0.1: seq=1 bytes=32 time=4.00 ms TTL=64 (wrong data byte #5 should be 0x20 "
              "but was 0x41)\n"
              "    Total 1  Lost 0 (0%)  Min 4.00 ms  Max 4.00 ms  Avg 4.00 ms\n"
              "Replay from 127.0.0.1: seq=2 bytes=32 time=2.00 ms TTL=64\n"
              "    Total 2  Lost 0 (0%)  Min 2.00 ms  Max 4.00 ms  Avg 3.00 ms\n");
    EXPECT_EQ(console.totals().replies(), 2u) << "still a reply";
}

// ping's own figures, read from its output on this machine: per reply "time=" and the closing
// "rtt min/avg/max/mdev" of the same run.
TEST(ProbeConsolePort, RoundTripsPrintAsPingPrintsThem) {
    const std::pair<std::uint64_t, const char*> replies[] = {
        {0, "0.000"},    {7, "0.007"},   {296, "0.296"},  {999, "0.999"},    {1000, "1.00"},
        {1234, "1.23"},  {1235, "1.24"}, {9994, "9.99"},  {9995, "10.0"},    {12345, "12.3"},
        {99949, "99.9"}, {99950, "100"}, {123456, "123"}, {2000000, "2000"},
    };
    for (const auto& [us, text] : replies)
        EXPECT_EQ(ConsoleText::millis(us), text) << us << " us";

    const struct {
        std::vector<std::uint32_t> us;
        const char* summary; // min/avg/max/mdev
    } runs[] = {
        {{41, 33, 42}, "0.033/0.038/0.042/0.004"},
        {{30}, "0.030/0.030/0.030/0.000"},
        {{30, 33}, "0.030/0.031/0.033/0.001"}, // the variance, 2.25 µs², is 2 in ping's integers, its root 1
        {{1000, 3000}, "1.000/2.000/3.000/1.000"},
        {{150000, 250000, 100000}, "100.000/166.666/250.000/62.360"},
        // sums too large to square: ping then squares the mean instead
        {{2000000000, 2000000000, 2000000002}, "2000000.000/2000000.000/2000000.002/0.000"},
    };
    for (const auto& run : runs) {
        RoundTrips times;
        for (std::uint32_t us : run.us)
            times.add(us);
        EXPECT_EQ(ConsoleText::fixedMillis(times.minUs()) + "/" + ConsoleText::fixedMillis(times.avgUs()) + "/" +
                      ConsoleText::fixedMillis(times.maxUs()) + "/" + ConsoleText::fixedMillis(times.mdevUs()),
                  run.summary);
    }
}

TEST(ProbeConsolePort, EveryLineCarriesItsSequenceNumber) {
    ProbeEvent unreachable;
    unreachable.replier = "10.0.0.254";
    unreachable.status = 11003;
    const std::pair<ProbeEvent, const char*> rows[] = {
        {probe(1, 0, 296), "Replay from 127.0.0.1: seq=7 bytes=32 time=0.296 ms TTL=64"},
        {unreachable, "Replay from 10.0.0.254: seq=7 Destination Host Unreachable"},
        {probe(1, 1, 0), "Request Timed Out: seq=7"},
    };
    std::string line;
    for (const auto& [event, text] : rows) {
        ConsoleText::replyLine(event, 7, line);
        EXPECT_EQ(line, text);
    }
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
    ProbeConsole console(out.file(), {false, 3, false, true}, [&done] { ++done; });
    console.probed(probe(1, 0, 4000));
    ProbeEvent lost = probe(2, 1, 0);
    lost.hostStatus = HostStatus::Average;
    lost.statusChanged = true;
    console.probed(lost);
    EXPECT_EQ(done, 0);
    console.probed(probe(3, 1, 9000));
    EXPECT_EQ(done, 1) << "the third probe completes the count";

    const ProbeConsole::Totals totals = console.totals();
    EXPECT_EQ(totals.requests(), 3u);
    EXPECT_EQ(totals.replies(), 2u);
    EXPECT_EQ(ProbeConsole::summary("gw", totals), "--- gw statistics ---\n"
                                                   "3 requests, 2 replies, 1 lost (33%)\n"
                                                   "round-trip min/avg/max/mdev = 4.000/6.500/9.000/2.500 ms\n");
    EXPECT_EQ(out.text(), "Replay from 127.0.0.1: seq=1 bytes=32 time=4.00 ms TTL=64\n"
                          "    Total 1  Lost 0 (0%)  Min 4.00 ms  Max 4.00 ms  Avg 4.00 ms\n"
                          "Request Timed Out: seq=2\n"
                          "    Total 2  Lost 1 (50%)  Min 4.00 ms  Max 4.00 ms  Avg 4.00 ms\n"
                          "    Status Average\n"
                          "Replay from 127.0.0.1: seq=3 bytes=32 time=9.00 ms TTL=64\n"
                          "    Total 3  Lost 1 (33%)  Min 4.00 ms  Max 9.00 ms  Avg 6.50 ms\n");
}

TEST(ProbeConsolePort, WhatEachOutputChoicePrints) {
    ProbeEvent down = probe(2, 1, 0);
    down.hostStatus = HostStatus::Bad;
    down.statusChanged = true;
    ProbeEvent unreachable = probe(3, 2, 0);
    unreachable.replier = "10.0.0.254";
    unreachable.status = 11003;
    const std::vector<ProbeEvent> run = {probe(1, 0, 50), down, unreachable, probe(4, 2, 0)};
    const struct {
        const char* name;
        ProbeConsole::Output output;
        std::string printed; // with every "[N.N] " stamp cut to "[]"
    } rows[] = {
        {"as ping: a missing reply goes unmentioned, a router's error does not", printing(),
         "Replay from 127.0.0.1: seq=1 bytes=32 time=0.050 ms TTL=64\n"
         "    Total 1  Lost 0 (0%)  Min 0.050 ms  Max 0.050 ms  Avg 0.050 ms\n"
         "Status Bad\n"
         "Replay from 10.0.0.254: seq=3 Destination Host Unreachable\n"
         "    Total 3  Lost 2 (67%)  Min 0.050 ms  Max 0.050 ms  Avg 0.050 ms\n"},
        {"-O",
         {false, 0, false, true},
         "Replay from 127.0.0.1: seq=1 bytes=32 time=0.050 ms TTL=64\n"
         "    Total 1  Lost 0 (0%)  Min 0.050 ms  Max 0.050 ms  Avg 0.050 ms\n"
         "Request Timed Out: seq=2\n"
         "    Total 2  Lost 1 (50%)  Min 0.050 ms  Max 0.050 ms  Avg 0.050 ms\n"
         "    Status Bad\n"
         "Replay from 10.0.0.254: seq=3 Destination Host Unreachable\n"
         "    Total 3  Lost 2 (67%)  Min 0.050 ms  Max 0.050 ms  Avg 0.050 ms\n"
         "Request Timed Out: seq=4\n"
         "    Total 4  Lost 2 (50%)  Min 0.050 ms  Max 0.050 ms  Avg 0.050 ms\n"},
        {"-D",
         {false, 0, true, false},
         "[] Replay from 127.0.0.1: seq=1 bytes=32 time=0.050 ms TTL=64\n"
         "    Total 1  Lost 0 (0%)  Min 0.050 ms  Max 0.050 ms  Avg 0.050 ms\n"
         "[] Status Bad\n"
         "[] Replay from 10.0.0.254: seq=3 Destination Host Unreachable\n"
         "    Total 3  Lost 2 (67%)  Min 0.050 ms  Max 0.050 ms  Avg 0.050 ms\n"},
        {"-q, even with -O and -D", {true, 0, true, true}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CapturedOutput out;
        ProbeConsole console(out.file(), row.output, nullptr);
        for (const ProbeEvent& event : run)
            console.probed(event);
        const std::string text = out.text();
        EXPECT_EQ(std::regex_replace(text, std::regex(R"(\[[0-9]{10,}\.[0-9]{6}\] )"), "[] "), row.printed) << text;
        EXPECT_EQ(console.totals().requests(), 4u);
    }
}

TEST(ProbeConsolePort, NothingIsPrintedOrCountedOnceClosed) {
    CapturedOutput out;
    int done = 0;
    ProbeConsole console(out.file(), printing(2), [&done] { ++done; });
    console.probed(probe(1, 0, 100));
    const ProbeConsole::Totals atDeadline = console.close();
    console.probed(probe(2, 0, 100)); // the worker's probe that was under way at the deadline
    EXPECT_EQ(atDeadline.requests(), 1u);
    EXPECT_EQ(console.totals().requests(), 1u);
    EXPECT_EQ(done, 0) << "the count is not done by a probe nobody is told of";
    EXPECT_EQ(out.text().find("seq=2"), std::string::npos) << out.text();
}

} // namespace
