// The settings texts: the number and boolean rules against a reference written from their definitions, and
// every field's normalisation, stored text and command-line value alike, against the field's range; a
// normalised value must be stored and read back as itself.
//
// Input: a field selector byte, the field's current state (a few bytes fed through the store rules), then
// the text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "settings/SettingsFields.h"
#include "settings/SettingsRules.h"

#include "fuzz/FuzzSupport.h"
#include "fuzz/SettingsInvariants.h"

namespace {

// "Leading blanks (code 32) skipped; a sign and decimal digits within 32 bits, or $, x, X, 0x, 0X and hex
// digits of a 32-bit pattern; nothing may follow."
std::optional<std::int32_t> referenceNumber(std::string_view text) {
    text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
    const auto all = [&](std::string_view digits, std::string_view allowed) {
        return !digits.empty() && digits.find_first_not_of(allowed) == std::string_view::npos;
    };
    std::string_view hex;
    if (text.starts_with("0x") || text.starts_with("0X"))
        hex = text.substr(2);
    else if (text.starts_with('$') || text.starts_with('x') || text.starts_with('X'))
        hex = text.substr(1);
    else
        hex = std::string_view("-"); // not a hexadecimal form
    if (hex != "-") {
        if (!all(hex, "0123456789abcdefABCDEF"))
            return std::nullopt;
        hex.remove_prefix(std::min(hex.find_first_not_of('0'), hex.size() - 1));
        if (hex.size() > 8)
            return std::nullopt;
        return static_cast<std::int32_t>(std::stoul(std::string(hex), nullptr, 16));
    }
    const bool negative = text.starts_with('-');
    if (text.starts_with('-') || text.starts_with('+'))
        text.remove_prefix(1);
    if (!all(text, "0123456789"))
        return std::nullopt;
    text.remove_prefix(std::min(text.find_first_not_of('0'), text.size() - 1));
    if (text.size() > 10)
        return std::nullopt;
    const long long value = (negative ? -1 : 1) * std::stoll(std::string(text));
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

bool referenceBoolean(std::string_view text) {
    const std::string lower = lowerAscii(text);
    return lower == "yes" || lower == "true" || lower == "1";
}

void checkRange(const SettingsField& field, const Settings& s, const char* what) {
    if (!field.number)
        return;
    const std::int64_t n = field.number(s);
    require(n >= field.min && n <= field.max, what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    const auto fields = settingsFields();
    const SettingsField& field = fields[data[0] % fields.size()];
    const std::string_view text(reinterpret_cast<const char*>(data) + 4, size - 4);

    const std::optional<std::int32_t> number = SettingsRules::tryParseNumber(text);
    require(number == referenceNumber(text), "parseNumber differs from its definition");
    require(SettingsRules::parseBoolean(text) == referenceBoolean(text), "parseBoolean differs from its definition");

    // A current state as the store could have left it: every field read from a short number.
    Settings current;
    for (const SettingsField& f : fields)
        if (f.number)
            f.read(current, std::to_string(static_cast<std::int8_t>(data[1] ^ static_cast<std::uint8_t>(f.key[0]))) +
                                std::string(data[2] & 1 ? "0" : "") + std::string(data[3] & 1 ? "000" : ""));
    requireNormalised(current);

    // From the store.
    Settings stored = current;
    field.read(stored, text);
    checkRange(field, stored, "a stored text gives a value out of its field's range");
    // The store orders each pair when it reads its second value.
    if (field.key == "MaxPercent" || field.key == "MaxTime")
        requireNormalised(stored);
    // Paths, parameters and host texts are kept as stored; the two plain booleans follow the boolean rule.
    static const std::set<std::string_view> kTexts = {"Host",    "RecentList",  "LogFileName", "SndStart",
                                                      "SndStop", "AppFileName", "AppParams"};
    if (kTexts.contains(field.key))
        require(field.write(stored) == text, "a text field does not store what it read");
    if (field.key == "ResolveIP" || field.key == "LogAppend")
        require(field.write(stored) == SettingsRules::writeBoolean(referenceBoolean(text)),
                "a boolean field does not follow the boolean rule");
    const std::string written = field.write(stored);
    Settings reread = stored;
    field.read(reread, written);
    require(reread == stored, "a normalised value does not read back as itself");

    // From the command line.
    if (field.applyOption) {
        Settings given = current;
        field.applyOption(given, text);
        // The log level alone is clamped after the whole command line.
        if (field.key != "LogLevel")
            checkRange(field, given, "a command-line value out of its field's range");
        if (!number && field.number && field.key != "AppMode")
            require(field.number(given) == field.number(current), "an unusable number changed the field");
        if (field.key == "Interval")
            require(given.interval % 1000 == 0 && given.interval >= 1000, "interval not positive whole seconds");
    }
    return 0;
}
