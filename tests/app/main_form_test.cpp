#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include <QAction>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>

#include "app/ConfigDlg.h"
#include "app/MainForm.h"
#include "app/RunControl.h"
#include "app/StatusIcons.h"
#include "app/TrayController.h"
#include "engine/IcmpEchoChannel.h"
#include "support/RecordingMessagePort.h"
#include "support/ScriptedEchoChannel.h"
#include "support/ScriptedHostResolver.h"
#include "tests/app/AppTestSupport.h"

namespace {

// The window's controls by their names, as the layout gives them.
struct Controls {
    explicit Controls(QWidget& w)
        : Host_L(find<QLabel>(w, "Host_L")), Status_L(find<QLabel>(w, "Status_L")), Total_L(find<QLabel>(w, "Total_L")),
          Lost_L(find<QLabel>(w, "Lost_L")), Min_L(find<QLabel>(w, "Min_L")), Max_L(find<QLabel>(w, "Max_L")),
          Avg_L(find<QLabel>(w, "Avg_L")), Start_But(find<QPushButton>(w, "Start_But")),
          Reset_But(find<QPushButton>(w, "Reset_But")), Config_But(find<QPushButton>(w, "Config_But")),
          Tray_But(find<QPushButton>(w, "Tray_But")) {}
    template <class W> static W* find(QWidget& w, const char* name) {
        W* found = w.findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QLabel *Host_L, *Status_L, *Total_L, *Lost_L, *Min_L, *Max_L, *Avg_L;
    QPushButton *Start_But, *Reset_But, *Config_But, *Tray_But;
};

std::string SettingsFile() {
    return TestConfigHome() + "/Quorvan Corporation/Ostrevo.conf";
}

// Icons are rendered anew on every call, so they are compared by their pixels.
QImage WindowIcon(const QWidget& window) {
    return window.windowIcon().pixmap(32, 32).toImage();
}

QImage LargeIcon(HostStatus status) {
    return StatusIcons::large(status).pixmap(32, 32).toImage();
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class MainFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        std::filesystem::remove(SettingsFile());
    }

    // A window on a scripted channel and resolver; `channel` null means the real ICMP socket.
    TMain_Form& make(std::vector<std::string> args, std::unique_ptr<EchoChannel> channel = nullptr) {
        TMain_Form::Services services;
        services.arguments = std::move(args);
        services.resolver = resolver;
        if (channel)
            services.channel = std::move(channel);
        else
            services.channel = std::make_unique<ScriptedEchoChannel>();
        auto recorder = std::make_unique<RecordingMessagePort>();
        messages = recorder.get();
        services.messages = std::move(recorder);
        services.runOptionsDialog = [this](TConfig_Dlg&) {
            ++dialogsShown;
            return int(QDialog::Rejected);
        };
        services.watchSignals = false;
        form = std::make_unique<TMain_Form>(std::move(services));
        return *form;
    }

    ScriptedEchoChannel& scripted() { return *scriptedChannel; }

    TMain_Form& makeScripted(std::vector<std::string> args) {
        auto channel = std::make_unique<ScriptedEchoChannel>();
        scriptedChannel = channel.get();
        return make(std::move(args), std::move(channel));
    }

    [[nodiscard]] QString text(QLabel* label) const { return label->text(); }

    std::shared_ptr<ScriptedHostResolver> resolver = std::make_shared<ScriptedHostResolver>();
    RecordingMessagePort* messages = nullptr;
    ScriptedEchoChannel* scriptedChannel = nullptr;
    int dialogsShown = 0;
    std::unique_ptr<TMain_Form> form;
};

TEST_F(MainFormTest, StartsIdleWithVersionCaptionAndTheGivenHost) {
    TMain_Form& f = makeScripted({"/i=1", "127.0.0.1"});
    Controls c(f);
    auto* ui = &c;
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Ostrevo ver.2.2.2.58"));
    EXPECT_EQ(QCoreApplication::applicationName(), QStringLiteral("Ostrevo"));
    EXPECT_EQ(ui->Host_L->text(), QStringLiteral("127.0.0.1"));
    for (QLabel* l : {ui->Status_L, ui->Lost_L, ui->Min_L, ui->Max_L, ui->Avg_L})
        EXPECT_EQ(l->text(), QStringLiteral("N/A")) << l->objectName().toStdString();
    EXPECT_EQ(ui->Total_L->text(), QStringLiteral("0"));
    EXPECT_EQ(ui->Start_But->text(), QStringLiteral("&Start"));
    EXPECT_TRUE(ui->Start_But->isEnabled());
    EXPECT_FALSE(ui->Reset_But->isEnabled());
    EXPECT_TRUE(f.optionsAction()->isEnabled());
    EXPECT_EQ(f.settings().Interval, 1000);
    EXPECT_FALSE(f.state().Running);
    EXPECT_EQ(f.size(), QSize(385, 150));
    EXPECT_TRUE(QFontInfo(ui->Start_But->font()).bold());
}

// A host is text, whatever it looks like: markup in it must not turn the field into rich text.
TEST_F(MainFormTest, ValueFieldsShowTheirTextLiterally) {
    const QString host = QStringLiteral("<u>x&lt;</u>");
    TMain_Form& f = makeScripted({host.toStdString()});
    Controls c(f);
    EXPECT_EQ(f.settings().Host, host.toStdString());
    for (QLabel* l : {c.Host_L, c.Status_L, c.Total_L, c.Lost_L, c.Min_L, c.Max_L, c.Avg_L}) {
        l->setText(host);
        QLabel literal;
        literal.setStyle(l->style());
        literal.setFont(l->font());
        literal.setFrameStyle(l->frameStyle());
        literal.setIndent(l->indent());
        literal.setAlignment(l->alignment());
        literal.setTextFormat(Qt::PlainText);
        literal.setText(host);
        EXPECT_EQ(l->sizeHint(), literal.sizeHint()) << l->objectName().toStdString();
    }
}

TEST_F(MainFormTest, ScriptedRunFillsTheFieldsAndLocksTheOptions) {
    TMain_Form& f = makeScripted({"/i=1", "127.0.0.1"});
    Controls c(f);
    auto* ui = &c;
    scripted().push({EchoOutcome::good(3), EchoOutcome::failure(11010), EchoOutcome::good(5)});
    ui->Start_But->click();
    ASSERT_TRUE(f.state().Running);
    EXPECT_EQ(ui->Start_But->text(), QStringLiteral("Stop"));
    EXPECT_TRUE(ui->Reset_But->isEnabled());
    EXPECT_FALSE(f.optionsAction()->isEnabled());
    EXPECT_FALSE(ui->Config_But->isEnabled());

    // Options cannot be opened during a run, whatever asks for it.
    f.optionsAction()->trigger();
    f.Options_ActionExecute();
    EXPECT_EQ(dialogsShown, 0);

    ASSERT_TRUE(WaitFor([&] { return ui->Total_L->text() == QStringLiteral("3"); }));
    EXPECT_EQ(ui->Status_L->text(), QStringLiteral("Replay from 127.0.0.1: bytes=32 time=5ms TTL=64"));
    EXPECT_EQ(ui->Lost_L->text(), QStringLiteral("1 (33%)"));
    EXPECT_EQ(ui->Min_L->text(), QStringLiteral("3ms"));
    EXPECT_EQ(ui->Max_L->text(), QStringLiteral("5ms"));
    EXPECT_EQ(ui->Avg_L->text(), QStringLiteral("4ms"));

    scripted().setFallback(EchoOutcome::good(1));
    ui->Start_But->click(); // Stop
    EXPECT_EQ(ui->Start_But->text(), QStringLiteral("Wait..."));
    EXPECT_FALSE(ui->Start_But->isEnabled());
    EXPECT_FALSE(ui->Reset_But->isEnabled());
    EXPECT_FALSE(f.optionsAction()->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return !f.state().Running; }));
    EXPECT_EQ(ui->Start_But->text(), QStringLiteral("Start"));
    EXPECT_TRUE(ui->Start_But->isEnabled());
    EXPECT_TRUE(f.optionsAction()->isEnabled());
    EXPECT_EQ(f.state().CurrentStatus, HostStatus::NA);
    EXPECT_TRUE(messages->errors().empty());
}

TEST_F(MainFormTest, WindowIconFollowsTheStatusWhileTheTrayIconStaysOut) {
    // Two tries: two good replies make Good, a failure after them Average, a second failure Bad.
    TMain_Form& f = makeScripted({"/i=1", "/tries=2", "127.0.0.1"});
    EXPECT_EQ(WindowIcon(f), LargeIcon(HostStatus::NA));
    Controls(f).Start_But->click();
    ASSERT_TRUE(f.state().Running);
    const std::pair<EchoOutcome, HostStatus> steps[] = {{EchoOutcome::good(2), HostStatus::NA},
                                                        {EchoOutcome::good(2), HostStatus::Good},
                                                        {EchoOutcome::failure(), HostStatus::Average},
                                                        {EchoOutcome::failure(), HostStatus::Bad}};
    int cycles = 0;
    for (const auto& [outcome, status] : steps) {
        SCOPED_TRACE(status);
        scripted().push(outcome);
        // The next request waiting means this cycle has handed everything to the window.
        ASSERT_TRUE(scripted().waitUntilStarved(std::chrono::seconds(10)));
        const QString total = QString::number(++cycles);
        EXPECT_TRUE(
            WaitFor([&] { return Controls(f).Total_L->text() == total && WindowIcon(f) == LargeIcon(status); }));
        EXPECT_EQ(f.state().CurrentStatus, status);
        // No notification area here: the icon never comes up, and no status change sneaks it in.
        EXPECT_FALSE(f.state().InTray);
        EXPECT_FALSE(f.tray().icon()->isVisible());
        EXPECT_TRUE(f.tray().icon()->icon().isNull());
    }

    scripted().setFallback(EchoOutcome::failure());
    Controls(f).Start_But->click(); // Stop
    ASSERT_TRUE(WaitFor([&] { return !f.state().Running; }));
    EXPECT_EQ(WindowIcon(f), LargeIcon(HostStatus::NA)) << "dark again once the run has ended";
    EXPECT_FALSE(f.tray().icon()->isVisible());
}

TEST_F(MainFormTest, FailedChannelReturnsToIdleWithItsBox) {
    TMain_Form& f = makeScripted({"127.0.0.1"});
    scripted().failOpens(1);
    Controls(f).Start_But->click();
    ASSERT_TRUE(WaitFor([&] { return !messages->errors().empty(); }));
    EXPECT_EQ(messages->errors().front(), (ShownError{"Can't open Ping Chanel.", "Start - Error"}));
    EXPECT_FALSE(f.state().Running);
    EXPECT_FALSE(Controls(f).Reset_But->isEnabled());
    EXPECT_EQ(Controls(f).Start_But->text(), QStringLiteral("Start"));
    EXPECT_TRUE(f.optionsAction()->isEnabled());
}

TEST_F(MainFormTest, StartRequestWithoutHostReportsAndOpensOptions) {
    TMain_Form& f = makeScripted({"/start"});
    f.settings().Host.clear(); // whatever a previous run stored
    ASSERT_TRUE(WaitFor([&] { return dialogsShown == 1; }));
    ASSERT_EQ(messages->errors().size(), 1u);
    EXPECT_EQ(messages->errors().front(), (ShownError{"Enter a HostName or an IP Adress.", "Options - Error"}));
    EXPECT_FALSE(f.state().Running);
}

TEST_F(MainFormTest, StartRequestStartsOnceTheLoopRuns) {
    TMain_Form& f = makeScripted({"/start", "/i=1", "127.0.0.1"});
    scripted().setFallback(EchoOutcome::good(2));
    EXPECT_FALSE(f.state().Running); // carried out by the event loop, after the window is up
    ASSERT_TRUE(WaitFor([&] { return f.state().Running && scripted().sends() >= 1; }));
    EXPECT_EQ(Controls(f).Start_But->text(), QStringLiteral("Stop"));
}

TEST_F(MainFormTest, CloseDuringRunStopsTheRunFirst) {
    TMain_Form& f = makeScripted({"/i=1", "127.0.0.1"});
    scripted().setFallback(EchoOutcome::good(2));
    int closed = 0;
    QObject::connect(&f, &TMain_Form::closed, [&] { ++closed; });
    f.show();
    Controls(f).Start_But->click();
    ASSERT_TRUE(WaitFor([&] { return scripted().sends() >= 1; }));
    EXPECT_TRUE(f.close());
    EXPECT_FALSE(f.state().Running);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(scripted().closes(), 1u);
    EXPECT_FALSE(scripted().isOpen());
}

TEST_F(MainFormTest, DestroyDuringRunDoesNotHang) {
    TMain_Form& f = makeScripted({"/i=1", "127.0.0.1"});
    scripted().setFallback(EchoOutcome::good(2));
    Controls(f).Start_But->click();
    ASSERT_TRUE(WaitFor([&] { return scripted().sends() >= 2; }));
    form.reset(); // no close first: the worker is still probing and about to answer a window that is gone
    SUCCEED();
}

TEST_F(MainFormTest, SettingsAreSavedOnlyWithoutArguments) {
    makeScripted({"/b=64", "127.0.0.1"});
    form.reset();
    EXPECT_FALSE(std::filesystem::exists(SettingsFile()));

    // A start lowers an oversized buffer in the settings themselves, so the lowered size is what is saved.
    makeScripted({});
    scripted().setFallback(EchoOutcome::good(1));
    form->settings().Host = "127.0.0.9";
    form->settings().Buffer = 100000;
    Controls(*form).Start_But->click();
    ASSERT_TRUE(form->state().Running);
    form->close();
    form.reset();
    ASSERT_TRUE(std::filesystem::exists(SettingsFile()));
    const std::string saved = ReadFile(SettingsFile());
    EXPECT_NE(saved.find("Host=127.0.0.9"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Buffer=65507"), std::string::npos) << saved;

    makeScripted({"/start", "127.0.0.1"});
    form->settings().Host = "changed";
    form.reset();
    EXPECT_EQ(ReadFile(SettingsFile()), saved);
}

TEST_F(MainFormTest, RealRunAgainstLoopback) {
    {
        IcmpEchoChannel probe;
        if (!probe.open())
            GTEST_SKIP() << "no ICMP socket here (needs root, CAP_NET_RAW or net.ipv4.ping_group_range)";
        probe.close();
    }
    TMain_Form& f = make({"/i=1", "127.0.0.1"}, std::make_unique<IcmpEchoChannel>());
    Controls c(f);
    auto* ui = &c;
    ui->Start_But->click();
    ASSERT_TRUE(WaitFor([&] { return ui->Total_L->text() == QStringLiteral("2"); }));
    const QString line = ui->Status_L->text();
    EXPECT_TRUE(line == QStringLiteral("Replay from 127.0.0.1: bytes=32 time=0ms TTL=64") ||
                line == QStringLiteral("Replay from 127.0.0.1: bytes=32 time=1ms TTL=64"))
        << line.toStdString();
    EXPECT_EQ(ui->Lost_L->text(), QStringLiteral("0 (0%)"));
    EXPECT_EQ(ui->Host_L->text(), QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(ui->Config_But->isEnabled());
    EXPECT_TRUE(f.close());
    EXPECT_TRUE(ui->Config_But->isEnabled());
    EXPECT_TRUE(messages->errors().empty());
}

} // namespace
