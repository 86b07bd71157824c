// How many times one save of the settings replaces the settings file, counted with inotify on the folder:
// a create or a rename onto the file's name is one replacement, a write into it in place is one as well.
// Prints "settings_save_file_replacements: N" (the goal is 1) and, on stderr, the same for a save with a
// 10 MB value.
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "settings/SettingsStore.h"
#include "settings/StoredValues.h"

namespace {

int replacementsOfOneSave(const std::string& folder, const Settings& settings) {
    const int watch = inotify_init1(IN_NONBLOCK);
    if (watch < 0 || inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_MODIFY) < 0) {
        std::perror("inotify");
        std::exit(1);
    }
    saveSettings(settings);
    const std::string name = std::filesystem::path(storeFilePath(SettingsKey)).filename();
    int replacements = 0;
    bool beingWritten = false; // writes right after a create, or a run of writes in place, are one replacement
    alignas(inotify_event) char buffer[64 * 1024];
    for (ssize_t n; (n = read(watch, buffer, sizeof buffer)) > 0;) {
        for (char* at = buffer; at < buffer + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            if (event->len > 0 && name == event->name) {
                if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
                    ++replacements;
                    beingWritten = (event->mask & IN_CREATE) != 0;
                } else if ((event->mask & IN_MODIFY) && !beingWritten) {
                    ++replacements;
                    beingWritten = true;
                }
            }
            at += sizeof(inotify_event) + event->len;
        }
    }
    close(watch);
    return replacements;
}

} // namespace

int main() {
    char folderTemplate[] = "/tmp/ostrevo-settings-bench-XXXXXX";
    const char* home = mkdtemp(folderTemplate);
    if (!home) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("XDG_CONFIG_HOME", home, 1);
    const std::string folder = std::filesystem::path(storeFilePath(SettingsKey)).parent_path();
    std::filesystem::create_directories(folder);

    Settings settings;
    settings.host = "gateway.example";
    settings.recentList = "a.example\r\nb.example\r\n";
    settings.logFileName = "/tmp/ostrevo.log";
    settings.appParams = "%address% %status%";
    saveSettings(settings); // the file exists: later saves replace it
    std::printf("settings_save_file_replacements: %d\n", replacementsOfOneSave(folder, settings));

    settings.appParams.assign(10 * 1024 * 1024, 'p');
    std::fprintf(stderr, "settings save with a 10 MB value: %d replacement(s)\n",
                 replacementsOfOneSave(folder, settings));
    std::filesystem::remove_all(home);
    return 0;
}
