// The real program started in tray mode (/tray, or --autostart as the desktop session does) under a real X
// server, once with a notification area (trayer) and once without one: where the window ends up, that the
// run starts, the way out through the tray menu, and which start saves its settings.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/EndToEndFixture.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Point {
    int x = 0;
    int y = 0;
};

class TrayEndToEnd : public EndToEndFixture {
protected:
    void SetUp() override {
        EndToEndFixture::SetUp();
        if (HasFatalFailure())
            return;
        if (!canProbe())
            GTEST_SKIP() << "no ICMP socket here (needs root, CAP_NET_RAW or net.ipv4.ping_group_range)";
        xdotool_ = which("xdotool");
        if (xdotool_.empty() || which("xwininfo").empty())
            GTEST_SKIP() << "xdotool or xwininfo is not installed";
        if (!startDisplay())
            GTEST_SKIP() << "Xvfb is not available";
        log_ = dir_ / "x.log";
    }

    // The tray start that both cases make, logging every request.
    std::unique_ptr<LaunchedProgram> launchInTray() {
        return launch({"/tray", "/logl=2", "/logf=" + log_.string(), "/i=1", "127.0.0.1"});
    }

    [[nodiscard]] std::size_t records() const { return splitLines(readFile(log_)).size() - (fs::exists(log_) ? 1 : 0); }

    std::vector<std::string> search(const std::vector<std::string>& terms) {
        std::vector<std::string> argv{xdotool_, "search"};
        argv.insert(argv.end(), terms.begin(), terms.end());
        std::istringstream lines(outputOf(argv));
        std::vector<std::string> ids;
        for (std::string id; std::getline(lines, id);)
            if (!id.empty())
                ids.push_back(id);
        return ids;
    }

    bool mainWindowExists() { return !search({"--name", "^Ostrevo ver"}).empty(); }
    bool mainWindowVisible() { return !search({"--onlyvisible", "--name", "^Ostrevo ver"}).empty(); }
    // The window, the embedded icon and, while it is open, the tray menu.
    std::size_t visibleWindows() { return search({"--onlyvisible", "--class", "^ostrevo$"}).size(); }

    bool xdotool(std::vector<std::string> args) {
        args.insert(args.begin(), xdotool_);
        LaunchedProgram tool(args, environment(true));
        return tool.waitExit(20s) == 0;
    }

    fs::path log_;
    std::string xdotool_;
};

// trayer's panel: the notification area that the icon is embedded in.
class WithTrayer : public TrayEndToEnd {
protected:
    void SetUp() override {
        TrayEndToEnd::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        const std::string trayer = which("trayer");
        if (trayer.empty())
            GTEST_SKIP() << "trayer is not installed";
        trayer_ = std::make_unique<LaunchedProgram>(std::vector<std::string>{trayer, "--edge", "bottom", "--align",
                                                                             "right", "--widthtype", "pixel", "--width",
                                                                             "60", "--height", "24"},
                                                    environment(true));
        ASSERT_TRUE(xdotool({"search", "--sync", "--classname", "^panel$"})) << "trayer shows no panel";
    }
    void TearDown() override {
        trayer_.reset();
        TrayEndToEnd::TearDown();
    }

    // The centre of the program's icon on screen, once trayer has embedded it.
    std::optional<Point> embeddedIcon() {
        static const std::regex icon(R"(\("ostrevo" "Ostrevo"\)\s+(\d+)x(\d+)[+-]+\d+[+-]+\d+\s+\+(-?\d+)\+(-?\d+))");
        for (const std::string& panel : search({"--classname", "^panel$"})) {
            const std::string tree = outputOf({which("xwininfo"), "-tree", "-id", panel});
            std::smatch m;
            if (std::regex_search(tree, m, icon))
                return Point{std::stoi(m[3]) + std::stoi(m[1]) / 2, std::stoi(m[4]) + std::stoi(m[2]) / 2};
        }
        return std::nullopt;
    }

    bool clickAt(Point at, const std::string& button, int times) {
        return xdotool({"mousemove", std::to_string(at.x), std::to_string(at.y), "click", "--repeat",
                        std::to_string(times), "--delay", "80", button});
    }

    std::unique_ptr<LaunchedProgram> trayer_;
};

TEST_F(WithTrayer, StartsHiddenInTheTrayAndExitsFromItsMenu) {
    auto app = launchInTray();
    std::optional<Point> icon;
    ASSERT_TRUE(waitUntil([&] { return (icon = embeddedIcon()).has_value(); }, 30s))
        << "the icon never reached the notification area\n"
        << programOutput();
    ASSERT_TRUE(waitUntil([&] { return records() >= 2; }, 30s)) << "no run\n" << readFile(log_) << programOutput();

    // Start-up shows the window and hides it again at once; by now the loop has run for a while.
    EXPECT_TRUE(waitUntil([&] { return !mainWindowVisible(); }, 10s)) << "the window stays on screen";
    EXPECT_TRUE(mainWindowExists());

    ASSERT_TRUE(clickAt(*icon, "1", 2));
    EXPECT_TRUE(waitForWindow("^Ostrevo ver")) << "a double-click on the icon shows the window";

    const std::size_t seen = records();
    EXPECT_TRUE(waitUntil([&] { return records() > seen; }, 20s)) << "the run goes on with the window shown";

    const std::size_t shown = visibleWindows();
    ASSERT_TRUE(clickAt(*icon, "3", 1));
    ASSERT_TRUE(waitUntil([&] { return visibleWindows() > shown; }, 20s)) << "a right-click on the icon opens no menu";
    ASSERT_TRUE(xdotool({"key", "x"})); // E&xit, during the run
    EXPECT_EQ(app->waitExit(15s), 0) << programOutput();
    EXPECT_FALSE(fs::exists(settingsFile())) << "a start with arguments saves nothing";
}

// The desktop session's start: the stored settings, the tray and a run, and unlike any other argument the
// settings are saved at exit.
TEST_F(WithTrayer, AutostartRunsInTheTrayAndSavesTheSettings) {
    fs::create_directories(settingsFile().parent_path());
    std::ofstream(settingsFile()) << "[General]\nHost=127.0.0.1\nInterval=1\nLogLevel=2\nLogFileName=" << log_.string()
                                  << "\n";
    auto app = launch({"--autostart"});
    ASSERT_TRUE(waitUntil([&] { return embeddedIcon().has_value(); }, 30s)) << "no tray icon\n" << programOutput();
    ASSERT_TRUE(waitUntil([&] { return records() >= 2; }, 30s)) << "no run\n" << readFile(log_) << programOutput();
    EXPECT_TRUE(waitUntil([&] { return !mainWindowVisible(); }, 10s)) << "the window stays on screen";
    EXPECT_TRUE(mainWindowExists());

    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(15s), 0) << programOutput();
    const std::string saved = readFile(settingsFile());
    // Keys the hand-written file lacked: written only by a save.
    EXPECT_NE(saved.find("Notify=Yes"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Host=127.0.0.1"), std::string::npos) << saved;
}

// Without a notification area, hiding the window would leave no way back to it.
using WithoutNotificationArea = TrayEndToEnd;

TEST_F(WithoutNotificationArea, WindowStaysAndTheRunStarts) {
    auto app = launchInTray();
    ASSERT_TRUE(waitForWindow("^Ostrevo ver")) << programOutput();
    ASSERT_TRUE(waitUntil([&] { return records() >= 2; }, 30s)) << "no run\n" << readFile(log_) << programOutput();
    EXPECT_TRUE(mainWindowVisible());
    EXPECT_TRUE(search({"--onlyvisible", "--name", "^Tray - Error$"}).empty()) << "a tray start needs no one to answer";

    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(15s), 0) << programOutput();
    EXPECT_FALSE(fs::exists(settingsFile()));
}

} // namespace
