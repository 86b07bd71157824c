#pragma once

#include "settings/Settings.h"
#include "settings/SettingsFields.h"

#include "fuzz/FuzzSupport.h"

// What every normalised record keeps, however it was made: each numeric field within its row's range,
// whole seconds, both pairs in order, a show command of 1, 3 or 7.
inline void requireNormalised(const Settings& s) {
    for (const SettingsField& field : settingsFields())
        if (field.number)
            require(field.number(s) >= field.min && field.number(s) <= field.max, "a field out of its range");
    require(s.interval % 1000 == 0, "interval is not whole seconds");
    require(s.minPercent <= s.maxPercent && s.minTime <= s.maxTime, "a pair out of order");
    require(s.appMode == 1 || s.appMode == 3 || s.appMode == 7, "a show command other than 1, 3 or 7");
}
