#pragma once

#include <string>
#include <utility>
#include <vector>

// Everything needed to start the alert application. `params` is one text split into arguments by the
// launcher; `workingDir` empty means the program's current directory; `showCommand` is the window mode
// the user chose (1 normal, 3 maximized, 7 minimized without focus). `environment` is added to the
// program's own environment.
struct LaunchRequest {
    std::string file;
    std::string params;
    std::string workingDir;
    int showCommand = 1;
    std::vector<std::pair<std::string, std::string>> environment;

    bool operator==(const LaunchRequest&) const = default;
};

// Starts a program or opens a document without waiting for it. A start that fails is ignored.
class Launcher {
public:
    virtual ~Launcher() = default;
    virtual void launch(const LaunchRequest& request) = 0;
};
