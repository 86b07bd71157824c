#pragma once

#include <string>

// A command run through the shell to its end, with what it printed on stdout and stderr together. Give commands
// that may hang a bound of their own (`timeout 20 ...`): the test waits for the command to end.
struct ShellCommand {
    int exitCode = -1; // -1 when it did not exit normally
    std::string output;

    [[nodiscard]] static ShellCommand run(const std::string& command);
};

// `text` in single quotes for the shell.
[[nodiscard]] std::string shellQuoted(const std::string& text);
