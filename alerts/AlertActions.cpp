#include "alerts/AlertActions.h"

#include "text/IcmpStatusText.h"
#include "text/ProbeText.h"
#include "types/HostStatus.h"

AlertActions::AlertActions(SoundPlayer& sound, Launcher& launcher, Notifier* notifier)
    : sound_(sound), launcher_(launcher), notifier_(notifier) {}

void AlertActions::raiseAlert(const AlertSettings& settings, AlertEdge edge, HostStatus current,
                              const ProbeEvent& event) {
    const std::string statusLine = ProbeText::replyLine(event);
    const std::string& soundFile = edge == AlertEdge::StartResponding ? settings.startSound : settings.stopSound;
    if (!soundFile.empty())
        sound_.play(soundFile);
    // Before the application, whose start holds the worker up until the system has started it.
    if (settings.notify && notifier_ != nullptr)
        notifier_->notify(event.run, settings.host, current, statusLine);
    if (!settings.appFileName.empty())
        runAlertApp(settings, edge, current, statusLine, event.status);
}

void AlertActions::reportDownAtStart(const AlertSettings& settings, HostStatus current, const ProbeEvent& event) {
    if (settings.notify && notifier_ != nullptr)
        notifier_->notify(event.run, settings.host, current, ProbeText::replyLine(event));
}

void AlertActions::runAlertApp(const AlertSettings& settings, AlertEdge edge, HostStatus current,
                               const std::string& statusLine, std::uint32_t errorCode) {
    const std::string address = settings.host;
    const std::string status{statusWord(current, "NA")};
    const std::string code = std::to_string(static_cast<unsigned>(current));
    const std::string errorText = icmpStatusText(static_cast<std::int32_t>(errorCode));
    const std::string errcode = std::to_string(errorCode);

    LaunchRequest request;
    request.file = settings.appFileName;
    request.params = settings.appParams;
    if (!request.params.empty() && request.params.find('%') != std::string::npos) {
        // Each step sees the text as the steps before left it, so a placeholder brought in by the status
        // line can be filled by a later step; users' scripts may depend on that order.
        request.params = replaceFirst(std::move(request.params), "%address%", address);
        request.params = replaceFirst(std::move(request.params), "%responce%", quote(statusLine));
        request.params = replaceFirst(std::move(request.params), "%status%", status);
        request.params = replaceFirst(std::move(request.params), "%code%", code);
        request.params = replaceFirst(std::move(request.params), "%error%", quote(errorText));
        request.params = replaceFirst(std::move(request.params), "%errcode%", errcode);
    }
    request.workingDir = workingDirectoryOf(settings.appFileName);
    request.showCommand = settings.appMode;
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

std::string AlertActions::replaceFirst(std::string text, std::string_view placeholder, std::string_view value) {
    const auto pos = text.find(placeholder);
    if (pos != std::string::npos)
        text.replace(pos, placeholder.size(), value);
    return text;
}

std::string AlertActions::quote(std::string_view text) {
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

std::string AlertActions::workingDirectoryOf(std::string_view appFileName) {
    const auto slash = appFileName.rfind('/');
    if (slash == std::string_view::npos)
        return {};
    // "/x" lives in "/", and "a//x" keeps its doubled slash rather than naming "a/" differently.
    const bool keepSlash = slash == 0 || appFileName[slash - 1] == '/';
    return std::string(appFileName.substr(0, keepSlash ? slash + 1 : slash));
}
