// The real program's start-up with odd command lines and an odd settings file: long options are answered
// before anything else, Qt's own arguments count as arguments, and a settings path that is no regular file
// cannot hold start-up.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/EndToEndFixture.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class CommandLineEndToEnd : public EndToEndFixture {
protected:
    void SetUp() override {
        // The ThreadSanitizer build leaves the Qt program out (OSTREVO_BUILD_APP=OFF).
        const char* binDir = std::getenv("OSTREVO_BINARY_DIR");
        if (binDir && !fs::exists(fs::path(binDir) / "app"))
            GTEST_SKIP() << "the program is not part of this build";
        EndToEndFixture::SetUp();
    }
};

TEST_F(CommandLineEndToEnd, LongOptionsAnswerAtOnceAndUnknownOnesAreRefused) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string printed; // expected somewhere in the output
    };
    const Case cases[] = {
        {{"--version"}, 0, "Ostrevo 2.2.2.58\n"},
        {{"router.lan", "--help"}, 0, "Usage: ostrevo"},
        {{"--bogus", "router.lan"}, 2, "ostrevo: unknown option --bogus\nUsage: ostrevo"},
        {{"--help=please"}, 2, "ostrevo: option --help takes no value\nUsage: ostrevo"},
    };
    for (const Case& c : cases) {
        // No display: these must not need one.
        LaunchedProgram app(
            [&] {
                std::vector<std::string> argv{program_.string()};
                argv.insert(argv.end(), c.args.begin(), c.args.end());
                return argv;
            }(),
            environment(false), -1, (dir_ / "output.txt").string());
        EXPECT_EQ(app.waitExit(20s), c.status) << c.args.front();
        EXPECT_NE(programOutput().find(c.printed), std::string::npos) << programOutput();
        EXPECT_FALSE(fs::exists(settingsFile()));
    }
}

TEST_F(CommandLineEndToEnd, QtsOwnArgumentsKeepTheSettingsUnsaved) {
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    auto app = launch({"-style", "fusion"});
    ASSERT_TRUE(waitForWindow("^Ostrevo ver")) << programOutput();
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(10s), 0) << programOutput();
    EXPECT_FALSE(fs::exists(settingsFile())) << "saved although started with arguments";
}

TEST_F(CommandLineEndToEnd, FifoAsSettingsFileDoesNotHoldStartUp) {
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    fs::create_directories(settingsFile().parent_path());
    ASSERT_EQ(mkfifo(settingsFile().c_str(), 0600), 0);
    auto app = launch({});
    ASSERT_TRUE(waitForWindow("^Ostrevo ver")) << "start-up blocked on the FIFO\n" << programOutput();
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(10s), 0) << programOutput();
    EXPECT_TRUE(fs::is_fifo(settingsFile()));
    const std::string path = settingsFile().string();
    EXPECT_NE(programOutput().find("ostrevo: " + path + " is not a regular file; settings are not read\n"),
              std::string::npos)
        << programOutput();
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// With an argument the settings file stays exactly as it was, its comment included, however the History
// window was sized; without one, the new size is saved with the other values.
TEST_F(CommandLineEndToEnd, HistoryWindowSizeIsSavedOnlyWithoutArguments) {
    const std::string xdotool = which("xdotool");
    if (xdotool.empty())
        GTEST_SKIP() << "xdotool is not installed";
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    const std::string stored = "; edited by hand\n[General]\nHost=127.0.0.9\nHistoryWindowSize=700x450\n";
    for (const bool withArgument : {true, false}) {
        SCOPED_TRACE(withArgument ? "with an argument" : "without arguments");
        fs::create_directories(settingsFile().parent_path());
        std::ofstream(settingsFile(), std::ios::binary | std::ios::trunc) << stored;
        auto app = launch(withArgument ? std::vector<std::string>{"127.0.0.1"} : std::vector<std::string>{});
        ASSERT_TRUE(waitForWindow("^Ostrevo ver")) << programOutput();
        // Ctrl+H in the main window opens the History window, which is then given another size.
        const std::string main = outputOf({xdotool, "search", "--onlyvisible", "--name", "^Ostrevo ver"});
        ASSERT_FALSE(main.empty());
        outputOf({xdotool, "windowfocus", "--sync", firstLine(main), "key", "ctrl+h"});
        const std::string history = outputOf({xdotool, "search", "--sync", "--onlyvisible", "--name", "^History - "});
        ASSERT_FALSE(history.empty()) << "Ctrl+H opened no History window\n" << programOutput();
        outputOf({xdotool, "windowsize", "--sync", firstLine(history), "640", "420"});
        app->signal(SIGTERM);
        EXPECT_EQ(app->waitExit(10s), 0) << programOutput();
        const std::string saved = readFile(settingsFile());
        if (withArgument)
            EXPECT_EQ(saved, stored);
        else
            EXPECT_NE(saved.find("\nHistoryWindowSize=640x420\n"), std::string::npos) << saved;
    }
}

} // namespace
