// How long one save of the host list takes on the window thread after a single edit, with 1,000 and 10,000
// hosts in the file: the save reads the file as it is now and merges the list into it. Prints
// "host_list_save_ms_<hosts>: N", the median of five saves.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "settings/HostListFile.h"

namespace {

double medianSaveMs(std::size_t hosts) {
    StoredHostList list;
    for (std::size_t i = 0; i < hosts; ++i) {
        StoredHost host;
        host.settings.host = "host-" + std::to_string(i) + ".example";
        host.running = i % 2 == 0;
        list.hosts.push_back(std::move(host));
    }
    StoredTexts known;
    saveChangedHostList(list, known);
    known.clear();
    loadHostList(list, &known);
    std::vector<double> times;
    for (int round = 0; round < 5; ++round) {
        list.hosts[hosts / 2].settings.buffer = 64 + round;
        const auto start = std::chrono::steady_clock::now();
        saveChangedHostList(list, known);
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main() {
    char folderTemplate[] = "/tmp/ostrevo-host-list-bench-XXXXXX";
    const char* home = mkdtemp(folderTemplate);
    if (!home) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("XDG_CONFIG_HOME", home, 1);
    for (const std::size_t hosts : {1000U, 10000U}) {
        std::filesystem::remove_all(std::filesystem::path(home) / "Quorvan Corporation");
        std::printf("host_list_save_ms_%zu: %.1f\n", hosts, medianSaveMs(hosts));
    }
    std::filesystem::remove_all(home);
    return 0;
}
