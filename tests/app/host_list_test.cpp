#include <gtest/gtest.h>

#include <QCoreApplication>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "app/common/AppSettings.h"
#include "app/hosts/HostList.h"
#include "monitor/HostSupervisor.h"
#include "support/RecordingMessagePort.h"
#include "support/ScriptedHostResolver.h"
#include "support/TempDir.h"

namespace {

// A start (with its settings) or a stop.
struct RunnerCall {
    RunId run = 0;
    bool start = false;
    RunSettings settings;
};

// Records what the list asks of the runner; reports come through the face as a hub thread would send them.
class RecordingRunner : public HostRunner {
public:
    explicit RecordingRunner(std::vector<RunnerCall>& calls) : calls_(calls) {}
    void startRun(RunId run, RunSettings settings) override { calls_.push_back({run, true, std::move(settings)}); }
    void stopRun(RunId run) override { calls_.push_back({run, false, {}}); }
    void resetRun(RunId) override {}
    void loggingOff(RunId) override {}

private:
    std::vector<RunnerCall>& calls_;
};

class HostListTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        list_.reset();
        supervisor_.reset();
        calls_.clear();
        face_ = nullptr;
        runnersMade_ = mainStarts_ = mainStops_ = 0;
        settings_.quietly() = Settings{};
        settings_.quietly().host = "main.example";
        resolver_ = std::make_shared<ScriptedHostResolver>();
        resolver_->addName("main.example", HostEntry{"main.example", {ScriptedHostResolver::address("192.0.2.100")}});
        HostSupervisor::Services hosts;
        hosts.resolver = resolver_;
        hosts.post = [](std::function<void()> task) {
            QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
        };
        hosts.makeRunner = [this](WindowPort& face) {
            face_ = &face;
            ++runnersMade_;
            return std::make_unique<RecordingRunner>(calls_);
        };
        hosts.nowMs = [] { return std::int64_t{1'000'000}; };
        supervisor_ = std::make_unique<HostSupervisor>(std::move(hosts));
        supervisor_->addMain(settings_.value());
        HostList::Services services;
        services.messages = &messages_;
        // As the main window's Start and Stop; the runner answers a stop at once.
        services.startMain = [this] {
            ++mainStarts_;
            supervisor_->start(list_->mainId());
        };
        services.stopMain = [this] {
            ++mainStops_;
            const RunId main = list_->mainId();
            supervisor_->stop(main);
            std::thread([this, main] { face_->runEnded(main, RunEnd::Stopped); }).join();
        };
        list_ = std::make_unique<HostList>(settings_, *supervisor_, std::move(services));
    }

    // A probe as the hub reports it, from another thread.
    void report(RunId run, HostStatus status, std::optional<std::uint32_t> rttUs, std::int64_t atMs = 2'000'000,
                bool changed = false) {
        ProbeEvent event;
        event.run = run;
        event.unixMs = atMs;
        event.address = "192.0.2.1";
        event.hostStatus = status;
        event.statusChanged = changed;
        if (rttUs) {
            event.replier = "192.0.2.1";
            event.rttUs = rttUs;
        }
        event.stats.requests = 1;
        std::thread([this, event] { face_->probed(event); }).join();
        spin(std::chrono::milliseconds(20));
    }

    RunId addRunning(const std::string& host) {
        Settings s;
        s.host = host;
        const RunId id = list_->add(s);
        list_->start(id);
        return id;
    }

    AppSettings settings_;
    RecordingMessagePort messages_;
    std::shared_ptr<ScriptedHostResolver> resolver_;
    std::vector<RunnerCall> calls_;
    WindowPort* face_ = nullptr;
    int runnersMade_ = 0;
    int mainStarts_ = 0;
    int mainStops_ = 0;
    std::unique_ptr<HostSupervisor> supervisor_;
    std::unique_ptr<HostList> list_;
};

TEST_F(HostListTest, WorstStatusOfTheRunningHosts) {
    struct Case {
        const char* name;
        std::vector<HostStatus> running;
        HostStatus stoppedOne; // a host that is not running, whatever it showed last
        HostStatus worst;
    };
    const std::vector<Case> cases = {
        {"nothing running", {}, HostStatus::Bad, HostStatus::NA},
        {"bad over average and good",
         {HostStatus::Good, HostStatus::Bad, HostStatus::Average},
         HostStatus::NA,
         HostStatus::Bad},
        {"average over good", {HostStatus::Good, HostStatus::Average}, HostStatus::Bad, HostStatus::Average},
        {"good over n/a", {HostStatus::NA, HostStatus::Good}, HostStatus::Bad, HostStatus::Good},
        {"only n/a", {HostStatus::NA, HostStatus::NA}, HostStatus::Bad, HostStatus::NA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        for (std::size_t i = 0; i < c.running.size(); ++i) {
            const RunId id = addRunning("192.0.2." + std::to_string(i + 1));
            report(id, c.running[i], std::nullopt);
        }
        const RunId stopped = addRunning("198.51.100.1");
        report(stopped, c.stoppedOne, std::nullopt);
        list_->stop(stopped);
        EXPECT_EQ(list_->worstStatus(), c.worst);
    }
}

TEST_F(HostListTest, MainHostCountsForTheWorstWhileItRuns) {
    const RunId other = addRunning("192.0.2.1");
    report(other, HostStatus::Good, 900);
    list_->start(list_->mainId());
    ASSERT_TRUE(waitFor([&] { return list_->hosts().front().running; }));
    report(list_->mainId(), HostStatus::Bad, std::nullopt, 2'000'000, true);
    EXPECT_EQ(list_->worstStatus(), HostStatus::Bad);
    list_->stop(list_->mainId());
    ASSERT_TRUE(waitFor([&] { return !list_->hosts().front().running; }));
    EXPECT_EQ(list_->worstStatus(), HostStatus::Good);
}

TEST_F(HostListTest, ProbesFillTheRowAndTheSparklineKeepsTheLastMinutes) {
    const RunId id = addRunning("192.0.2.1");
    report(id, HostStatus::Good, 1500, 1'000'000);
    report(id, HostStatus::Good, std::nullopt, 1'000'000 + HostList::kRecentSpanMs);
    report(id, HostStatus::Bad, std::nullopt, 1'000'001 + HostList::kRecentSpanMs, true);
    const WatchedHost* host = list_->find(id);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->address, "192.0.2.1");
    EXPECT_EQ(host->status, HostStatus::Bad);
    EXPECT_EQ(host->statusSinceMs, 1'000'001 + HostList::kRecentSpanMs);
    EXPECT_FALSE(host->lastRttUs);
    ASSERT_EQ(host->recent.size(), 2U); // the first is older than the span
    EXPECT_FALSE(host->recent.front().rttUs);
}

TEST_F(HostListTest, OldRunsReportsAreNotCountedForAHostStartedAgain) {
    const RunId id = addRunning("192.0.2.1");
    list_->stop(id);
    list_->start(id);
    report(id, HostStatus::Bad, std::nullopt); // from the run that was stopped
    EXPECT_EQ(list_->find(id)->status, HostStatus::NA);
    std::thread([&] { face_->runEnded(id, RunEnd::Stopped); }).join();
    spin(std::chrono::milliseconds(20));
    EXPECT_TRUE(list_->find(id)->running) << "the stop's answer must not stop the new run";
    report(id, HostStatus::Good, 700);
    EXPECT_EQ(list_->find(id)->status, HostStatus::Good);
    std::thread([&] { face_->runEnded(id, RunEnd::ChannelFailed); }).join();
    spin(std::chrono::milliseconds(20));
    EXPECT_FALSE(list_->find(id)->running);
}

TEST_F(HostListTest, StartsResolveNamesOffTheWindowThreadAndUseTheProgramsNotify) {
    resolver_->addName("router.lan", HostEntry{"router.lan", {ScriptedHostResolver::address("192.0.2.9")}});
    settings_.change([](Settings& s) { s.notify = false; });
    resolver_->hold();
    const RunId id = addRunning("router.lan");
    EXPECT_TRUE(calls_.empty());
    EXPECT_TRUE(list_->stored().hosts.front().running) << "a start under way is stored as running";
    resolver_->release();
    ASSERT_TRUE(waitFor([&] { return !calls_.empty(); }));
    const RunnerCall* started = &calls_.front();
    ASSERT_TRUE(started->start);
    EXPECT_EQ(started->run, id);
    EXPECT_EQ(started->settings.targetAddress, ScriptedHostResolver::address("192.0.2.9"));
    EXPECT_EQ(started->settings.alerts.host, "router.lan");
    EXPECT_FALSE(started->settings.alerts.notify);
    EXPECT_EQ(list_->find(id)->address, "192.0.2.9");

    const RunId unknown = addRunning("nowhere.lan");
    ASSERT_TRUE(waitFor([&] { return resolver_->count("byname:nowhere.lan") == 1; }));
    spin(std::chrono::milliseconds(30));
    EXPECT_FALSE(list_->find(unknown)->running);
    EXPECT_EQ(calls_.size(), 1U);
    EXPECT_EQ(runnersMade_, 1);
    ASSERT_EQ(messages_.errors().size(), 1U) << "the user's start of a host that is not found says so";
    EXPECT_EQ(messages_.errors().front().text.rfind("nowhere.lan: Host not found.", 0), 0U);

    list_->startAll(); // a box per host would bury the desktop: Start all only notes it
    ASSERT_TRUE(waitFor([&] { return resolver_->count("byname:nowhere.lan") == 2; }));
    spin(std::chrono::milliseconds(30));
    EXPECT_EQ(messages_.errors().size(), 1U);
}

// The two hosts change places with their runs as they were: nothing stops or starts, and the main settings
// become the new main host's.
TEST_F(HostListTest, MakeMainSwapsPlacesAndKeepsBothRunsAsTheyWere) {
    struct Case {
        const char* name;
        bool mainRunning;
        bool otherRunning;
    };
    for (const Case& c : {Case{"neither", false, false}, Case{"main only", true, false},
                          Case{"other only", false, true}, Case{"both", true, true}}) {
        SCOPED_TRACE(c.name);
        SetUp();
        settings_.change([](Settings& s) {
            s.host = "192.0.2.50";
            s.interval = 5000;
            s.recentList = "main.example\r\n";
            s.logFileName = "";
        });
        const RunId main = list_->mainId();
        Settings other;
        other.host = "192.0.2.5";
        other.interval = 1000;
        other.analysisMode = AnalysisMode::Percent;
        const RunId id = list_->add(other);
        if (c.otherRunning)
            list_->start(id);
        if (c.mainRunning)
            list_->start(main);
        calls_.clear();
        const int startsBefore = mainStarts_;

        ASSERT_TRUE(list_->makeMain(id));
        spin(std::chrono::milliseconds(20));

        EXPECT_EQ(list_->mainId(), id);
        EXPECT_EQ(settings_.value().host, "192.0.2.5");
        EXPECT_EQ(settings_.value().interval, 1000);
        EXPECT_EQ(settings_.value().analysisMode, AnalysisMode::Percent);
        EXPECT_EQ(settings_.value().recentList, "main.example\r\n") << "program-wide fields stay";
        const WatchedHost* swapped = list_->find(main);
        ASSERT_NE(swapped, nullptr);
        EXPECT_FALSE(swapped->main);
        EXPECT_EQ(swapped->settings.host, "192.0.2.50");
        EXPECT_EQ(swapped->settings.interval, 5000);
        EXPECT_EQ(swapped->running, c.mainRunning);
        EXPECT_EQ(list_->hosts().front().running, c.otherRunning);
        EXPECT_EQ(list_->hosts().front().settings.host, "192.0.2.5");
        EXPECT_TRUE(calls_.empty()) << "neither run stops or starts";
        EXPECT_EQ(mainStarts_, startsBefore);
        EXPECT_EQ(list_->stored().hosts.front().settings.host, "192.0.2.50");
    }
}

TEST_F(HostListTest, MakeMainIsRefusedForTheMainHostAndUnknownOnes) {
    EXPECT_FALSE(list_->makeMain(list_->mainId()));
    EXPECT_FALSE(list_->makeMain(77));
    EXPECT_FALSE(list_->remove(list_->mainId()));
    Settings empty;
    EXPECT_EQ(list_->add(empty), 0U) << "a host without an address is no host to watch";
}

TEST_F(HostListTest, HostsSharingALogFileWriteWholeRecordsUnderTheirOwnNames) {
    TempDir dir;
    const std::string log = dir.file("shared.csv");
    RunId ids[2] = {};
    const char* names[2] = {"192.0.2.1", "192.0.2.2"};
    for (int i = 0; i < 2; ++i) {
        Settings s;
        s.host = names[i];
        s.logLevel = LogLevel::EveryRequest;
        s.logAppend = true;
        s.logFileName = log;
        ids[i] = list_->add(s);
        list_->start(ids[i]);
    }
    for (int round = 0; round < 3; ++round)
        for (RunId id : ids) {
            ProbeEvent event;
            event.run = id;
            event.hostStatus = HostStatus::Good;
            std::thread([&] { face_->postLog(event); }).join();
        }
    spin(std::chrono::milliseconds(30));
    std::ifstream in(log);
    std::string line;
    std::map<std::string, int> records;
    while (std::getline(in, line))
        ++records[line.substr(0, line.find(';'))];
    EXPECT_EQ(records["Address"], 1) << "one header";
    EXPECT_EQ(records["192.0.2.1"], 3);
    EXPECT_EQ(records["192.0.2.2"], 3);
    EXPECT_TRUE(messages_.errors().empty());
}

TEST_F(HostListTest, RestoreStartsWhatWasRunningAndStoresTheListBack) {
    StoredHostList stored;
    StoredHost a;
    a.settings.host = "192.0.2.1";
    a.running = true;
    StoredHost blank; // a hand-edited entry without a host
    StoredHost b;
    b.settings.host = "192.0.2.2";
    b.settings.buffer = 64;
    stored.hosts = {a, blank, b};
    list_->restore(stored);
    ASSERT_EQ(list_->hosts().size(), 3U);
    ASSERT_EQ(calls_.size(), 1U);
    EXPECT_EQ(calls_.front().run, list_->hosts()[1].id);

    StoredHostList expected = stored;
    expected.hosts.erase(expected.hosts.begin() + 1);
    EXPECT_EQ(list_->stored(), expected);
}

} // namespace

namespace {

TEST_F(HostListTest, ALogThatCannotBeOpenedTurnsOffThatHostsLoggingOnly) {
    TempDir dir;
    Settings good;
    good.host = "192.0.2.1";
    good.logLevel = LogLevel::StatusChanges;
    good.logFileName = dir.file("fine.csv");
    Settings broken = good;
    broken.host = "192.0.2.2";
    broken.logFileName = dir.file("no-such-folder/x.csv");
    int saves = 0;
    QObject::connect(list_.get(), &HostList::userChanged, [&saves] { ++saves; });
    const RunId fine = list_->add(good);
    const RunId failed = list_->add(broken);
    EXPECT_EQ(list_->find(fine)->settings.logLevel, LogLevel::StatusChanges);
    EXPECT_EQ(list_->find(failed)->settings.logLevel, LogLevel::Off) << "stored off, as the main host's would be";
    EXPECT_EQ(messages_.errors().size(), 1U);
    EXPECT_EQ(saves, 3) << "two adds and the change the failure made";
    EXPECT_EQ(settings_.value().logLevel, LogLevel::Off) << "the main host's logging is its own";
}

TEST_F(HostListTest, EditingARunningHostStartsItAgainAndRemovingStopsIt) {
    const RunId id = addRunning("192.0.2.1");
    Settings changed;
    changed.host = "192.0.2.4";
    changed.interval = 2000;
    ASSERT_TRUE(list_->edit(id, changed));
    ASSERT_EQ(calls_.size(), 3U);
    EXPECT_FALSE(calls_[1].start);
    EXPECT_TRUE(calls_[2].start);
    EXPECT_EQ(calls_[2].settings.targetAddress, ScriptedHostResolver::address("192.0.2.4"));
    EXPECT_EQ(calls_[2].settings.intervalMs, 2000);
    report(id, HostStatus::Bad, std::nullopt); // the old run's, before the stop's answer
    EXPECT_EQ(list_->find(id)->status, HostStatus::NA);
    std::thread([&] { face_->runEnded(id, RunEnd::Stopped); }).join();
    report(id, HostStatus::Good, 400);
    EXPECT_TRUE(list_->find(id)->running);
    EXPECT_EQ(list_->find(id)->status, HostStatus::Good);

    ASSERT_TRUE(list_->remove(id));
    ASSERT_EQ(calls_.size(), 4U);
    EXPECT_FALSE(calls_[3].start);
    EXPECT_EQ(calls_[3].run, id);
    EXPECT_EQ(list_->find(id), nullptr);
    report(id, HostStatus::Bad, std::nullopt); // a late report of the removed host is dropped
    EXPECT_EQ(list_->hosts().size(), 1U);
}

} // namespace
