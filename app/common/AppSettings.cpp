#include "app/common/AppSettings.h"

AppSettings::AppSettings(QObject* parent) : QObject(parent) {}

void AppSettings::confirm(const Settings& edited) {
    SettingsChange change{SettingIds::all(), true, settings_};
    settings_ = edited;
    Q_EMIT changed(change);
}

void AppSettings::change(const std::function<void(Settings&)>& edit) {
    Settings next = settings_;
    edit(next);
    SettingsChange change{differingFields(settings_, next), false, settings_};
    if (change.fields.empty())
        return;
    settings_ = std::move(next);
    Q_EMIT changed(change);
}

void AppSettings::lowerPayload(std::int32_t largest) {
    change([largest](Settings& s) {
        if (s.buffer > largest)
            s.buffer = largest;
    });
}

void AppSettings::turnLoggingOff() {
    change([](Settings& s) { s.logLevel = LogLevel::Off; });
}
