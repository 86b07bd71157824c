#include "alerts/AlertActions.h"

#include "engine/HostStatus.h"
#include "engine/IcmpStatus.h"

AlertActions::AlertActions(const Settings& settings, SoundPlayer& sound, Launcher& launcher)
    : settings_(settings), sound_(sound), launcher_(launcher) {}

void AlertActions::raiseAlert(AlertEdge edge, HostStatus current, const std::string& statusLine,
                              const ReplyArea& area) {
    const std::string& soundFile = edge == AlertEdge::StartResponding ? settings_.SndStart : settings_.SndStop;
    if (!soundFile.empty())
        sound_.play(soundFile);
    if (!settings_.AppFileName.empty())
        RunAlertApp(edge, current, statusLine, area);
}

void AlertActions::RunAlertApp(AlertEdge edge, HostStatus current, const std::string& statusLine,
                               const ReplyArea& area) {
    const ReplyArea copy = area;
    const std::uint32_t errorCode = copy.Reply.Status;
    const std::string address = settings_.Host;
    const std::string status{StatusWord(current, "NA")};
    const std::string code = std::to_string(static_cast<unsigned>(current));
    const std::string errorText = IcmpStatusText(static_cast<std::int32_t>(errorCode));
    const std::string errcode = std::to_string(errorCode);

    LaunchRequest request;
    request.file = settings_.AppFileName;
    request.params = settings_.AppParams;
    if (!request.params.empty() && request.params.find('%') != std::string::npos) {
        // Each step sees the text as the steps before left it, so a placeholder brought in by the status
        // line can be filled by a later step; users' scripts may depend on that order.
        request.params = ReplaceFirst(std::move(request.params), "%address%", address);
        request.params = ReplaceFirst(std::move(request.params), "%responce%", Quote(statusLine));
        request.params = ReplaceFirst(std::move(request.params), "%status%", status);
        request.params = ReplaceFirst(std::move(request.params), "%code%", code);
        request.params = ReplaceFirst(std::move(request.params), "%error%", Quote(errorText));
        request.params = ReplaceFirst(std::move(request.params), "%errcode%", errcode);
    }
    request.workingDir = WorkingDirectoryOf(settings_.AppFileName);
    request.showCommand = settings_.AppMode;
    // The same facts unquoted, so that a script need not parse its command line.
    request.environment = {
        {"OSTREVO_ADDRESS", address},
        {"OSTREVO_RESPONSE", statusLine},
        {"OSTREVO_STATUS", status},
        {"OSTREVO_CODE", code},
        {"OSTREVO_ERROR", errorText},
        {"OSTREVO_ERRCODE", errcode},
        {"OSTREVO_EDGE", edge == AlertEdge::StartResponding ? "start" : "stop"},
    };
    launcher_.launch(request);
}

std::string AlertActions::ReplaceFirst(std::string text, std::string_view placeholder, std::string_view value) {
    const auto pos = text.find(placeholder);
    if (pos != std::string::npos)
        text.replace(pos, placeholder.size(), value);
    return text;
}

std::string AlertActions::Quote(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    for (const char c : text) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    quoted += '"';
    return quoted;
}

std::string AlertActions::WorkingDirectoryOf(std::string_view appFileName) {
    const auto slash = appFileName.rfind('/');
    if (slash == std::string_view::npos)
        return {};
    // "/x" lives in "/", and "a//x" keeps its doubled slash rather than naming "a/" differently.
    const bool keepSlash = slash == 0 || appFileName[slash - 1] == '/';
    return std::string(appFileName.substr(0, keepSlash ? slash + 1 : slash));
}
