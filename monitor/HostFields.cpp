#include "monitor/HostFields.h"

#include "settings/SettingsFields.h"

namespace HostFields {

Settings merged(const Settings& program, const Settings& host) {
    Settings run = program;
    for (const SettingsField& field : settingsFields())
        if (field.scope == SettingsScope::Host)
            field.read(run, field.write(host));
    return run;
}

bool same(const Settings& a, const Settings& b) {
    for (const SettingsField& field : settingsFields())
        if (field.scope == SettingsScope::Host && field.write(a) != field.write(b))
            return false;
    return true;
}

} // namespace HostFields
