#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "alerts/Launcher.h"

// Splits a parameter text into arguments the way the alert parameters are quoted: blanks separate,
// double quotes group, and a doubled quote inside quotes stands for one literal quote. `""` is an
// empty argument.
[[nodiscard]] std::vector<std::string> splitParameters(std::string_view params);

// Starts the alert application as a detached process, never through a shell. A file that cannot be
// executed (a document) goes to `openDocument`, which the desktop shell sets.
class ProcessLauncher : public Launcher {
public:
    std::function<bool(const std::string& path)> openDocument;

    void launch(const LaunchRequest& request) override;

    // Same as launch(), telling whether something was started or opened.
    [[nodiscard]] bool tryLaunch(const LaunchRequest& request);

    // Full path of the file to start: a bare name is looked up on PATH, then in the current directory;
    // empty when nothing of that name exists.
    [[nodiscard]] static std::string resolve(const std::string& file);
};
