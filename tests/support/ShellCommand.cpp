#include "support/ShellCommand.h"

#include <sys/wait.h>

#include <cstdio>

ShellCommand ShellCommand::run(const std::string& command) {
    ShellCommand ran;
    std::FILE* pipe = popen(("( " + command + " ) 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return ran;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        ran.output.append(buffer, n);
    const int status = pclose(pipe);
    ran.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ran;
}

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}
