#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// A program running beside a test (a competing ping, a responder): started with its arguments, its output
// discarded, ended with SIGTERM when stop() is called or the object dies.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] bool started() const { return pid_ > 0; }
    // True while the program has not exited.
    [[nodiscard]] bool running();
    // Ends the program and returns its wait status (-1 when it was not running).
    int stop();

private:
    pid_t pid_ = -1;
    int status_ = -1;
};
