#include "support/EndToEndFixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "engine/KernelHubSocket.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void EndToEndFixture::SetUp() {
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

void EndToEndFixture::TearDown() {
    xserver_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

bool EndToEndFixture::startDisplay() {
    const std::string xvfb = which("Xvfb");
    if (xvfb.empty())
        return false;
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    xserver_ = std::make_unique<LaunchedProgram>(
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

std::vector<std::string> EndToEndFixture::environment(bool withDisplay) const {
    std::vector<std::string> env{"HOME=" + (dir_ / "home").string(), "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                                 "XDG_RUNTIME_DIR=" + dir_.string(), "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
    if (withDisplay) {
        env.push_back("DISPLAY=" + display_);
        env.push_back("QT_QPA_PLATFORM=xcb");
    }
    return env;
}

std::unique_ptr<LaunchedProgram> EndToEndFixture::launch(std::vector<std::string> args) {
    args.insert(args.begin(), program_.string());
    return std::make_unique<LaunchedProgram>(args, environment(true), -1, (dir_ / "output.txt").string());
}

bool EndToEndFixture::waitForWindow(const std::string& name) {
    const std::string xdotool = which("xdotool");
    if (xdotool.empty()) {
        std::this_thread::sleep_for(3s);
        return true;
    }
    LaunchedProgram search({xdotool, "search", "--sync", "--onlyvisible", "--name", name}, environment(true));
    return search.waitExit(20s) == 0;
}

std::string EndToEndFixture::outputOf(std::vector<std::string> argv, std::chrono::milliseconds limit) {
    static int calls = 0;
    const fs::path out = dir_ / ("tool-" + std::to_string(++calls) + ".txt");
    std::string text;
    {
        LaunchedProgram tool(argv, environment(true), -1, out.string());
        if (tool.waitExit(limit) == 0)
            text = readFile(out);
    }
    std::error_code ignored;
    fs::remove(out, ignored);
    return text;
}

fs::path EndToEndFixture::settingsFile() const {
    return dir_ / "config" / "Quorvan Corporation" / "Ostrevo.conf";
}

bool EndToEndFixture::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

bool EndToEndFixture::canProbe() {
    return KernelHubSocket::opener(IcmpSocket::Preference::Auto)(IpAddress::Family::V4, {}) != nullptr;
}

std::string EndToEndFixture::readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> EndToEndFixture::splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

std::string EndToEndFixture::which(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"})
        if (::access((std::string(dir) + "/" + name).c_str(), X_OK) == 0)
            return std::string(dir) + "/" + name;
    return {};
}
