// ostrevod as its users start it: the flags, --config.check on good and bad files, and a bad file at start.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "support/ShellCommand.h"
#include "support/TempDir.h"

namespace {

std::string ostrevod() {
    const char* dir = std::getenv("OSTREVO_BINARY_DIR");
    return std::string(dir != nullptr ? dir : ".") + "/service/ostrevod";
}

ShellCommand run(const std::string& arguments) {
    return ShellCommand::run("timeout 20 " + shellQuoted(ostrevod()) + " " + arguments);
}

void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

TEST(OstrevodEndToEnd, FlagsAnswerAndMistakesExitWithTwo) {
    const ShellCommand version = run("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "ostrevod " OSTREVO_VERSION "\n");

    const ShellCommand help = run("--help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* flag : {"--config.file=PATH", "--config.check", "--web.listen-address=ADDR:PORT",
                             "--web.config.file=PATH", "--history.path=PATH", "--log.level=LEVEL", "--version"}) {
        EXPECT_NE(help.output.find(flag), std::string::npos) << flag;
    }

    const ShellCommand wrong = run("--config.fiel=x");
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_EQ(wrong.output, "ostrevod: unknown option --config.fiel\nTry 'ostrevod --help' for more information.\n");
}

TEST(OstrevodEndToEnd, ConfigCheckListsEveryProblemWithItsPlace) {
    const TempDir dir;
    const std::string good = dir.file("good.yml");
    write(good, "targets:\n  - hosts: [127.0.0.1, ::1]\n  - {name: jumbo, host: 127.0.0.1, size: 1472}\n");
    const ShellCommand ok = run("--config.check --config.file=" + shellQuoted(good));
    EXPECT_EQ(ok.exitCode, 0) << ok.output;
    EXPECT_EQ(ok.output, good + ": good, 3 targets\n");

    const std::string bad = dir.file("bad.yml");
    write(bad, "targets:\n  - host: 127.0.0.1\n    ttl: 256\n    colour: red\n");
    const ShellCommand refused = run("--config.file " + shellQuoted(bad) + " --config.check");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.output.find(bad + ":3:10: ttl: \"256\" is out of range: from 1 to 255\n"), std::string::npos)
        << refused.output;
    EXPECT_NE(refused.output.find(bad + ":4:5: unknown key \"colour\""), std::string::npos) << refused.output;
    EXPECT_NE(refused.output.find(bad + ": 2 problems\n"), std::string::npos) << refused.output;

    const ShellCommand missing = run("--config.check --config.file=" + shellQuoted(dir.file("none.yml")));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.output.find("none.yml: cannot read: No such file or directory"), std::string::npos);

    // Nothing starts on a bad file: the service says why in its log and exits.
    const ShellCommand start = run("--history.path= --web.listen-address=127.0.0.1:1 --config.file=" +
                                   shellQuoted(bad));
    EXPECT_EQ(start.exitCode, 1);
    EXPECT_NE(start.output.find(" level=error msg=\"bad config file\" problem=\"" + bad + ":3:10: ttl: \\\"256\\\""),
              std::string::npos)
        << start.output;
}

} // namespace
