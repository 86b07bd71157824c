#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "app/RunControl.h"
#include "engine/PosixHostResolver.h"
#include "support/RecordingMessagePort.h"
#include "support/RecordingWindowPort.h"
#include "support/ScriptedHostResolver.h"
#include "tests/app/AppTestSupport.h"

namespace {

const ShownError NoHost{"Enter a HostName or an IP Adress.", "Options - Error"};
const ShownError NotFound{"Host not found.\r\nWrong Host name,\r\nDNS failed to resolve Host name or DNS is down.",
                          "Start - Error"};
const ShownError NoChannel{"Can't open Ping Chanel.", "Start - Error"};

// Names what run control asks of the main host's runner, in order, and keeps the last start.
class NamingRunner : public HostRunner {
public:
    NamingRunner(std::vector<std::string>& posted, std::optional<RunSettings>& lastStart)
        : posted_(posted), lastStart_(lastStart) {}
    void startRun(RunId, RunSettings settings) override {
        posted_.push_back("start");
        lastStart_ = std::move(settings);
    }
    void stopRun(RunId) override { posted_.push_back("stop"); }
    void resetRun(RunId) override { posted_.push_back("reset"); }
    void loggingOff(RunId) override { posted_.push_back("logging off"); }

private:
    std::vector<std::string>& posted_;
    std::optional<RunSettings>& lastStart_;
};

// Made before the fixture's widgets.
struct withApp {
    withApp() { TestApp(); }
};

// Run control on its own widgets over a supervisor with a recording runner, with recorders for everything else.
class RunControlTest : public ::testing::Test, private withApp {
protected:
    void SetUp() override {
        for (auto& l : labels)
            l = std::make_unique<QLabel>(QStringLiteral("old"));
        ping.setText(QStringLiteral("&Start"));
        reset.setEnabled(false);
        settings.host = "127.0.0.1";
    }

    RunControl& make(std::shared_ptr<HostResolver> r = nullptr) {
        RunControl::Widgets widgets;
        widgets.ping = &ping;
        widgets.reset = &reset;
        for (std::size_t i = 0; i < labels.size(); ++i)
            widgets.labels[i] = labels[i].get();
        HostSupervisor::Services hosts;
        hosts.resolver = r ? r : resolver;
        hosts.post = [](std::function<void()> task) {
            QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
        };
        hosts.makeRunner = [this](WindowPort& face) {
            face_ = &face;
            return std::make_unique<NamingRunner>(posted, lastStart);
        };
        supervisor = std::make_unique<HostSupervisor>(std::move(hosts));
        supervisor->addMain(Settings{});
        RunControl::Services services;
        services.messages = &messages;
        services.showStatus = [this](HostStatus status) { window.showStatusIcon(status); };
        services.openOptions = [this] { ++optionsOpened; };
        control = std::make_unique<RunControl>(settings, *supervisor, widgets, std::move(services));
        QObject::connect(control.get(), &RunControl::startFinished, [this](bool) { ++startsFinished; });
        // The settings' owner lowers the stored payload when told, as the window's owner does.
        QObject::connect(control.get(), &RunControl::payloadTooLarge,
                         [this](std::int32_t largest) { settings.buffer = largest; });
        return *control;
    }

    // Presses Start and lets a lookup, if any, come back.
    void start() {
        const int before = startsFinished;
        control->toggleRun();
        ASSERT_TRUE(waitFor([&] { return startsFinished > before; }));
    }

    // The runner's answer, from its own thread: the run has ended, or could not begin.
    void answer(RunEnd end) {
        const RunId main = supervisor->hosts().front().id;
        std::thread([this, main, end] { face_->runEnded(main, end); }).join();
        spin(std::chrono::milliseconds(20));
    }

    [[nodiscard]] std::string label(Label l) const { return labels[static_cast<std::size_t>(l)]->text().toStdString(); }
    [[nodiscard]] std::string caption() const { return ping.text().toStdString(); }

    Settings settings;
    QAction ping{nullptr};
    QPushButton reset;
    std::array<std::unique_ptr<QLabel>, 7> labels;
    std::shared_ptr<ScriptedHostResolver> resolver = std::make_shared<ScriptedHostResolver>();
    RecordingMessagePort messages;
    RecordingWindowPort window;
    std::vector<std::string> posted;
    std::optional<RunSettings> lastStart;
    WindowPort* face_ = nullptr;
    int optionsOpened = 0;
    int startsFinished = 0;
    std::unique_ptr<HostSupervisor> supervisor;
    std::unique_ptr<RunControl> control;
};

struct HostCase {
    const char* name;
    std::string host;
    bool resolveIP;
    std::string hostLabel;            // hostValue after the start
    std::optional<ShownError> error;  // the box, when the start fails
    std::vector<std::string> lookups; // name-service lookups made
};

class RunControlHosts : public RunControlTest, public ::testing::WithParamInterface<HostCase> {};

TEST_P(RunControlHosts, ResolvesAndShowsTheHost) {
    const HostCase& c = GetParam();
    resolver->addName("db.example",
                      {"db-7.hosts.example",
                       {ScriptedHostResolver::address("127.0.0.7"), ScriptedHostResolver::address("127.0.0.8")}});
    resolver->addName("broadcast.example", {"broadcast.example", {IpAddress::v4(0xFFFFFFFFu)}});
    resolver->addName("empty.example", {"empty.example", {}});
    resolver->addAddress("127.0.0.1", {"localhost", {ScriptedHostResolver::address("127.0.0.1")}});
    // Parsed and shown only: the recorder takes the start, nothing is sent.
    resolver->addName(
        "dual.example",
        {"dual.example", {ScriptedHostResolver::address("127.0.0.7"), ScriptedHostResolver::address("2001:db8::7")}});
    resolver->addName("six.example", {"six-1.hosts.example", {ScriptedHostResolver::address("2001:db8::6")}});
    resolver->addAddress("::1", {"ip6-localhost", {ScriptedHostResolver::address("::1")}});
    settings.host = c.host;
    settings.resolveIp = c.resolveIP;
    make();
    start();

    std::vector<std::string> lookups;
    for (const std::string& call : resolver->calls())
        if (call.rfind("byname:", 0) == 0 || call.rfind("byaddr:", 0) == 0)
            lookups.push_back(call);
    EXPECT_EQ(lookups, c.lookups);
    EXPECT_EQ(label(Label::Host), c.hostLabel);
    if (c.error) {
        EXPECT_EQ(messages.errors(), std::vector<ShownError>{*c.error});
        EXPECT_FALSE(control->isRunning());
        EXPECT_EQ(caption(), "Start");
        EXPECT_TRUE(ping.isEnabled());
        EXPECT_FALSE(reset.isEnabled());
        EXPECT_TRUE(posted.empty());
        for (Label l : {Label::Status, Label::Lost, Label::Min, Label::Max, Label::Avg})
            EXPECT_EQ(label(l), "N/A");
        EXPECT_EQ(label(Label::Total), "0");
    } else {
        EXPECT_TRUE(messages.errors().empty());
        EXPECT_TRUE(control->isRunning());
        EXPECT_EQ(caption(), "Stop");
        EXPECT_TRUE(reset.isEnabled());
        EXPECT_EQ(posted, std::vector<std::string>{"start"});
        // The worker gets the address shown, of its own family.
        ASSERT_TRUE(lastStart.has_value());
        EXPECT_TRUE(c.hostLabel.ends_with(lastStart->targetAddress.text()) ||
                    c.hostLabel.ends_with(lastStart->targetAddress.text() + "]"))
            << ::testing::PrintToString(lastStart->targetAddress);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, RunControlHosts,
    ::testing::Values(
        HostCase{"Dotted", "127.0.0.1", false, "127.0.0.1", std::nullopt, {}},
        HostCase{"DottedReverseFound", "127.0.0.1", true, "localhost [127.0.0.1]", std::nullopt, {"byaddr:127.0.0.1"}},
        HostCase{"DottedReverseMissing", "127.0.0.9", true, "127.0.0.9", std::nullopt, {"byaddr:127.0.0.9"}},
        HostCase{"ShortForm", "127.1", false, "127.0.0.1", std::nullopt, {}},
        HostCase{"HexForm", "0x7f.1", false, "127.0.0.1", std::nullopt, {}},
        HostCase{"OctalNumber", "017700000001", false, "127.0.0.1", std::nullopt, {}},
        HostCase{"OneNumber", "2130706433", false, "127.0.0.1", std::nullopt, {}},
        HostCase{"NameFirstAddress",
                 "db.example",
                 false,
                 "db-7.hosts.example [127.0.0.7]",
                 std::nullopt,
                 {"byname:db.example"}},
        HostCase{"NameUnknown", "nowhere.example", false, "N/A", NotFound, {"byname:nowhere.example"}},
        HostCase{"NameGivesAllOnes", "broadcast.example", false, "N/A", NotFound, {"byname:broadcast.example"}},
        HostCase{"NameWithoutAddress", "empty.example", false, "N/A", NotFound, {"byname:empty.example"}},
        HostCase{"AllOnes", "255.255.255.255", false, "N/A", NotFound, {"byname:255.255.255.255"}},
        HostCase{"Ipv6Literal", "::1", false, "::1", std::nullopt, {}},
        HostCase{"Ipv6LiteralLongForm", "2001:DB8:0:0:0:0:0:1", false, "2001:db8::1", std::nullopt, {}},
        HostCase{"Ipv6LiteralWithZone", "fe80::1%lo", false, "fe80::1%lo", std::nullopt, {}},
        HostCase{"Ipv6ReverseFound", "::1", true, "ip6-localhost [::1]", std::nullopt, {"byaddr:::1"}},
        HostCase{"Ipv6ReverseMissing", "::2", true, "::2", std::nullopt, {"byaddr:::2"}},
        HostCase{"NameWithBothFamilies",
                 "dual.example",
                 false,
                 "dual.example [127.0.0.7]",
                 std::nullopt,
                 {"byname:dual.example"}},
        HostCase{"NameWithIpv6Only",
                 "six.example",
                 false,
                 "six-1.hosts.example [2001:db8::6]",
                 std::nullopt,
                 {"byname:six.example"}},
        HostCase{"Ipv6NotALiteral", "1::2::3", false, "N/A", NotFound, {"byname:1::2::3"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunControlTest, NumericFormsNeedNoNameServiceWithTheRealResolver) {
    settings.host = "0x7f.1";
    make(std::make_shared<PosixHostResolver>());
    start();
    EXPECT_EQ(label(Label::Host), "127.0.0.1");
    EXPECT_TRUE(control->isRunning());
    ASSERT_TRUE(lastStart.has_value());
    EXPECT_EQ(lastStart->targetAddress, ScriptedHostResolver::address("127.0.0.1"));
}

TEST_F(RunControlTest, EmptyHostReportsThenOpensTheOptions) {
    settings.host.clear();
    make();
    messages.onShow = [&] {
        // The box comes before Start is given back and before the dialog opens.
        EXPECT_EQ(caption(), "Wait...");
        EXPECT_FALSE(ping.isEnabled());
        EXPECT_EQ(optionsOpened, 0);
    };
    control->toggleRun();
    EXPECT_EQ(messages.errors(), std::vector<ShownError>{NoHost});
    EXPECT_EQ(optionsOpened, 1);
    EXPECT_TRUE(resolver->calls().empty());
    EXPECT_EQ(caption(), "Start");
    EXPECT_TRUE(ping.isEnabled());
    EXPECT_EQ(label(Label::Host), "N/A");
    EXPECT_FALSE(control && control->isRunning());
}

struct BufferCase {
    std::int32_t buffer;
    std::int32_t expected;
};

class RunControlBuffer : public RunControlTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(RunControlBuffer, LargeBufferIsLoweredToTheLargestDatagram) {
    const BufferCase& c = GetParam();
    settings.buffer = c.buffer;
    make();
    start();
    EXPECT_EQ(settings.buffer, c.expected);
    ASSERT_TRUE(lastStart.has_value());
    EXPECT_EQ(lastStart->payloadSize, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RunControlBuffer,
                         ::testing::Values(BufferCase{100000, 65507}, BufferCase{65508, 65507},
                                           BufferCase{65507, 65507}, BufferCase{32, 32}, BufferCase{0, 0}));

TEST_F(RunControlTest, LoweredBufferStaysForTheNextStart) {
    settings.buffer = 100000;
    make();
    start();
    control->stopRun();
    answer(RunEnd::Stopped);
    start();
    EXPECT_EQ(settings.buffer, 65507);
}

TEST_F(RunControlTest, WalksThroughTheRunStates) {
    struct Expect {
        const char* state;
        const char* caption;
        bool pingEnabled;
        bool resetEnabled;
        bool running;
    };
    const auto check = [&](const Expect& e) {
        SCOPED_TRACE(e.state);
        EXPECT_EQ(caption(), e.caption);
        EXPECT_EQ(ping.isEnabled(), e.pingEnabled);
        EXPECT_EQ(reset.isEnabled(), e.resetEnabled);
        EXPECT_EQ(control->isRunning(), e.running);
    };
    settings.host = "db.example";
    resolver->addName("db.example", {"db.example", {ScriptedHostResolver::address("127.0.0.7")}});
    resolver->hold();
    make();
    check({"Idle", "&Start", true, false, false});

    control->toggleRun();
    ASSERT_TRUE(resolver->waitForLookups(1, std::chrono::seconds(5)));
    check({"Starting", "Wait...", false, false, false});
    EXPECT_TRUE(control->lookupPending());

    // The window keeps working while the name service takes its time.
    bool timerRan = false;
    QTimer::singleShot(1, [&] { timerRan = true; });
    EXPECT_TRUE(waitFor([&] { return timerRan; }));
    check({"Starting", "Wait...", false, false, false});

    resolver->release();
    ASSERT_TRUE(waitFor([&] { return control->isRunning(); }));
    check({"Active", "Stop", true, true, true});
    EXPECT_FALSE(control->lookupPending());

    control->resetStatistics();
    check({"Active", "Stop", true, true, true});

    control->toggleRun();
    check({"Stopping", "Wait...", false, false, true});

    window.clear();
    answer(RunEnd::Stopped);
    check({"Idle", "Start", true, false, false});
    EXPECT_EQ(window.icons(), std::vector<HostStatus>{HostStatus::NA});
    EXPECT_EQ(window.count(WindowEvent::Kind::Log), 0u); // the return to N/A is not logged
    EXPECT_TRUE(messages.errors().empty());
    EXPECT_EQ(posted, (std::vector<std::string>{"start", "reset", "stop"}));
}

TEST_F(RunControlTest, ChannelFailureReturnsToIdleWithItsBox) {
    make();
    start();
    messages.onShow = [&] {
        EXPECT_FALSE(control->isRunning());
        EXPECT_EQ(caption(), "Start");
        EXPECT_FALSE(reset.isEnabled());
    };
    answer(RunEnd::ChannelFailed);
    EXPECT_EQ(messages.errors(), std::vector<ShownError>{NoChannel});
}

TEST_F(RunControlTest, StartCarriesACopyOfWhatTheRunReads) {
    settings.host = "0x7f.9";
    settings.interval = 7000;
    settings.buffer = 1200;
    settings.analysisMode = AnalysisMode::Time;
    settings.tries = 9;
    settings.minPercent = 11;
    settings.maxPercent = 22;
    settings.minTime = 33;
    settings.maxTime = 44;
    settings.logLevel = LogLevel::EveryRequest;
    settings.startSound = "/s/up.wav";
    settings.stopSound = "/s/down.wav";
    settings.appFileName = "/bin/alert";
    settings.appMode = 3;
    settings.appParams = "%status%";
    make();
    start();
    RunSettings expected;
    expected.targetAddress = ScriptedHostResolver::address("127.0.0.9");
    expected.payloadSize = 1200;
    expected.intervalMs = 7000;
    expected.analysisMode = AnalysisMode::Time;
    expected.tries = 9;
    expected.minPercent = 11;
    expected.maxPercent = 22;
    expected.minTime = 33;
    expected.maxTime = 44;
    expected.logLevel = LogLevel::EveryRequest;
    expected.alerts = {"0x7f.9", "/s/up.wav", "/s/down.wav", "/bin/alert", 3, "%status%"};
    ASSERT_TRUE(lastStart.has_value());
    EXPECT_EQ(*lastStart, expected);
}

TEST_F(RunControlTest, AbandonedLookupIsIgnoredSafely) {
    settings.host = "slow.example";
    resolver->addName("slow.example", {"slow.example", {ScriptedHostResolver::address("127.0.0.5")}});
    resolver->hold();
    make();
    control->toggleRun();
    ASSERT_TRUE(resolver->waitForLookups(1, std::chrono::seconds(5)));
    control.reset(); // the program goes away while the DNS server hangs
    supervisor.reset();
    resolver->release();
    spin(std::chrono::milliseconds(100));
    EXPECT_TRUE(posted.empty());
    EXPECT_TRUE(messages.errors().empty());
    EXPECT_FALSE(control && control->isRunning());
}

} // namespace
