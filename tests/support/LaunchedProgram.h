#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

// A program started by a test with an environment of its own and its output going to a file. Killed when the
// object dies before the program has been seen to end, so a failing test leaves nothing running.
class LaunchedProgram {
public:
    // `extraFd`, when given, becomes descriptor 3 of the program (Xvfb's -displayfd).
    LaunchedProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, int extraFd = -1,
                    const std::string& output = "/dev/null");
    ~LaunchedProgram();
    LaunchedProgram(const LaunchedProgram&) = delete;
    LaunchedProgram& operator=(const LaunchedProgram&) = delete;

    void signal(int number) const;
    // The exit status (128 + the signal when one ended it), or -1 when the program has not ended in time.
    // Asking again after the end gives the same status.
    int waitExit(std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
};
