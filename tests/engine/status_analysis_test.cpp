#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ResultRing.h"
#include "engine/StatusAnalysis.h"
#include "support/RecordingAlertSink.h"

namespace {

char letter(HostStatus s) {
    return "NBAG"[static_cast<unsigned>(s) & 3];
}

// What the analysis decided, as the worker passes it on: the alerts it raised (with the cycle's line and status
// code) and the status changes.
struct Decisions {
    std::vector<RaisedAlert> alerts;
    std::vector<HostStatus> changes;
    std::vector<std::string> downAtStart; // the lines of the probes that found the host down at a run's start
};

// Feeds outcomes straight into the analysis the way a probe cycle records them: 'g' a good reply of
// `goodRtt` ms, 'f' a failure. The status line of cycle n is "after n".
class AnalysisFixture : public ::testing::Test {
protected:
    RunSettings settings; // the run's rules, read by reference: a test may change them between outcomes
    StatusAnalysis analysis;
    ResultRing ring;
    Decisions decided;
    int cycles = 0; // numbers the status lines across calls of run()

    AnalysisFixture() { analysis.beginRun(settings); }

    void feed(std::int32_t slot, const std::string& line = "line") {
        ring.record(slot);
        const StatusAnalysis::Decision d = analysis.analyse(ring);
        EXPECT_EQ(d.status, analysis.status());
        if (d.changed)
            decided.changes.push_back(d.status);
        if (d.edge)
            decided.alerts.push_back(RaisedAlert{*d.edge, d.status, line, slot >= 0 ? 0u : 11010u});
        if (d.downAtStart)
            decided.downAtStart.push_back(line);
    }

    // What a new run starts from: an empty ring, no edges, status N/A.
    void newRun() {
        ring.clear();
        analysis.endRun();
        analysis.beginRun(settings);
    }

    // Returns the status after each outcome as one letter per cycle (N, B, A, G).
    std::string run(const std::string& outcomes, std::int32_t goodRtt = 10) {
        std::string trace;
        for (char c : outcomes) {
            feed(c == 'g' ? goodRtt : kSlotFailure, "after " + std::to_string(++cycles));
            trace += letter(analysis.status());
        }
        return trace;
    }
};

struct TriesCase {
    std::uint8_t tries;
    std::string outcomes;
    std::string statuses;
    std::vector<RaisedAlert> alerts;
};

class ByTries : public AnalysisFixture, public ::testing::WithParamInterface<TriesCase> {};

TEST_P(ByTries, FollowsTheWindowOfTheLastTriesOutcomes) {
    settings.analysisMode = AnalysisMode::Tries;
    settings.tries = GetParam().tries;
    EXPECT_EQ(run(GetParam().outcomes), GetParam().statuses);
    EXPECT_EQ(decided.alerts, GetParam().alerts);
}

RaisedAlert stopAt(int cycle) {
    return {AlertEdge::StopResponding, HostStatus::Bad, "after " + std::to_string(cycle), 11010};
}
RaisedAlert startAt(int cycle) {
    return {AlertEdge::StartResponding, HostStatus::Good, "after " + std::to_string(cycle), 0};
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, ByTries,
    ::testing::Values(
        // First Good raises nothing; the return after Bad goes through Average and alerts on arrival.
        TriesCase{3, "gggfffggg", "NNGAABAAG", {stopAt(6), startAt(9)}},
        TriesCase{2, "gfgfgfgfgfgf", "NNNNNNNNNNNN", {}}, TriesCase{3, "gfggfggfgfgg", "NNNNNNNNNNNN", {}},
        TriesCase{1, "gfgff", "GBGBB", {stopAt(2), startAt(3), stopAt(4)}}, TriesCase{1, "fffg", "BBBG", {startAt(4)}},
        // Once a Good or Bad is known, any mix reads Average, Bad included as the previous extreme.
        TriesCase{3, "fffgfff", "NNBAAAB", {}},
        TriesCase{128, std::string(128, 'g'), std::string(127, 'N') + "G", {}}));

TEST_F(AnalysisFixture, ByTriesRewindsTheIndexAfterTriesSlots) {
    settings.analysisMode = AnalysisMode::Tries;
    settings.tries = 3;
    run("ggg");
    EXPECT_EQ(ring.index, 0);
    run("f");
    EXPECT_EQ(ring.index, 1);
    EXPECT_EQ(ring.values[0], kSlotFailure);
    EXPECT_EQ(ring.values[3], kSlotEmpty);
}

TEST_F(AnalysisFixture, ByLossPercentRoundsHalvesToEven) {
    settings.analysisMode = AnalysisMode::Percent;
    settings.minPercent = 5;
    settings.maxPercent = 45;
    // One failure among 20, 21, 22 and 23 filled slots: 5, 4.76, 4.55, 4.35 percent.
    run("f" + std::string(18, 'g'));
    const std::string tail = run("gggg");
    EXPECT_EQ(tail, "AAAG");
    // The first move (to Bad) raised nothing; Good after it, even by way of Average, is the start edge.
    EXPECT_EQ(decided.alerts, std::vector<RaisedAlert>{startAt(23)});
}

TEST_F(AnalysisFixture, ByLossPercentFirstOutcomeDecidesAtOnce) {
    settings.analysisMode = AnalysisMode::Percent;
    EXPECT_EQ(run("g"), "G");
    newRun();
    EXPECT_EQ(run("f"), "B");
    EXPECT_TRUE(decided.alerts.empty());
}

TEST_F(AnalysisFixture, ByLossPercentMovesStraightBetweenGoodAndBad) {
    settings.analysisMode = AnalysisMode::Percent;
    settings.minPercent = 40;
    settings.maxPercent = 45;
    // 0 %, 50 %, 33 %, 50 %: no Average between the extremes, and every reversal after the first alerts.
    EXPECT_EQ(run("gfgf"), "GBGB");
    EXPECT_EQ(decided.alerts, (std::vector<RaisedAlert>{stopAt(2), startAt(3), stopAt(4)}));
}

TEST_F(AnalysisFixture, ByAverageTimeCountsFailuresAsTwoSeconds) {
    settings.analysisMode = AnalysisMode::Time;
    settings.minTime = 100;
    settings.maxTime = 500;
    EXPECT_EQ(run("f", 20), "B");
    newRun();
    // Nine replies of 20 ms and a failure: (180 + 2000) / 10 = 218 ms.
    EXPECT_EQ(run("gggggggggf", 20).back(), 'A');
}

TEST_F(AnalysisFixture, ByAverageTimeBoundsAreAverage) {
    settings.analysisMode = AnalysisMode::Time;
    settings.minTime = 100;
    settings.maxTime = 500;
    // One reply makes the average: both bounds belong to Average, one past them does not.
    const std::pair<std::int32_t, char> cases[] = {{99, 'G'}, {100, 'A'}, {500, 'A'}, {501, 'B'}};
    for (const auto& [rtt, status] : cases) {
        newRun();
        EXPECT_EQ(run("g", rtt), std::string(1, status)) << rtt << " ms";
    }
}

TEST_F(AnalysisFixture, ByAverageTimeMovesStraightBetweenGoodAndBad) {
    settings.analysisMode = AnalysisMode::Time;
    settings.minTime = 100;
    settings.maxTime = 500;
    // 20 ms alone is Good; with one failure (2020 / 2) Bad; 22 more replies average 2460 / 24 = 102.5,
    // rounded 102 (Average); the next brings 2480 / 25 = 99 (Good).
    EXPECT_EQ(run("gf", 20), "GB");
    EXPECT_EQ(run(std::string(22, 'g'), 20).back(), 'A');
    EXPECT_EQ(run("g", 20), "G");
    const std::vector<RaisedAlert> raised = decided.alerts;
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_EQ(raised[0].edge, AlertEdge::StopResponding);
    EXPECT_EQ(raised[1].edge, AlertEdge::StartResponding);
}

TEST_F(AnalysisFixture, TheHundredAndTwentyNinthOutcomeReplacesTheOldest) {
    struct Case {
        AnalysisMode mode;
        std::uint8_t minPercent;
        std::uint32_t minTime;
    };
    // A failure then 127 fast replies: 0.78 % rounds to 1 % (not below 1); (2000 + 127*50)/128 = 65 ms.
    for (const Case& c : {Case{AnalysisMode::Percent, 1, 0}, Case{AnalysisMode::Time, 0, 60}}) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        settings.analysisMode = c.mode;
        settings.minPercent = c.minPercent;
        settings.maxPercent = 45;
        settings.minTime = c.minTime;
        settings.maxTime = 500;
        newRun();
        EXPECT_EQ(run("f" + std::string(127, 'g'), 50).back(), 'A');
        EXPECT_EQ(ring.index, 128);
        EXPECT_EQ(run("g", 50), "G");
        EXPECT_EQ(ring.values[0], 50);
        EXPECT_EQ(ring.index, 1);
    }
}

TEST_F(AnalysisFixture, UnknownModeLeavesTheStatusAlone) {
    settings.analysisMode = AnalysisMode::Tries;
    settings.tries = 1;
    EXPECT_EQ(run("g"), "G");
    settings.analysisMode = static_cast<AnalysisMode>(3);
    EXPECT_EQ(run("ffffggg"), "GGGGGGG");
    EXPECT_EQ(decided.changes, std::vector<HostStatus>{HostStatus::Good});
}

TEST_F(AnalysisFixture, EveryMoveIsOneChangeAndTheRunsEndClearsTheStatus) {
    settings.analysisMode = AnalysisMode::Tries;
    settings.tries = 1;
    run("ggfg");
    EXPECT_EQ(decided.changes, (std::vector<HostStatus>{HostStatus::Good, HostStatus::Bad, HostStatus::Good}));
    // A run replaced without a stop keeps its status: the next run's first Good is no change.
    analysis.beginRun(settings);
    decided = {};
    run("g");
    EXPECT_TRUE(decided.changes.empty());
    // After a stop nothing judges the host: the next run starts from N/A, and its first move raises no alert.
    analysis.endRun();
    EXPECT_EQ(analysis.status(), HostStatus::NA);
    analysis.beginRun(settings);
    EXPECT_EQ(run("f"), "B");
    EXPECT_TRUE(decided.alerts.empty());
}

TEST_F(AnalysisFixture, AFirstMoveToBadIsReportedAsDownAtStartOncePerRun) {
    struct Case {
        const char* name;
        AnalysisMode mode;
        std::string outcomes;
        std::int32_t rtt;
        std::vector<std::string> downAtStart;
        std::vector<RaisedAlert> edges;
    };
    // Time mode: 200 ms alone is Average, a failure then makes 1100 ms (Bad).
    const Case cases[] = {
        {"down from the first probe", AnalysisMode::Tries, "fffg", 10, {"after 1"}, {startAt(4)}},
        {"up first: an edge, not a report", AnalysisMode::Tries, "gf", 10, {}, {stopAt(2)}},
        {"down again later in the run", AnalysisMode::Tries, "fgf", 10, {"after 1"}, {startAt(2), stopAt(3)}},
        {"percent", AnalysisMode::Percent, "ff", 10, {"after 1"}, {}},
        {"Average before the first Bad", AnalysisMode::Time, "gf", 200, {"after 2"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settings.analysisMode = c.mode;
        settings.tries = 1;
        settings.minTime = 100;
        settings.maxTime = 500;
        decided = {};
        cycles = 0;
        newRun();
        run(c.outcomes, c.rtt);
        EXPECT_EQ(decided.downAtStart, c.downAtStart);
        EXPECT_EQ(decided.alerts, c.edges);
    }
    // Each run has its own first verdict, whatever the last one ended with.
    decided = {};
    settings.analysisMode = AnalysisMode::Tries;
    newRun();
    run("f");
    newRun();
    run("f");
    EXPECT_EQ(decided.downAtStart.size(), 2u);
}

TEST_F(AnalysisFixture, AlertSeesTheNewStatusAndTheFlagsChangeAfterIt) {
    settings.analysisMode = AnalysisMode::Tries;
    settings.tries = 1;
    run("g");
    EXPECT_TRUE(analysis.wasUp());
    run("f");
    EXPECT_TRUE(analysis.wasDown());
    EXPECT_FALSE(analysis.wasUp());
    ASSERT_EQ(decided.alerts.size(), 1u);
    EXPECT_EQ(decided.alerts[0], stopAt(2));
}

} // namespace
