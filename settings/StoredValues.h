#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/KeyValueStore.h"

class QSettings;
class QVariant;

// The per-user store of named text values and the program's version text.

// Key of the program's settings. Maps to the QSettings file "Quorvan Corporation/Ostrevo.conf" under the
// user's configuration directory.
inline constexpr const char* SettingsKey = "Software\\Quorvan Corporation\\Ostrevo";

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config. Empty
// when HOME is unset, empty or relative as well, so that nothing lands at the root of the file system.
[[nodiscard]] std::string configHomeFolder();

// The file that holds the values of a key path; empty when there is no configuration folder.
[[nodiscard]] std::string storeFilePath(const std::string& keyPath);

// One use of the store: the file is read once when a session opens and, for a save, written once by
// commit(). A path that exists but is no regular file (a FIFO, a device, a folder) is neither read nor
// written, so that it cannot block start-up; the session then says so in one line on stderr, reads
// nothing and commits nothing; so does a session without a configuration folder (no HOME). A symlink to a
// regular file is followed: its target is read and replaced.
class StoreSession : public KeyValueStore {
public:
    // Update reads the file as it is now, as Load does, to save what depends on it; for the life of the
    // session it holds a lock on the folder that other Update sessions wait for (up to two seconds), so that
    // two instances merging into one file take turns.
    enum class Purpose { Load, Save, Update };
    StoreSession(const std::string& keyPath, Purpose purpose);
    ~StoreSession() override;
    StoreSession(const StoreSession&) = delete;
    StoreSession& operator=(const StoreSession&) = delete;

    // The value's text, or the empty text when the store, the value or the file cannot be read. A value of
    // any length reads back whole.
    [[nodiscard]] std::string read(const std::string& valueName) const;
    // Whether the file holds the value at all, empty or not.
    [[nodiscard]] bool contains(const std::string& valueName) const;
    [[nodiscard]] std::optional<std::string> find(const std::string& valueName) const override;
    // Keys as QSettings names them: "Hosts/1/Host" for "1\\Host" in the section [Hosts], with their texts.
    [[nodiscard]] std::vector<std::pair<std::string, std::string>> textsUnder(std::string_view prefix) const override;
    // Bytes that are valid UTF-8 are kept as text; any other byte string as raw bytes, so that it reads back
    // unchanged. Nothing reaches the file before commit().
    void write(const std::string& valueName, const std::string& text) override;
    // The value leaves the file at commit(), as a written one would change.
    void remove(const std::string& valueName) override;
    // Under QSettings' lock on the file, reads it again when it has changed since it was read, sets the
    // values written in this session over what it holds now and replaces it once, whole (creating it and its
    // folders when missing); values not written keep what the file holds, whoever wrote them. On failure the
    // previous file stays as it was, a line on stderr says why, and the result is false. Nothing written:
    // the file is left alone and the result is true.
    bool commit() override;
    [[nodiscard]] const std::string& path() const { return path_; }

private:
    [[nodiscard]] static std::string textOf(const QVariant& value);

    std::string path_;
    Purpose purpose_;
    std::unique_ptr<QSettings> store_; // null when the path must not be touched
    bool written_ = false;
    int folderLock_ = -1;
};

// One value read or written in a session of its own. Never creates anything when reading.
[[nodiscard]] std::string readStoredValue(const std::string& keyPath, const std::string& valueName);
void writeStoredValue(const std::string& keyPath, const std::string& valueName, const std::string& text);

// The version embedded in the named executable: this program's own version for its own file, "1.0.0.0"
// for any other file.
[[nodiscard]] std::string fileVersionString(const std::string& fileName);
