#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/LaunchedProgram.h"

// The real program under a private Xvfb display, with HOME and the configuration directory in a private
// temporary directory that goes away with the test.
class EndToEndFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts Xvfb on a display it picks itself; false when there is none to be had.
    bool startDisplay();
    std::vector<std::string> environment(bool withDisplay) const;
    // The program with these arguments on the display; its output goes to output.txt in the directory.
    std::unique_ptr<LaunchedProgram> launch(std::vector<std::string> args);
    // Waits until a window whose title matches `name` is on screen: the program is in its event loop (or in
    // a box's) and its signal handlers are in place.
    bool waitForWindow(const std::string& name);
    // What a tool run on the display printed; empty when it failed or did not end in time.
    std::string outputOf(std::vector<std::string> argv, std::chrono::milliseconds limit = std::chrono::seconds(20));

    std::filesystem::path settingsFile() const;
    std::string programOutput() const { return readFile(dir_ / "output.txt"); }

    static bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
    static bool canProbe();
    static std::string readFile(const std::filesystem::path& path);
    // The CR LF terminated lines of a log.
    static std::vector<std::string> splitLines(const std::string& text);
    // The full path of a tool, empty when it is not installed.
    static std::string which(const std::string& name);

    std::filesystem::path program_;
    std::filesystem::path dir_;
    std::string display_;
    std::unique_ptr<LaunchedProgram> xserver_;
};
