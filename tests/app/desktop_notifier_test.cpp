// Notifications on a private session bus: a dbus-daemon of the test's own, with no activatable services, and
// a recording notification service that a test starts when it wants one.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <utility>

#include <cstdio>
#include <optional>
#include <thread>

#include <QAction>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "app/RunControl.h"
#include "app/desktop/DesktopNotifier.h"
#include "app/desktop/QtNotifier.h"
#include "app/desktop/TrayController.h"
#include "support/RecordingMessagePort.h"
#include "support/ScriptedHostResolver.h"
#include "support/ScriptedHubSocket.h"
#include "support/TempDir.h"
#include "tests/app/AppTestSupport.h"

namespace {

// How often a notifier has said each thing.
struct Outcomes {
    explicit Outcomes(DesktopNotifier& notifier) {
        QObject::connect(&notifier, &DesktopNotifier::shown, [this] { ++shown; });
        QObject::connect(&notifier, &DesktopNotifier::failed, [this] { ++failed; });
    }
    int shown = 0;
    int failed = 0;
};

QString readyLine(QProcess& process) {
    process.waitForStarted(10000);
    QDeadlineTimer deadline(10000);
    while (!process.canReadLine() && !deadline.hasExpired() && process.state() == QProcess::Running)
        process.waitForReadyRead(100);
    return QString::fromUtf8(process.readLine()).trimmed();
}

void stopProcess(QProcess& process) {
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }
}

// Lets queued calls and the service's answers arrive.
void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The bus lives as long as the test program: Qt keeps its session bus connection once made.
class PrivateBus : public testing::Environment {
public:
    void SetUp() override {
        const QString config = QString::fromStdString(dir_.file("bus.conf"));
        QFile file(config);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                  "<busconfig><type>session</type><listen>unix:path=%1</listen>\n"
                                  "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
                       .arg(QString::fromStdString(dir_.file("bus")))
                       .toUtf8());
        file.close();
        daemon_.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config,
                                                      QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        const QString address = readyLine(daemon_);
        ASSERT_FALSE(address.isEmpty()) << "dbus-daemon did not start: "
                                        << daemon_.readAllStandardError().toStdString();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
        TestApp();
    }
    void TearDown() override { stopProcess(daemon_); }

private:
    TempDir dir_;
    QProcess daemon_;
};

const auto* const kBus = testing::AddGlobalTestEnvironment(new PrivateBus);

// Everything written to stderr while it lives.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int fd = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    QString text() {
        restore();
        QFile file(QString::fromStdString(dir_.file("stderr")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    TempDir dir_;
    int saved_ = -1;
};

class DesktopNotifierTest : public testing::Test {
protected:
    void startService() {
        service_.start(QString::fromUtf8(qgetenv("OSTREVO_BINARY_DIR")) +
                           QStringLiteral("/tests/ostrevo_notification_recorder"),
                       {record_});
        ASSERT_EQ(readyLine(service_), QStringLiteral("ready")) << service_.readAllStandardError().toStdString();
    }
    void TearDown() override { stopProcess(service_); }

    std::vector<QJsonObject> calls() const {
        std::vector<QJsonObject> result;
        QFile file(record_);
        if (!file.open(QIODevice::ReadOnly))
            return result;
        while (!file.atEnd())
            result.push_back(QJsonDocument::fromJson(file.readLine()).object());
        return result;
    }

    // The ids the service was asked to close, in order.
    std::vector<uint> closed() const {
        std::vector<uint> result;
        QFile file(record_ + QStringLiteral(".closed"));
        if (file.open(QIODevice::ReadOnly))
            while (!file.atEnd())
                result.push_back(file.readLine().trimmed().toUInt());
        return result;
    }
    // What the service shows now, by id: every notification shown and not closed since, as last sent.
    std::map<uint, QJsonObject> onScreen() const {
        std::map<uint, QJsonObject> shown;
        for (const QJsonObject& call : calls())
            shown[static_cast<uint>(call[QStringLiteral("id")].toInt())] = call;
        for (const uint id : closed())
            shown.erase(id);
        return shown;
    }
    static std::vector<std::string> titles(const std::map<uint, QJsonObject>& shown) {
        std::vector<std::string> result;
        for (const auto& [id, call] : shown)
            result.push_back(call[QStringLiteral("summary")].toString().toStdString());
        std::sort(result.begin(), result.end());
        return result;
    }

    TempDir dir_;
    QString record_ = QString::fromStdString(dir_.file("calls.jsonl"));
    QProcess service_;
};

// Each host's edges replace only that host's notification, and so does the route line of its outage; a
// stopped host's notification goes. The fault this guards: one notification for all hosts, where "127.0.0.3
// is Good" replaced "127.0.0.2 is Bad" while .2 was still down.
TEST_F(DesktopNotifierTest, EachHostHasANotificationOfItsOwnThatOnlyItsOwnNewsReplaces) {
    startService();
    DesktopNotifier notifier;
    Outcomes outcomes(notifier);
    notifier.notify(QStringLiteral("127.0.0.2"), HostStatus::Bad, QStringLiteral("Request Timed Out"));
    notifier.notify(QStringLiteral("127.0.0.3"), HostStatus::Bad, QStringLiteral("Request Timed Out"));
    ASSERT_TRUE(waitFor([&] { return outcomes.shown == 2; }));
    const uint two = notifier.shownId(QStringLiteral("127.0.0.2"));
    const uint three = notifier.shownId(QStringLiteral("127.0.0.3"));
    EXPECT_NE(two, three);
    notifier.notify(QStringLiteral("127.0.0.3"), HostStatus::Good, QStringLiteral("Replay from 127.0.0.3"));
    notifier.amend(QStringLiteral("127.0.0.2"), HostStatus::Bad, QStringLiteral("Loss begins at hop 2"));
    notifier.amend(QStringLiteral("127.0.0.9"), HostStatus::Bad, QStringLiteral("a host that showed nothing"));
    ASSERT_TRUE(waitFor([&] { return outcomes.shown == 4; }));
    settle(200);

    EXPECT_EQ(calls().size(), 4u) << "the route line of a host without a notification is not shown";
    const auto shown = onScreen();
    EXPECT_EQ(titles(shown), (std::vector<std::string>{"127.0.0.2 is Bad", "127.0.0.3 is Good"}));
    ASSERT_TRUE(shown.count(two) && shown.count(three));
    EXPECT_EQ(shown.at(two)[QStringLiteral("body")].toString(), QStringLiteral("Loss begins at hop 2"));
    EXPECT_EQ(shown.at(two)[QStringLiteral("replaces_id")].toInt(), static_cast<int>(two));
    EXPECT_EQ(shown.at(three)[QStringLiteral("replaces_id")].toInt(), static_cast<int>(three));

    notifier.withdraw(QStringLiteral("127.0.0.3"));
    ASSERT_TRUE(waitFor([&] { return closed() == std::vector<uint>{three}; }));
    EXPECT_EQ(notifier.shownId(QStringLiteral("127.0.0.3")), 0u);
    EXPECT_EQ(notifier.shownId(QStringLiteral("127.0.0.2")), two);
    // Its next edge is a new notification, not one that brings the withdrawn one back.
    notifier.notify(QStringLiteral("127.0.0.3"), HostStatus::Bad, QStringLiteral("Request Timed Out"));
    ASSERT_TRUE(waitFor([&] { return outcomes.shown == 5; }));
    EXPECT_EQ(calls().back()[QStringLiteral("replaces_id")].toInt(), 0);
}

// Up to three hosts changing together each get their own; a fourth within two seconds folds them all into one
// summary, which the burst's later changes update. Once it is over a host's change is its own news again and
// leaves the summary; the withdrawn hosts leave it too, and with the last one it goes.
TEST_F(DesktopNotifierTest, MoreThanThreeHostsChangingWithinTwoSecondsShowOneSummary) {
    startService();
    DesktopNotifier notifier;
    Outcomes outcomes(notifier);
    const auto name = [](int i) { return QStringLiteral("127.0.0.%1").arg(i); };
    for (int i = 2; i <= 4; ++i)
        notifier.notify(name(i), HostStatus::Bad, QStringLiteral("Request Timed Out"));
    ASSERT_TRUE(waitFor([&] { return outcomes.shown == 3; }));
    EXPECT_EQ(onScreen().size(), 3u);

    for (int i = 5; i <= 12; ++i)
        notifier.notify(name(i), HostStatus::Bad, QStringLiteral("Request Timed Out"));
    ASSERT_TRUE(waitFor([&] {
        const auto shown = onScreen();
        return shown.size() == 1 && titles(shown).front() == "11 hosts are Bad";
    })) << "on screen: "
        << ::testing::PrintToString(titles(onScreen()));
    const auto [summaryId, summaryCall] = *onScreen().begin();
    QStringList names;
    for (int i = 2; i <= 12; ++i)
        names << name(i);
    EXPECT_EQ(summaryCall[QStringLiteral("body")].toString(), names.join(QStringLiteral(", ")));
    EXPECT_EQ(summaryCall[QStringLiteral("hints")].toObject()[QStringLiteral("urgency")].toInt(), 2);
    EXPECT_LE(calls().size(), 5u) << "a flood of notifications, one per host";

    settle(static_cast<int>(DesktopNotifier::kBurstMs) + 300);
    notifier.notify(name(5), HostStatus::Good, QStringLiteral("Replay from 127.0.0.5"));
    ASSERT_TRUE(waitFor([&] { return onScreen().size() == 2 && onScreen().count(summaryId); }));
    settle(200);
    EXPECT_EQ(titles(onScreen()), (std::vector<std::string>{"10 hosts are Bad", "127.0.0.5 is Good"}));
    EXPECT_FALSE(onScreen().at(summaryId)[QStringLiteral("body")].toString().contains(name(5) + QLatin1Char(',')));

    for (int i = 2; i <= 12; ++i)
        notifier.withdraw(name(i));
    ASSERT_TRUE(waitFor([&] { return onScreen().empty(); })) << ::testing::PrintToString(titles(onScreen()));
}

TEST_F(DesktopNotifierTest, BothEdgesReachTheServiceAndTheSecondReplacesTheFirst) {
    startService();
    DesktopNotifier notifier;
    Outcomes outcomes(notifier);
    notifier.notify(QStringLiteral("Gateway.example"), HostStatus::Bad, QStringLiteral("Request <Timed> Out & gone"));
    ASSERT_TRUE(waitFor([&] { return outcomes.shown == 1; }));
    notifier.notify(QStringLiteral("Gateway.example"), HostStatus::Good,
                    QStringLiteral("Replay from 127.0.0.1: bytes=32 time=0ms TTL=64"));
    ASSERT_TRUE(waitFor([&] { return outcomes.shown == 2; }));

    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 2u);
    const QJsonObject& bad = recorded[0];
    const QJsonObject& good = recorded[1];
    EXPECT_EQ(bad[QStringLiteral("app_name")].toString(), QStringLiteral("Ostrevo"));
    EXPECT_EQ(bad[QStringLiteral("summary")].toString(), QStringLiteral("Gateway.example is Bad"));
    EXPECT_EQ(good[QStringLiteral("summary")].toString(), QStringLiteral("Gateway.example is Good"));
    // Servers read the body as markup; the reply text must come through as typed.
    EXPECT_EQ(bad[QStringLiteral("body")].toString(), QStringLiteral("Request &lt;Timed&gt; Out &amp; gone"));
    EXPECT_EQ(good[QStringLiteral("body")].toString(),
              QStringLiteral("Replay from 127.0.0.1: bytes=32 time=0ms TTL=64"));
    EXPECT_EQ(bad[QStringLiteral("replaces_id")].toInt(), 0);
    EXPECT_EQ(good[QStringLiteral("replaces_id")].toInt(), bad[QStringLiteral("id")].toInt());
    EXPECT_EQ(notifier.shownId(), static_cast<uint>(good[QStringLiteral("id")].toInt()));
    EXPECT_EQ(bad[QStringLiteral("expire_timeout")].toInt(), -1);
    EXPECT_EQ(bad[QStringLiteral("app_icon")].toString(), QStringLiteral("ostrevo"));
    EXPECT_EQ(bad[QStringLiteral("hints")].toObject()[QStringLiteral("desktop-entry")].toString(),
              QStringLiteral("com.quorvan.Ostrevo"));
    // Desktops keep a critical notification up and file both under network events; urgency is a byte.
    for (const auto& [call, urgency] : {std::pair{bad, 2}, std::pair{good, 1}}) {
        const QJsonObject hints = call[QStringLiteral("hints")].toObject();
        EXPECT_EQ(hints[QStringLiteral("urgency")].toInt(), urgency)
            << call[QStringLiteral("summary")].toString().toStdString();
        EXPECT_EQ(call[QStringLiteral("hint_types")].toObject()[QStringLiteral("urgency")].toString(),
                  QStringLiteral("uchar"));
        EXPECT_EQ(hints[QStringLiteral("category")].toString(), QStringLiteral("network"));
    }

    // The status picture travels with the call, in the layout the hint prescribes, and shows the new status.
    const QJsonObject badImage = bad[QStringLiteral("hints")].toObject()[QStringLiteral("image-data")].toObject();
    const QJsonObject goodImage = good[QStringLiteral("hints")].toObject()[QStringLiteral("image-data")].toObject();
    EXPECT_EQ(badImage[QStringLiteral("width")].toInt(), 64);
    EXPECT_EQ(badImage[QStringLiteral("height")].toInt(), 64);
    EXPECT_EQ(badImage[QStringLiteral("channels")].toInt(), 4);
    EXPECT_EQ(badImage[QStringLiteral("bits")].toInt(), 8);
    EXPECT_TRUE(badImage[QStringLiteral("alpha")].toBool());
    EXPECT_EQ(badImage[QStringLiteral("bytes")].toInt(),
              badImage[QStringLiteral("stride")].toInt() * badImage[QStringLiteral("height")].toInt());
    EXPECT_NE(badImage[QStringLiteral("data")].toString(), goodImage[QStringLiteral("data")].toString());
}

TEST_F(DesktopNotifierTest, RequestsMadeWhileACallIsOutCollapseToTheNewestWhichReplacesTheShownOne) {
    startService();
    DesktopNotifier notifier;
    Outcomes outcomes(notifier);
    // The worker thread raises alerts; the calls it makes must arrive as made there.
    std::thread worker([&] {
        notifier.notify(QStringLiteral("h"), HostStatus::Bad, QStringLiteral("1"));
        notifier.notify(QStringLiteral("h"), HostStatus::Good, QStringLiteral("2"));
        notifier.notify(QStringLiteral("h"), HostStatus::Bad, QStringLiteral("3"));
    });
    worker.join();
    ASSERT_TRUE(waitFor([&] { return outcomes.shown == 2; }));
    QEventLoop settle;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);
    settle.exec();

    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0][QStringLiteral("body")].toString(), QStringLiteral("1"));
    EXPECT_EQ(recorded[1][QStringLiteral("body")].toString(), QStringLiteral("3"));
    EXPECT_EQ(recorded[1][QStringLiteral("replaces_id")].toInt(), recorded[0][QStringLiteral("id")].toInt());
}

TEST_F(DesktopNotifierTest, WithoutAServiceOrABusNothingIsShownAndOneLineGoesToStderr) {
    struct Case {
        const char* name;
        QString busAddress; // empty: the private session bus, on which no service runs
    };
    const Case cases[] = {
        {"no service", QString()},
        {"no bus", QStringLiteral("unix:path=") + QString::fromStdString(dir_.file("no-such-bus"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StderrCapture stderrText;
        DesktopNotifier notifier(c.busAddress);
        Outcomes outcomes(notifier);
        for (int i = 0; i < 3; ++i) {
            notifier.notify(QStringLiteral("127.0.0.1"), i % 2 ? HostStatus::Good : HostStatus::Bad,
                            QStringLiteral("x"));
            ASSERT_TRUE(waitFor([&] { return outcomes.failed == i + 1; }));
        }
        EXPECT_EQ(outcomes.shown, 0);
        EXPECT_EQ(notifier.shownId(), 0u);
        const QString text = stderrText.text();
        EXPECT_EQ(text.count(QLatin1Char('\n')), 1) << text.toStdString();
        EXPECT_TRUE(text.startsWith(QStringLiteral("ostrevo: no desktop notifications: "))) << text.toStdString();
    }
}

// The program's own path: a run's Good/Bad edges reach the service through the window's alert actions.
class NotificationsOfARun : public DesktopNotifierTest {
protected:
    MainWindow& make() {
        AppRoot::Services services;
        services.arguments = {"127.0.0.1"}; // nothing saved
        services.resolver = std::make_shared<ScriptedHostResolver>();
        channel_ = std::make_unique<ScriptedNetwork>();
        services.sockets = channel_->opener();
        auto messages = std::make_unique<RecordingMessagePort>();
        messages_ = messages.get();
        services.messages = std::move(messages);
        services.watchSignals = false;
        window_ = std::make_unique<AppRoot>(std::move(services));
        window_->settings().tries = 1;
        window_->settings().interval = 1;
        return window_->mainWindow();
    }

    // Good, then Bad (the stop-responding edge), then Good again (the start-responding one), and the end.
    void runThroughBothEdges(bool notify) {
        window_->settings().notify = notify;
        const std::size_t before = channel_->sends().size();
        channel_->push({EchoOutcome::good(1), EchoOutcome::failure(11010), EchoOutcome::good(2)});
        window_->mainWindow().pingAction()->trigger();
        ASSERT_TRUE(window_->runControl().isRunning());
        // The fourth request waits for a script: the third probe and its edge are behind the hub.
        ASSERT_TRUE(waitFor([&] { return channel_->sends().size() == before + 4 && channel_->waitUntilStarved({}); }));
        channel_->setFallback(EchoOutcome::good(2)); // lets the waiting request end, without another edge
        window_->mainWindow().pingAction()->trigger();
        ASSERT_TRUE(waitFor([&] { return !window_->runControl().isRunning(); }));
        channel_->clearFallback();
        EXPECT_TRUE(messages_->errors().empty());
    }

    std::unique_ptr<ScriptedNetwork> channel_;
    RecordingMessagePort* messages_ = nullptr;
    std::unique_ptr<AppRoot> window_;
};

TEST_F(NotificationsOfARun, BothEdgesAreShownUnlessTheSettingIsOff) {
    startService();
    make();
    // Off first: a call made then would reach the service before the ones of the second run.
    runThroughBothEdges(false);
    EXPECT_EQ(window_->notifier().desktopNotifier(), nullptr) << "the bus was touched with notifications off";
    runThroughBothEdges(true);
    ASSERT_TRUE(waitFor([&] { return calls().size() >= 2; }));

    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0][QStringLiteral("summary")].toString(), QStringLiteral("127.0.0.1 is Bad"));
    EXPECT_EQ(recorded[0][QStringLiteral("body")].toString(), QStringLiteral("Request Timed Out"));
    EXPECT_EQ(recorded[1][QStringLiteral("summary")].toString(), QStringLiteral("127.0.0.1 is Good"));
    EXPECT_EQ(recorded[1][QStringLiteral("body")].toString(),
              QStringLiteral("Replay from 127.0.0.1: bytes=32 time=2ms TTL=64"));
    EXPECT_EQ(recorded[1][QStringLiteral("replaces_id")].toInt(), recorded[0][QStringLiteral("id")].toInt());
}

TEST_F(NotificationsOfARun, AHostDownWhenTheRunBeginsIsShownOnce) {
    startService();
    make();
    window_->settings().notify = true;
    channel_->push({EchoOutcome::failure(11010), EchoOutcome::failure(11010)});
    window_->mainWindow().pingAction()->trigger();
    // The third request waits for a script.
    ASSERT_TRUE(waitFor([&] { return channel_->sends().size() == 3 && channel_->waitUntilStarved({}); }));
    channel_->setFallback(EchoOutcome::failure(11010));
    window_->mainWindow().pingAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return !window_->runControl().isRunning(); }));
    channel_->clearFallback();
    ASSERT_TRUE(waitFor([&] { return !calls().empty(); }));

    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u) << "the Bad that follows Bad is no news";
    EXPECT_EQ(recorded[0][QStringLiteral("summary")].toString(), QStringLiteral("127.0.0.1 is Bad"));
    EXPECT_EQ(recorded[0][QStringLiteral("body")].toString(), QStringLiteral("Request Timed Out"));
}

// A host's notification speaks for a host being watched: stopping its run withdraws it, and so does the exit.
TEST_F(NotificationsOfARun, StoppingTheRunAndExitingWithdrawTheHostsNotification) {
    startService();
    make();
    window_->settings().notify = true;
    channel_->push({EchoOutcome::failure(11010)});
    window_->mainWindow().pingAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return calls().size() == 1; }));
    channel_->setFallback(EchoOutcome::failure(11010));
    window_->mainWindow().pingAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return !window_->runControl().isRunning(); }));
    const uint first = static_cast<uint>(calls()[0][QStringLiteral("id")].toInt());
    ASSERT_TRUE(waitFor([&] { return closed() == std::vector<uint>{first}; })) << ::testing::PrintToString(closed());

    window_->mainWindow().pingAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return calls().size() == 2; }));
    // Its answer may still be on the way: the exit closes it all the same.
    const uint second = static_cast<uint>(calls()[1][QStringLiteral("id")].toInt());
    window_.reset(); // the program ends with the host still down
    channel_ = nullptr;
    EXPECT_EQ(closed(), (std::vector<uint>{first, second}));
}

TEST_F(NotificationsOfARun, WithoutAServiceTheRunGoesOnAndOnlyStderrHearsOfIt) {
    StderrCapture stderrText;
    make();
    std::optional<Outcomes> outcomes;
    QObject::connect(&window_->notifier(), &QtNotifier::notifierCreated,
                     [&](DesktopNotifier* notifier) { outcomes.emplace(*notifier); });
    runThroughBothEdges(true);
    runThroughBothEdges(true);
    ASSERT_TRUE(waitFor([&] { return outcomes && outcomes->failed == 4; }));
    EXPECT_EQ(outcomes->shown, 0);
    EXPECT_TRUE(messages_->errors().empty()) << "a box for a desktop without notifications";
    EXPECT_EQ(window_->mainWindow().findChild<QLabel*>(QStringLiteral("statusValue"))->text(),
              QStringLiteral("Replay from 127.0.0.1: bytes=32 time=2ms TTL=64"));
    const QString text = stderrText.text();
    EXPECT_EQ(text.count(QStringLiteral("ostrevo: no desktop notifications: ")), 1) << text.toStdString();
}

} // namespace
