// The settings file as anyone may have edited it: loading it must give every field within its limits, and
// what is loaded must be saved and loaded again unchanged.
//
// Input: the whole file, written into a private configuration folder. QSettings keeps parsed files by path
// and re-reads one only when its size or time changed, so each input's file gets a time of its own.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "settings/HostListFile.h"
#include "settings/SettingsFields.h"
#include "settings/SettingsStore.h"

#include "fuzz/FuzzSupport.h"
#include "fuzz/SettingsInvariants.h"

namespace fs = std::filesystem;

namespace {

struct Home {
    fs::path base;
    Home() {
        const fs::path shm = "/dev/shm";
        const fs::path parent = fs::is_directory(shm) && access(shm.c_str(), W_OK) == 0 ? shm : fs::temp_directory_path();
        std::string pattern = (parent / "ostrevo-fuzz-store-XXXXXX").string();
        require(mkdtemp(pattern.data()) != nullptr, "no temporary folder");
        base = pattern;
        setenv("HOME", base.c_str(), 1);
        setenv("XDG_CONFIG_HOME", base.c_str(), 1);
        fs::create_directories(base / "Quorvan Corporation");
    }
    ~Home() {
        std::error_code ignored;
        fs::remove_all(base, ignored);
    }
};


// Stamps the file with a time no earlier run used, so that the next load parses it again.
void restamp(const fs::path& file) {
    static const std::time_t first = std::time(nullptr) + 100'000'000;
    static std::time_t stamps = 0;
    const timespec times[2] = {{0, UTIME_NOW}, {first + stamps++, 0}};
    require(utimensat(AT_FDCWD, file.c_str(), times, 0) == 0, "cannot stamp the file");
}

// Saving and loading again costs three times a load: a quarter of the inputs, picked by their bytes so that
// a replay picks the same ones, take the round trip.
bool takesRoundTrip(const std::uint8_t* data, std::size_t size) {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    return hash % 4 == 0;
}

} // namespace

// QSettings allocates a great deal per load: short allocation stacks keep ASan's bookkeeping from taking most of
// the time. A finding still shows where the fault is; rerun it with ASAN_OPTIONS=malloc_context_size=30 for more.
extern "C" const char* __asan_default_options() {
    return "malloc_context_size=4";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Home home;
    const fs::path file = home.base / "Quorvan Corporation" / "Ostrevo.conf";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    restamp(file);

    Settings loaded;
    StoredTexts known;
    loadSettings(loaded, {}, &known);
    requireNormalised(loaded);
    StoredHostList hosts;
    loadHostList(hosts, &known);
    require(hosts.hosts.size() <= kMaxStoredHosts, "more hosts than the cap");
    if (!takesRoundTrip(data, size))
        return 0;
    require(saveSettings(loaded), "the loaded settings cannot be saved");
    // Saved unchanged, the list merges into the file it came from without losing or gaining an entry.
    require(saveChangedHostList(hosts, known), "the loaded host list cannot be saved");
    restamp(file);
    Settings again;
    loadSettings(again);
    StoredHostList hostsAgain;
    loadHostList(hostsAgain);
    const bool sameMainHost = again.host == loaded.host;
    // An empty Host or RecentList is not written, so the file keeps its own, and QSettings rewrites a key it
    // read under an empty section ("[]") into the general one: such a value is picked up from then on.
    if (loaded.host.empty())
        again.host.clear();
    if (loaded.recentList.empty())
        again.recentList.clear();
    require(again == loaded, "saved settings do not load back unchanged");
    // A main host picked up from "[]" may now repeat an entry, which is then no longer read.
    if (sameMainHost)
        require(hostsAgain == hosts, "a saved host list does not load back unchanged");
    return 0;
}
