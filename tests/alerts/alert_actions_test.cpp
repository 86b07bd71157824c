#include <gtest/gtest.h>

#include "alerts/AlertActions.h"
#include "types/HostStatus.h"
#include "support/RecordingLauncher.h"
#include "support/RecordingSoundPlayer.h"

namespace {

struct ParamCase {
    const char* name;
    std::string params;
    std::string statusLine;
    HostStatus current;
    std::uint32_t replyStatus;
    std::string expected;
};

class AlertParams : public ::testing::TestWithParam<ParamCase> {};

TEST_P(AlertParams, FillsPlaceholders) {
    const ParamCase& c = GetParam();
    AlertSettings s;
    s.host = "router.lan";
    s.appFileName = "/usr/local/bin/alert";
    s.appParams = c.params;
    RecordingSoundPlayer sound;
    RecordingLauncher launcher;
    AlertActions actions(sound, launcher);

    actions.runAlertApp(s, AlertEdge::StopResponding, c.current, c.statusLine, c.replyStatus);

    ASSERT_EQ(launcher.launched().size(), 1u);
    EXPECT_EQ(launcher.launched()[0].params, c.expected);
}

const std::string kAll = "%address% %responce% %status% %code% %error% %errcode%";
const std::string kReply = "Reply from 127.0.0.1: bytes=32 time<1ms TTL=255";

INSTANTIATE_TEST_SUITE_P(
    Table, AlertParams,
    ::testing::Values(
        ParamCase{"GoodReply", kAll, kReply, HostStatus::Good, 0, "router.lan \"" + kReply + "\" Good 3 \"Success\" 0"},
        ParamCase{"ErrorReply", kAll, "Destination Host Unreachable", HostStatus::Bad, 11003,
                  "router.lan \"Destination Host Unreachable\" Bad 1 \"Destination Host Unreachable\" 11003"},
        ParamCase{"CodeOutsideTableIsUnsigned", "%error% %errcode%", "x", HostStatus::Bad, 0xFFFFFFFFu,
                  "\"Unknown\" 4294967295"},
        ParamCase{"NoStatusWord", "%status%=%code%", "x", HostStatus::NA, 0, "NA=0"},
        ParamCase{"OnlyFirstOccurrence", "%address% %address%", "x", HostStatus::Good, 0, "router.lan %address%"},
        ParamCase{"CaseMatters", "%ADDRESS% %Status% %code%", "x", HostStatus::Good, 0, "%ADDRESS% %Status% 3"},
        ParamCase{"OrderFollowsTheTableNotTheText", "%errcode% %code% %address%", "x", HostStatus::Good, 0,
                  "0 3 router.lan"},
        ParamCase{"LaterStepFillsPlaceholderBroughtIn", "%responce% %status%", "up %status% now", HostStatus::Good, 0,
                  "\"up Good now\" %status%"},
        ParamCase{"EarlierStepDoesNotSeeLaterText", "%responce%", "%address%", HostStatus::Good, 0, "\"%address%\""},
        ParamCase{"TypedComesFirst", "%code% %responce%", "%code%", HostStatus::Bad, 0, "1 \"%code%\""},
        ParamCase{"QuotesDoubled", "%responce%", "say \"hi\" \"", HostStatus::Good, 0, "\"say \"\"hi\"\" \"\"\""},
        ParamCase{"EmptyTextQuoted", "[%responce%]", "", HostStatus::Good, 0, "[\"\"]"},
        ParamCase{"NoPercentUnchanged", "-v \"address\"", "x", HostStatus::Good, 0, "-v \"address\""},
        ParamCase{"EmptyUnchanged", "", "x", HostStatus::Good, 0, ""},
        ParamCase{"LoneBrokenPlaceholder", "100% %address", "x", HostStatus::Good, 0, "100% %address"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AlertWorkingDirectory, DirectoryOfTheProgram) {
    const std::pair<std::string, std::string> cases[] = {
        {"/usr/local/bin/alert", "/usr/local/bin"},
        {"/alert", "/"},
        {"alert", ""},
        {"bin/alert", "bin"},
        {"./alert.sh", "."},
        {"/opt//alert", "/opt//"},
        {"", ""},
    };
    for (const auto& [file, dir] : cases)
        EXPECT_EQ(AlertActions::workingDirectoryOf(file), dir) << file;
}

// Sound and launcher in one, to see the order of the two actions.
class ActionLog : public SoundPlayer, public Launcher {
public:
    void play(const std::string& file) override { events.push_back("sound " + file); }
    void launch(const LaunchRequest& r) override { events.push_back("launch " + r.file); }
    std::vector<std::string> events;
};

TEST(AlertActionsTest, SoundOfTheEdgeThenApplication) {
    struct Case {
        std::string sndStart, sndStop, app;
        AlertEdge edge;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"up.wav", "down.wav", "/bin/alert", AlertEdge::StartResponding, {"sound up.wav", "launch /bin/alert"}},
        {"up.wav", "down.wav", "/bin/alert", AlertEdge::StopResponding, {"sound down.wav", "launch /bin/alert"}},
        {"up.wav", "down.wav", "", AlertEdge::StopResponding, {"sound down.wav"}},
        {"", "", "/bin/alert", AlertEdge::StartResponding, {"launch /bin/alert"}},
        {"up.wav", "", "", AlertEdge::StopResponding, {}},
    };
    for (const Case& c : cases) {
        AlertSettings s;
        s.startSound = c.sndStart;
        s.stopSound = c.sndStop;
        s.appFileName = c.app;
        ActionLog log;
        AlertActions actions(log, log);
        actions.raiseAlert(s, c.edge, HostStatus::Good, ProbeEvent{});
        EXPECT_EQ(log.events, c.expected) << c.sndStart << "|" << c.sndStop << "|" << c.app;
    }
}

class RecordingNotifier : public Notifier {
public:
    void notify(RunId, const std::string& host, HostStatus status, const std::string& text) override {
        shown.push_back(host + " " + std::string(statusWord(status)) + ": " + text);
    }
    std::vector<std::string> shown;
};

TEST(AlertActionsTest, DownAtStartOnlyNotifiesAndOnlyWhenAsked) {
    AlertSettings s;
    s.host = "router.lan";
    s.startSound = "up.wav";
    s.stopSound = "down.wav";
    s.appFileName = "/bin/alert";
    for (const bool notify : {true, false}) {
        s.notify = notify;
        ActionLog log;
        RecordingNotifier notifier;
        AlertActions actions(log, log, &notifier);
        ProbeEvent timedOut;
        timedOut.status = 11010;
        actions.reportDownAtStart(s, HostStatus::Bad, timedOut);
        EXPECT_TRUE(log.events.empty()) << "the sound and the program are for edges";
        EXPECT_EQ(notifier.shown,
                  notify ? std::vector<std::string>{"router.lan Bad: Request Timed Out"} : std::vector<std::string>{});
    }
    // Without a notifier there is nobody to tell, and nothing else happens either.
    ActionLog log;
    AlertActions actions(log, log);
    s.notify = true;
    actions.reportDownAtStart(s, HostStatus::Bad, ProbeEvent{});
    EXPECT_TRUE(log.events.empty());
}

TEST(AlertActionsTest, EdgesNotifyBesideTheSoundAndTheProgram) {
    AlertSettings s;
    s.host = "router.lan";
    s.stopSound = "down.wav";
    s.appFileName = "/bin/alert";
    ActionLog log;
    RecordingNotifier notifier;
    AlertActions actions(log, log, &notifier);
    ProbeEvent unreachable;
    unreachable.replier = "10.0.0.254";
    unreachable.status = 11003;
    actions.raiseAlert(s, AlertEdge::StopResponding, HostStatus::Bad, unreachable);
    EXPECT_EQ(log.events, (std::vector<std::string>{"sound down.wav", "launch /bin/alert"}));
    EXPECT_EQ(notifier.shown,
              std::vector<std::string>{"router.lan Bad: Replay from 10.0.0.254: Destination Host Unreachable"});
}

TEST(AlertActionsTest, RequestCarriesModeDirectoryAndEventEnvironment) {
    AlertSettings s;
    s.host = "10.0.0.1 ";
    s.appFileName = "/opt/alerts/notify";
    s.appParams = "plain";
    s.appMode = 7;
    RecordingSoundPlayer sound;
    RecordingLauncher launcher;
    AlertActions actions(sound, launcher);

    actions.runAlertApp(s, AlertEdge::StopResponding, HostStatus::Bad, "Request \"Timed\" Out", 11010);

    LaunchRequest expected;
    expected.file = "/opt/alerts/notify";
    expected.params = "plain";
    expected.workingDir = "/opt/alerts";
    expected.showCommand = 7;
    expected.environment = {
        {"OSTREVO_ADDRESS", "10.0.0.1 "},
        {"OSTREVO_RESPONSE", "Request \"Timed\" Out"},
        {"OSTREVO_STATUS", "Bad"},
        {"OSTREVO_CODE", "1"},
        {"OSTREVO_ERROR", "Request Timed Out"},
        {"OSTREVO_ERRCODE", "11010"},
        {"OSTREVO_EDGE", "stop"},
    };
    ASSERT_EQ(launcher.launched().size(), 1u);
    EXPECT_EQ(launcher.launched()[0], expected);
    EXPECT_TRUE(sound.played().empty());
}

TEST(AlertActionsTest, TheProbeGivesTheReplyLineAndTheErrorCode) {
    AlertSettings s;
    s.host = "gw";
    s.appFileName = "/bin/alert";
    s.appParams = "%responce% %errcode%";
    RecordingSoundPlayer sound;
    RecordingLauncher launcher;
    AlertActions actions(sound, launcher);
    ProbeEvent unreachable;
    unreachable.replier = "10.0.0.254";
    unreachable.status = 11003;
    actions.raiseAlert(s, AlertEdge::StopResponding, HostStatus::Bad, unreachable);
    ProbeEvent timedOut;
    timedOut.status = 11010;
    actions.raiseAlert(s, AlertEdge::StopResponding, HostStatus::Bad, timedOut);
    ASSERT_EQ(launcher.launched().size(), 2u);
    EXPECT_EQ(launcher.launched()[0].params, "\"Replay from 10.0.0.254: Destination Host Unreachable\" 11003");
    EXPECT_EQ(launcher.launched()[1].params, "\"Request Timed Out\" 11010");
}

} // namespace
