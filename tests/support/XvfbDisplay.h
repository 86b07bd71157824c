#pragma once

#include <string>

#include <sys/types.h>

// A private virtual X server for tests that need a real window system (tray icons, screenshots): Xvfb
// picks a free display number and reports it once it accepts clients. Stopped when the object dies.
class XvfbDisplay {
public:
    // `screen` as Xvfb takes it: WIDTHxHEIGHTxDEPTH.
    explicit XvfbDisplay(const std::string& screen = "1280x800x24");
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    [[nodiscard]] bool started() const { return !name_.empty(); }
    [[nodiscard]] const std::string& name() const { return name_; } // ":NN"
    [[nodiscard]] const std::string& error() const { return error_; }

private:
    pid_t pid_ = -1;
    std::string name_;
    std::string error_;
};
