#pragma once

#include <cstdint>
#include <functional>

#include <QObject>

#include "settings/Settings.h"
#include "settings/SettingsFields.h"

// What one change of the settings did.
struct SettingsChange {
    // The fields the change set. OK in the options sets every field, whatever it held: the user has
    // confirmed them all, and some listeners act on each confirmation (the log starts anew). Any other change
    // names the fields whose values it changed.
    SettingIds fields;
    // OK in the options dialog: the user's own choice, which is kept at once.
    bool confirmed = false;
    Settings before; // the values before the change
};

// The one owner of the user's settings on the window side. Every change goes through it and is announced
// once, by `changed`, to whoever cares (the log, the tray, the history, the autostart entry, the save);
// other parts read the values and report their events instead of writing into the settings.
class AppSettings : public QObject {
    Q_OBJECT
public:
    explicit AppSettings(QObject* parent = nullptr);

    [[nodiscard]] const Settings& value() const { return settings_; }
    // Writes that announce nothing: start-up, which loads the values and applies the command line before
    // anyone listens, and tests that set a scene.
    [[nodiscard]] Settings& quietly() { return settings_; }

    // OK in the options dialog: the edited copy becomes the settings.
    void confirm(const Settings& edited);
    // Any other change; announced when it changes a value.
    void change(const std::function<void(Settings&)>& edit);

    // A run cannot send the stored payload: the setting itself is lowered, so that it is what later runs
    // send and what is saved.
    void lowerPayload(std::int32_t largest);
    // The log has failed: logging stays off, also in the settings saved.
    void turnLoggingOff();

Q_SIGNALS:
    void changed(const SettingsChange& change);

private:
    Settings settings_;
};
