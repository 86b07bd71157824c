#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Named text values, as a settings file holds them: "Host" for a top-level value, "Hosts/2/Host" for one in
// an array. The rules for what the values mean live above this; a store only keeps texts, so that a program
// without Qt can bring its own.
class KeyValueReader {
public:
    virtual ~KeyValueReader() = default;
    // The value's text; none when the store does not hold the key at all.
    [[nodiscard]] virtual std::optional<std::string> find(const std::string& key) const = 0;
    // Every key held that starts with `prefix`, with its text, in any order: one pass where a whole array is
    // wanted.
    [[nodiscard]] virtual std::vector<std::pair<std::string, std::string>> textsUnder(std::string_view prefix) const = 0;
};

class KeyValueStore : public KeyValueReader {
public:
    // Nothing written or removed reaches the store before commit().
    virtual void write(const std::string& key, const std::string& text) = 0;
    virtual void remove(const std::string& key) = 0;
    // Replaces what the store holds with the changes, once; false when that failed, the old values then
    // staying. Nothing changed: true, and nothing is touched.
    virtual bool commit() = 0;
};
