#include "support/LaunchedProgram.h"

#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

LaunchedProgram::LaunchedProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, int extraFd,
                                 const std::string& output) {
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

LaunchedProgram::~LaunchedProgram() {
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void LaunchedProgram::signal(int number) const {
    if (pid_ > 0 && !exited_)
        ::kill(pid_, number);
}

int LaunchedProgram::waitExit(std::chrono::milliseconds limit) {
    if (exited_)
        return status_;
    if (pid_ <= 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}
