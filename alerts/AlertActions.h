#pragma once

#include <string>
#include <string_view>

#include "alerts/Launcher.h"
#include "alerts/Notifier.h"
#include "alerts/SoundPlayer.h"
#include "engine/AlertSink.h"

// The sound, the desktop notification and the alert application of a start- or stop-responding edge. Runs
// on the worker thread, with the alert settings of the run that raised the edge.
class AlertActions : public AlertSink {
public:
    // Without a notifier the edges are not shown on the desktop, whatever the settings say.
    AlertActions(SoundPlayer& sound, Launcher& launcher, Notifier* notifier = nullptr);

    void raiseAlert(const AlertSettings& settings, AlertEdge edge, HostStatus current,
                    const ProbeEvent& event) override;
    // Only the desktop notification: the sound and the application are for edges.
    void reportDownAtStart(const AlertSettings& settings, HostStatus current, const ProbeEvent& event) override;

    // Starts AppFileName with AppParams, the placeholders filled in from the event: `statusLine` is its reply
    // line, `errorCode` its IP status code.
    void runAlertApp(const AlertSettings& settings, AlertEdge edge, HostStatus current, const std::string& statusLine,
                     std::uint32_t errorCode);

    // Replaces the first occurrence of `placeholder` (bytes compared exactly) by `value`.
    [[nodiscard]] static std::string replaceFirst(std::string text, std::string_view placeholder,
                                                  std::string_view value);

    // "text" with every inner double quote doubled; the launcher's argument splitter undoes exactly this.
    [[nodiscard]] static std::string quote(std::string_view text);

    // Directory part of a program path; empty (the current directory) for a bare name.
    [[nodiscard]] static std::string workingDirectoryOf(std::string_view appFileName);

private:
    SoundPlayer& sound_;
    Launcher& launcher_;
    Notifier* notifier_;
};
