#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <QMenu>
#include <QWidget>

#include "AppTestSupport.h"
#include "app/desktop/TrayController.h"
#include "settings/Settings.h"

// The tray with several hosts: the worst status and the list in the tooltip. Built from values alone, so no
// notification area is needed.
namespace {

WatchedHost host(RunId id, const std::string& name, bool running, HostStatus status,
                 std::optional<std::uint32_t> rttUs = std::nullopt) {
    WatchedHost h;
    h.id = id;
    h.main = id == 1;
    h.settings.host = name;
    h.running = running;
    h.status = status;
    h.lastRttUs = rttUs;
    if (rttUs)
        h.address = name;
    return h;
}

class TrayHosts : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        tray_.reset();
        window_ = std::make_unique<QWidget>();
        menu_ = std::make_unique<QMenu>();
        settings_.host = "main.example";
        hosts_ = {host(1, "main.example", false, HostStatus::NA)};
        tray_ = std::make_unique<TrayController>(window_.get(), menu_.get(), settings_);
    }
    void useHosts() {
        tray_->setHostsSource([this]() -> const std::vector<WatchedHost>& { return hosts_; });
    }
    // The main host as its window shows it: the tray hears of its runs and probes from the window.
    void mainShows(HostStatus status, std::uint32_t rttUs) {
        tray_->setMonitoring(true);
        ProbeEvent event;
        event.host = "main.example";
        event.replier = "192.0.2.1";
        event.rttUs = rttUs;
        event.hostStatus = status;
        event.stats.requests = 1;
        tray_->showProbe(event);
        tray_->showStatus(status);
        hosts_[0].running = true;
        hosts_[0].status = status;
        hosts_[0].lastRttUs = rttUs;
        hosts_[0].address = "192.0.2.1";
    }

    std::unique_ptr<QWidget> window_;
    std::unique_ptr<QMenu> menu_;
    Settings settings_;
    std::vector<WatchedHost> hosts_;
    std::unique_ptr<TrayController> tray_;
};

TEST_F(TrayHosts, MainHostAloneKeepsTodaysTipAndIcon) {
    TrayController plain(window_.get(), menu_.get(), settings_);
    useHosts();
    EXPECT_EQ(tray_->toolTip(), plain.toolTip());
    mainShows(HostStatus::Average, 1234);
    plain.setMonitoring(true);
    ProbeEvent event;
    event.host = "main.example";
    event.replier = "192.0.2.1";
    event.rttUs = 1234;
    event.hostStatus = HostStatus::Average;
    event.stats.requests = 1;
    plain.showProbe(event);
    plain.showStatus(HostStatus::Average);
    EXPECT_EQ(tray_->toolTip(), plain.toolTip());
    EXPECT_EQ(tray_->iconStatus(), HostStatus::Average);
}

TEST_F(TrayHosts, IconShowsTheWorstOfTheRunningHosts) {
    struct Case {
        const char* name;
        HostStatus main;
        std::vector<std::pair<bool, HostStatus>> others; // running, status
        HostStatus shown;
    };
    const std::vector<Case> cases = {
        {"bad other over good main", HostStatus::Good, {{true, HostStatus::Bad}}, HostStatus::Bad},
        {"bad main over average other", HostStatus::Bad, {{true, HostStatus::Average}}, HostStatus::Bad},
        {"average over good",
         HostStatus::Good,
         {{true, HostStatus::Good}, {true, HostStatus::Average}},
         HostStatus::Average},
        {"stopped host counts for nothing", HostStatus::Good, {{false, HostStatus::Bad}}, HostStatus::Good},
        {"good over n/a", HostStatus::NA, {{true, HostStatus::NA}, {true, HostStatus::Good}}, HostStatus::Good},
        {"all n/a", HostStatus::NA, {{true, HostStatus::NA}}, HostStatus::NA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        useHosts();
        tray_->showStatus(c.main);
        RunId id = 2;
        for (const auto& [running, status] : c.others) {
            hosts_.push_back(host(id, "192.0.2." + std::to_string(id), running, status));
            ++id;
        }
        EXPECT_EQ(tray_->iconStatus(), c.shown);
    }
}

TEST_F(TrayHosts, TipListsEachHostWorstFirstWithItsRoundTrip) {
    useHosts();
    mainShows(HostStatus::Good, 800);
    hosts_.push_back(host(2, "127.0.0.2", true, HostStatus::Bad));
    hosts_.push_back(host(3, "127.0.0.3", true, HostStatus::Good, 12'400));
    hosts_.push_back(host(4, "stopped.example", false, HostStatus::NA));
    EXPECT_EQ(tray_->toolTip().toStdString(), "127.0.0.2 - Bad - no reply\n"
                                              "main.example - Good - 0.8 ms\n"
                                              "127.0.0.3 - Good - 12 ms\n"
                                              "stopped.example - not monitoring");
}

// A host that has just started has no verdict yet, but it is being watched: it comes before every stopped one,
// wherever it stands in the list, and after the hosts with a verdict.
TEST_F(TrayHosts, TipListsAJustStartedHostBeforeTheStoppedOnes) {
    useHosts();
    hosts_.push_back(host(2, "stopped.example", false, HostStatus::Bad));
    hosts_.push_back(host(3, "good.example", true, HostStatus::Good, 900));
    hosts_.push_back(host(4, "starting.example", true, HostStatus::NA));
    EXPECT_EQ(tray_->toolTip().toStdString(), "good.example - Good - 0.9 ms\n"
                                              "starting.example - N/A - no reply\n"
                                              "main.example - not monitoring\n"
                                              "stopped.example - not monitoring");
    // The main host just started by its window: no probe yet.
    tray_->setMonitoring(true);
    EXPECT_EQ(tray_->toolTip().toStdString(), "good.example - Good - 0.9 ms\n"
                                              "main.example - N/A - no reply\n"
                                              "starting.example - N/A - no reply\n"
                                              "stopped.example - not monitoring");
}

TEST_F(TrayHosts, TipNamesAsManyAsFitThenHowManyMore) {
    useHosts();
    for (RunId id = 2; id < 2 + 20; ++id)
        hosts_.push_back(
            host(id, "10.0.0." + std::to_string(id), true, id == 21 ? HostStatus::Bad : HostStatus::Good, 1000));
    const QStringList lines = tray_->toolTip().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), TrayController::kMaxTipHosts + 1);
    EXPECT_TRUE(lines.front().startsWith(QStringLiteral("10.0.0.21 - Bad"))) << lines.front().toStdString();
    EXPECT_EQ(lines.back(), QStringLiteral("and %1 more").arg(21 - TrayController::kMaxTipHosts));
}

// Fifty hosts beside the main one, ten of them Bad: eight are named, and the line for the rest says how many of
// them are Bad too, since those would otherwise go unseen.
TEST_F(TrayHosts, TipCountsTheBadHostsItLeavesOut) {
    useHosts();
    mainShows(HostStatus::Good, 800);
    for (RunId id = 2; id <= 51; ++id)
        hosts_.push_back(
            host(id, "127.0.1." + std::to_string(id), true, id % 5 == 0 ? HostStatus::Bad : HostStatus::Good, 1000));
    QStringList lines = tray_->toolTip().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), TrayController::kMaxTipHosts + 1);
    EXPECT_TRUE(lines[7].startsWith(QStringLiteral("127.0.1.40 - Bad"))) << lines[7].toStdString();
    EXPECT_EQ(lines.back(), QStringLiteral("and 43 more (2 Bad)"));

    hosts_[44].status = HostStatus::Average; // 127.0.1.45
    hosts_[49].running = false;              // 127.0.1.50: a stopped host is not Bad, whatever its last run said
    lines = tray_->toolTip().split(QLatin1Char('\n'));
    EXPECT_EQ(lines.back(), QStringLiteral("and 43 more")) << "none of them Bad: nothing to add";
}

TEST_F(TrayHosts, LongHostNamesAreShortenedSoTheirStatusStays) {
    useHosts();
    hosts_.push_back(host(2, std::string(200, 'h') + ".example", true, HostStatus::Bad));
    const QStringList lines = tray_->toolTip().split(QLatin1Char('\n'));
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_LE(lines.front().size(), 63);
    EXPECT_TRUE(lines.front().endsWith(QStringLiteral(" - Bad - no reply"))) << lines.front().toStdString();
}

} // namespace
