#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "alerts/AlertActions.h"
#include "alerts/ProcessLauncher.h"
#include "support/RecordingSoundPlayer.h"
#include "support/TempDir.h"

namespace {

using Args = std::vector<std::string>;

TEST(splitParameters, QuotingRules) {
    const std::pair<std::string, Args> cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"a b", {"a", "b"}},
        {"  a \t  b  ", {"a", "b"}},
        {"\"a b\"", {"a b"}},
        {"\"\"", {""}},
        {"\"\" \"\"", {"", ""}},
        {"\"a\"\"b\"", {"a\"b"}},
        {"\"\"\"\"", {"\""}},
        {"abc\"d e\"f", {"abcd ef"}},
        {"x \"open to the end", {"x", "open to the end"}},
        {"host \"Reply from 1.2.3.4\" Good 3", {"host", "Reply from 1.2.3.4", "Good", "3"}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(splitParameters(text), expected) << text;
}

const std::string kHostile[] = {
    "",
    "a;b",
    "$(touch pwned)",
    "`touch pwned`",
    "x | cat > pwned",
    "\"quoted\" and 'single'",
    "  two  blanks  ",
    "\"",
    "tab\there & $HOME %address%",
};

TEST(splitParameters, UndoesAlertQuoting) {
    for (const std::string& text : kHostile)
        EXPECT_EQ(splitParameters(AlertActions::quote(text)), Args{text}) << text;
}

// A script that reports what it was started with: arguments, directory and the event's environment.
const char* kScript = R"SH(#!/bin/sh
d=$(dirname "$0")
printf '%s\0' "$#" "$@" "$(pwd)" "$OSTREVO_ADDRESS" "$OSTREVO_RESPONSE" "$OSTREVO_STATUS" "$OSTREVO_CODE" \
    "$OSTREVO_ERROR" "$OSTREVO_ERRCODE" "$OSTREVO_EDGE" > "$d/got.tmp"
mv "$d/got.tmp" "$d/got"
)SH";

void writeScript(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

std::optional<Args> waitForReport(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(path)) {
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    Args fields;
    std::string field;
    while (std::getline(content, field, '\0'))
        fields.push_back(field);
    return fields;
}

class RealLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(dir.file("bin"));
        script = dir.file("bin/report.sh");
        writeScript(script, kScript, 0755);
        settings.host = "router.lan";
        settings.appFileName = script;
        settings.appParams = "%address% %responce% %status% %code% %error% %errcode%";
    }

    // Raises the alert on a thread of its own, as the worker does: no Qt event loop, no application object.
    std::optional<Args> raise(AlertEdge edge, HostStatus status, const std::string& line, std::uint32_t code) {
        ProcessLauncher launcher;
        RecordingSoundPlayer sound;
        AlertActions actions(sound, launcher);
        std::thread worker([&] { actions.runAlertApp(settings, edge, status, line, code); });
        worker.join();
        return waitForReport(dir.file("bin/got"));
    }

    TempDir dir;
    std::string script;
    AlertSettings settings;
};

TEST_F(RealLaunch, HostileTextsArriveAsData) {
    for (const std::string& line : kHostile) {
        std::filesystem::remove(dir.file("bin/got"));
        const auto got = raise(AlertEdge::StopResponding, HostStatus::Bad, line, 11003);
        ASSERT_TRUE(got) << "the script did not report for: " << line;
        // The same six facts as arguments and, after the directory, unquoted in the environment.
        const Args facts = {"router.lan", line, "Bad", "1", "Destination Host Unreachable", "11003"};
        Args expected = {"6"};
        expected.insert(expected.end(), facts.begin(), facts.end());
        expected.push_back(std::filesystem::canonical(dir.file("bin")).string());
        expected.insert(expected.end(), facts.begin(), facts.end());
        expected.push_back("stop");
        EXPECT_EQ(*got, expected) << line;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("bin/pwned")));
    EXPECT_FALSE(std::filesystem::exists("pwned"));
}

TEST_F(RealLaunch, StartRespondingEdge) {
    const auto got = raise(AlertEdge::StartResponding, HostStatus::Good, "Reply from 127.0.0.1: time<1ms", 0);
    ASSERT_TRUE(got);
    const Args args(got->begin(), got->begin() + 7);
    EXPECT_EQ(args, (Args{"6", "router.lan", "Reply from 127.0.0.1: time<1ms", "Good", "3", "Success", "0"}));
    EXPECT_EQ(got->back(), "start");
}

TEST_F(RealLaunch, RelativeProgramPathWithItsDirectory) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    settings.appFileName = "./bin/report.sh";
    settings.appParams = "";
    const auto got = raise(AlertEdge::StartResponding, HostStatus::Good, "x", 0);
    std::filesystem::current_path(previous);
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)[0], "0");
    EXPECT_EQ((*got)[1], std::filesystem::canonical(dir.file("bin")).string());
}

TEST(ProcessLauncherTest, WhatCannotStartReturnsAtOnce) {
    TempDir dir;
    const std::string document = dir.file("notes.txt");
    writeScript(document, "not a program", 0644);
    const std::string script = dir.file("ok.sh");
    writeScript(script, "#!/bin/sh\n", 0755);

    ProcessLauncher launcher;
    EXPECT_FALSE(launcher.tryLaunch({dir.file("missing"), "", "", 1, {}}));
    EXPECT_FALSE(launcher.tryLaunch({"ostrevo-no-such-program-anywhere", "", "", 1, {}}));
    EXPECT_FALSE(launcher.tryLaunch({script, "", dir.file("no-such-dir"), 1, {}}));
    EXPECT_FALSE(launcher.tryLaunch({document, "", "", 1, {}})) << "a document needs the desktop's opener";

    std::vector<std::string> opened;
    launcher.openDocument = [&](const std::string& path) {
        opened.push_back(path);
        return true;
    };
    EXPECT_TRUE(launcher.tryLaunch({document, "ignored", dir.path(), 3, {}}));
    EXPECT_TRUE(launcher.tryLaunch({dir.path(), "", "", 1, {}})) << "a directory opens like a document";
    EXPECT_EQ(opened, (std::vector<std::string>{document, dir.path()}));
}

TEST(ProcessLauncherTest, BareNameFoundOnPath) {
    const std::filesystem::path sh = ProcessLauncher::resolve("sh");
    EXPECT_TRUE(sh.is_absolute()) << sh;
    EXPECT_EQ(sh.filename(), "sh");
    EXPECT_EQ(::access(sh.c_str(), X_OK), 0);
    EXPECT_EQ(ProcessLauncher::resolve("ostrevo-no-such-program-anywhere"), "");
    EXPECT_EQ(ProcessLauncher::resolve(""), "");
}

} // namespace
