#include "metrics/ProcessStart.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

// /proc/self/stat with the given command name and start (field 22), in the layout the kernel writes.
std::string selfStat(const std::string& comm, const std::string& start) {
    return "4242 (" + comm + ") S 1 4242 4242 0 -1 4194560 1500 0 0 0 12 3 0 0 20 0 5 0 " + start +
           " 123456789 900 18446744073709551615 1 1 0 0 0 0 0 4096 0 0 0 17 1 0 0 0 0 0\n";
}

const std::string kStat = "cpu  100 0 50 9000 0 0 0 0 0 0\ncpu0 100 0 50 9000 0 0 0 0 0 0\nintr 1 2 3\n"
                          "ctxt 4711\nbtime 1765000000\nprocesses 900\n";

TEST(ProcessStart, BootTimePlusTheStartInTicks) {
    const struct {
        std::string what, selfStat, stat;
        long hz;
        std::optional<std::uint64_t> micros;
    } cases[] = {
        {"usual", selfStat("ostrevo", "12345"), kStat, 100, 1'765'000'123'450'000},
        {"ticks that do not divide a second evenly", selfStat("ostrevo", "7"), kStat, 300, 1'765'000'000'023'333},
        {"a name with spaces and parentheses", selfStat("a) S 1 2 (b", "250"), kStat, 100, 1'765'000'002'500'000},
        {"at boot", selfStat("init", "0"), "btime 1765000000\n", 100, 1'765'000'000'000'000},
        {"no boot time", selfStat("ostrevo", "12345"), "cpu  1 2 3\n", 100, std::nullopt},
        {"boot time not a number", selfStat("ostrevo", "12345"), "btime 17650x\n", 100, std::nullopt},
        {"cut before the start", "4242 (ostrevo) S 1 4242 4242 0 -1", kStat, 100, std::nullopt},
        {"start not a number", selfStat("ostrevo", "-5"), kStat, 100, std::nullopt},
        {"no command name", "4242 ostrevo S 1", kStat, 100, std::nullopt},
        {"empty files", "", "", 100, std::nullopt},
        {"no clock ticks", selfStat("ostrevo", "12345"), kStat, 0, std::nullopt},
        {"clock ticks unknown", selfStat("ostrevo", "12345"), kStat, -1, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(processStartMicros(c.selfStat, c.stat, c.hz), c.micros) << c.what;
}

TEST(ProcessStart, ThisProcessStartedBeforeNowAndAfterTheEpochOfTheTest) {
    const auto now =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const std::uint64_t start = processStartMicros();
    // Boot time is whole seconds, so the start may read up to a second early, never later than now.
    EXPECT_LE(start, static_cast<std::uint64_t>(now) + 1'000'000);
    EXPECT_GT(start, 1'700'000'000'000'000u); // 2023: a /proc read gone wrong gives boot-relative figures
}

} // namespace
