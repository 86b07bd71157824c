// The real program under a real X server: start-up from the command line, probing loopback, the log, and
// the end by SIGTERM/SIGINT with its settings rule.
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "engine/IcmpEchoChannel.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// A child process with its own environment; killed if the test leaves it behind.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, int extraFd = -1,
          const std::string& output = "/dev/null") {
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            ::dup2(out, 2);
            if (extraFd >= 0 && extraFd != 3) {
                ::dup2(extraFd, 3);
                ::close(extraFd);
            }
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            std::vector<char*> vars;
            for (const auto& e : env)
                vars.push_back(const_cast<char*>(e.c_str()));
            vars.push_back(nullptr);
            ::execve(args[0], args.data(), vars.data());
            ::_exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void signal(int number) const { ::kill(pid_, number); }

    // The exit status, or -1 when the process has not ended in time (a hang).
    int waitExit(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

std::string Which(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"})
        if (::access((std::string(dir) + "/" + name).c_str(), X_OK) == 0)
            return std::string(dir) + "/" + name;
    return {};
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        const char* binDir = std::getenv("OSTREVO_BINARY_DIR");
        ASSERT_NE(binDir, nullptr);
        program_ = fs::path(binDir) / "app" / "ostrevo";
        ASSERT_TRUE(fs::exists(program_)) << program_ << " is not built";
        // The path appears in /logf=..., which arrives lower-cased and must not contain an option tested
        // before /logf: digits only after a fixed lower-case prefix.
        for (int n = 0; dir_.empty() || !fs::create_directory(dir_); ++n)
            dir_ = "/tmp/ostrevo-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(n);
        for (const char* option : {"/b", "/i", "/a", "/tries", "/minp", "/maxp", "/mint", "/maxt", "/logl", "/loga"})
            ASSERT_EQ(dir_.string().find(option), std::string::npos) << dir_;
        fs::create_directories(dir_ / "home");
        fs::create_directories(dir_ / "config");
    }

    void TearDown() override {
        xserver_.reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Starts Xvfb on a display it picks itself; false when there is none to be had.
    bool startDisplay() {
        const std::string xvfb = Which("Xvfb");
        if (xvfb.empty())
            return false;
        int fds[2];
        if (::pipe(fds) != 0)
            return false;
        xserver_ = std::make_unique<Child>(
            std::vector<std::string>{xvfb, "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
            std::vector<std::string>{}, fds[1]);
        ::close(fds[1]);
        std::string number;
        char c = 0;
        while (::read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(fds[0]);
        display_ = ":" + number;
        return !number.empty();
    }

    std::vector<std::string> environment(bool withDisplay) const {
        std::vector<std::string> env{"HOME=" + (dir_ / "home").string(),
                                     "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                                     "XDG_RUNTIME_DIR=" + dir_.string(), "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
        if (withDisplay) {
            env.push_back("DISPLAY=" + display_);
            env.push_back("QT_QPA_PLATFORM=xcb");
        }
        return env;
    }

    std::unique_ptr<Child> launch(std::vector<std::string> args) {
        args.insert(args.begin(), program_.string());
        return std::make_unique<Child>(args, environment(true), -1, (dir_ / "output.txt").string());
    }

    // Waits until a window whose title matches `name` is on screen: the program is in its event loop (or in
    // a box's) and its signal handlers are in place.
    bool waitForWindow(const std::string& name) {
        const std::string xdotool = Which("xdotool");
        if (xdotool.empty()) {
            std::this_thread::sleep_for(3s);
            return true;
        }
        Child search({xdotool, "search", "--sync", "--onlyvisible", "--name", name}, environment(true));
        return search.waitExit(20s) == 0;
    }

    fs::path settingsFile() const { return dir_ / "config" / "Quorvan Corporation" / "Ostrevo.conf"; }

    static bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

    static bool canProbe() {
        IcmpEchoChannel channel;
        if (!channel.open())
            return false;
        channel.close();
        return true;
    }

    fs::path program_;
    fs::path dir_;
    std::string display_;
    std::unique_ptr<Child> xserver_;
};

TEST_F(EndToEnd, HelpAndVersionNeedNoDisplay) {
    const std::pair<const char*, const char*> cases[] = {{"--help", "/logf=FILE"}, {"--version", "2.2.2.58"}};
    for (const auto& [option, expected] : cases) {
        SCOPED_TRACE(option);
        const std::string out = (dir_ / "info.txt").string();
        Child child({program_.string(), option}, environment(false), -1, out);
        EXPECT_EQ(child.waitExit(10s), 0);
        EXPECT_NE(ReadFile(out).find(expected), std::string::npos) << ReadFile(out);
    }
    EXPECT_FALSE(fs::exists(settingsFile()));
}

TEST_F(EndToEnd, CommandLineRunLogsEveryRequestAndEndsOnSigterm) {
    if (!canProbe())
        GTEST_SKIP() << "no ICMP socket here (needs root, CAP_NET_RAW or net.ipv4.ping_group_range)";
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    fs::create_directories(settingsFile().parent_path());
    const std::string stored = "[General]\nHost=127.0.0.9\nInterval=30\nLogLevel=0\n";
    std::ofstream(settingsFile(), std::ios::binary) << stored;
    const fs::path log = dir_ / "x.log";

    auto app = launch({"/start", "/logl=2", "/logf=" + log.string(), "/i=1", "127.0.0.1"});
    const bool twoRecords = waitUntil([&] { return Lines(ReadFile(log)).size() >= 3; }, 20s);
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(10s), 0) << ReadFile(dir_ / "output.txt");
    ASSERT_TRUE(twoRecords) << ReadFile(log) << ReadFile(dir_ / "output.txt");

    const std::vector<std::string> lines = Lines(ReadFile(log));
    EXPECT_EQ(lines.front(), "Address;Date;Time;Status;Responce");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(lines[i].rfind("127.0.0.1;", 0), 0u);
        const bool replay = lines[i].ends_with(";Replay from 127.0.0.1: bytes=32 time=0ms TTL=64") ||
                            lines[i].ends_with(";Replay from 127.0.0.1: bytes=32 time=1ms TTL=64");
        EXPECT_TRUE(replay);
    }
    EXPECT_EQ(ReadFile(settingsFile()), stored); // any argument: nothing is saved
}

TEST_F(EndToEnd, WithoutArgumentsTheSettingsAreWrittenAtExit) {
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        fs::remove(settingsFile());
        auto app = launch({});
        ASSERT_TRUE(waitForWindow("^Ostrevo ver"));
        app->signal(sig);
        EXPECT_EQ(app->waitExit(10s), 0) << ReadFile(dir_ / "output.txt");
        const std::string saved = ReadFile(settingsFile());
        EXPECT_NE(saved.find("Interval=10"), std::string::npos) << saved;
        EXPECT_NE(saved.find("Buffer=32"), std::string::npos) << saved;
    }
}

TEST_F(EndToEnd, SigtermWhileStartUpShowsABoxEnds) {
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    // The log cannot be opened: start-up reports it before the window is up.
    auto app = launch({"/logl=1", "/logf=/nonexistent-dir/x.log", "127.0.0.1"});
    ASSERT_TRUE(waitForWindow("^Logging - Error$"));
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(10s), 0) << ReadFile(dir_ / "output.txt");
}

TEST_F(EndToEnd, SigtermDuringAFailingStartStillEnds) {
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    // No host: the start reports it in a box and opens the options dialog, both waiting for a user.
    auto app = launch({"/start"});
    ASSERT_TRUE(waitForWindow("^Options - Error$"));
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(10s), 0) << ReadFile(dir_ / "output.txt");
}

} // namespace
