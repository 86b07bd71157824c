// The alert application's command line: placeholders filled from the event (the host and the reply line are
// outside input) and the text split into arguments without a shell. Whatever the bytes, splitting must be
// undone by quoting, the reply line must arrive as exactly one argument, and the environment must carry the
// facts unchanged.
//
// Input: a mode byte (low two bits: the check, next two: the host status), the reply's status code (4 bytes),
// then host, reply line, program file and parameters separated by NUL bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "alerts/AlertActions.h"
#include "alerts/ProcessLauncher.h"
#include "text/IcmpStatusText.h"

#include "fuzz/FuzzSupport.h"

namespace {

using Args = std::vector<std::string>;

class Recorder : public Launcher, public SoundPlayer {
public:
    void launch(const LaunchRequest& request) override { launched.push_back(request); }
    void play(const std::string&) override {}
    std::vector<LaunchRequest> launched;
};

// Any argument list survives being quoted and split again.
void checkSplit(std::string_view params) {
    const Args args = splitParameters(params);
    std::string joined;
    for (const std::string& arg : args) {
        require(arg.size() <= params.size(), "an argument longer than the text");
        joined += AlertActions::quote(arg) + " ";
    }
    require(splitParameters(joined) == args, "quoted arguments do not split back");
    if (params.find('"') == std::string_view::npos) {
        // Without quotes, blanks and tabs are all there is to it.
        Args words;
        std::string word;
        for (const char c : params) {
            if (c == ' ' || c == '\t') {
                if (!word.empty())
                    words.push_back(word);
                word.clear();
            } else {
                word += c;
            }
        }
        if (!word.empty())
            words.push_back(word);
        require(args == words, "unquoted text not split at blanks");
    }
}

void checkWorkingDirectory(std::string_view file) {
    const std::string dir = AlertActions::workingDirectoryOf(file);
    require(file.starts_with(dir), "working directory is not a prefix of the program path");
    std::string_view name = file.substr(dir.size());
    if (dir.empty()) {
        require(file.find('/') == std::string_view::npos, "a path's directory lost");
        return;
    }
    while (name.starts_with('/'))
        name.remove_prefix(1);
    require(name.find('/') == std::string_view::npos, "working directory is not the program's own");
}

LaunchRequest run(const AlertSettings& settings, HostStatus current, std::uint32_t code, const std::string& line) {
    Recorder recorder;
    AlertActions actions(recorder, recorder);
    if (!settings.appFileName.empty())
        actions.runAlertApp(settings, AlertEdge::StopResponding, current, line, code);
    require(recorder.launched.size() == (settings.appFileName.empty() ? 0u : 1u), "launched the wrong number of times");
    if (recorder.launched.empty())
        return {};
    const LaunchRequest& request = recorder.launched[0];
    require(request.file == settings.appFileName && request.showCommand == settings.appMode, "program or mode changed");
    require(request.workingDir == AlertActions::workingDirectoryOf(settings.appFileName), "working directory");
    auto env = [&](std::string_view name) {
        for (const auto& [key, value] : request.environment)
            if (key == name)
                return value;
        require(false, "an environment variable is missing");
        return std::string();
    };
    require(env("OSTREVO_ADDRESS") == settings.host && env("OSTREVO_RESPONSE") == line &&
                env("OSTREVO_STATUS") == statusWord(current, "NA") &&
                env("OSTREVO_CODE") == std::to_string(static_cast<unsigned>(current)) &&
                env("OSTREVO_ERRCODE") == std::to_string(code) &&
                env("OSTREVO_ERROR") == icmpStatusText(static_cast<std::int32_t>(code)),
            "environment does not carry the facts unchanged");
    if (settings.appParams.find('%') == std::string::npos)
        require(request.params == settings.appParams, "parameters without placeholders changed");
    return request;
}

// Parameters made of plain words and placeholders: each placeholder's first occurrence becomes its value, and
// the reply line and error text, whatever they hold, stay one argument each.
void checkStructured(AlertSettings settings, HostStatus current, std::uint32_t code, std::string line) {
    static const std::vector<std::string> kPlaceholders = {"%address%", "%responce%", "%status%",
                                                           "%code%",    "%error%",    "%errcode%"};
    auto strip = [](std::string& text, std::string_view drop) {
        std::erase_if(text, [&](char c) { return drop.find(c) != std::string_view::npos; });
    };
    strip(settings.host, std::string_view("%\" \t", 4));
    strip(line, "%");
    const std::vector<std::string> values = {settings.host,
                                             line,
                                             std::string(statusWord(current, "NA")),
                                             std::to_string(static_cast<unsigned>(current)),
                                             icmpStatusText(static_cast<std::int32_t>(code)),
                                             std::to_string(code)};
    std::string params;
    Args expected;
    std::vector<bool> used(kPlaceholders.size());
    std::size_t start = 0;
    const std::string raw = settings.appParams;
    while (start <= raw.size()) {
        const auto end = std::min(raw.find(' ', start), raw.size());
        std::string word = raw.substr(start, end - start);
        start = end + 1;
        std::size_t which = 0;
        while (which < kPlaceholders.size() && kPlaceholders[which] != word)
            ++which;
        if (which == kPlaceholders.size()) {
            strip(word, std::string_view("%\"\t\0", 4));
            if (word.empty())
                continue;
            expected.push_back(word);
        } else if (used[which]) {
            expected.push_back(word);
        } else {
            used[which] = true;
            if (!values[which].empty() || which == 1 || which == 4)
                expected.push_back(values[which]);
        }
        params += (params.empty() ? "" : " ") + word;
    }
    settings.appParams = params;
    if (settings.appFileName.empty())
        settings.appFileName = "alert";
    const LaunchRequest request = run(settings, current, code, line);
    require(splitParameters(request.params) == expected, "arguments are not the words with the values filled in");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5)
        return 0;
    const unsigned mode = data[0] & 3;
    const auto current = static_cast<HostStatus>(data[0] >> 2 & 3);
    std::uint32_t code;
    std::memcpy(&code, data + 1, 4);
    std::string_view rest(reinterpret_cast<const char*>(data) + 5, size - 5);
    if (mode == 2) {
        checkSplit(rest);
        return 0;
    }
    if (mode == 3) {
        checkWorkingDirectory(rest);
        return 0;
    }
    const std::vector<std::string> fields = nulFields(rest, 4);
    AlertSettings settings;
    settings.host = fields[0];
    settings.appFileName = fields[2];
    settings.appParams = fields[3];
    settings.appMode = static_cast<std::int32_t>(code % 8);
    if (mode == 0) {
        const LaunchRequest request = run(settings, current, code, fields[1]);
        checkSplit(request.params);
    } else {
        checkStructured(settings, current, code, fields[1]);
    }
    return 0;
}
