// gui_tray_cpu_per_probe_ratio_vs_ping: as gui_running_cpu_per_probe_ratio_vs_ping, with the program started in
// a notification area (trayer on the private display, `/tray`), so its window is hidden all along: what a
// probe costs the program that nobody looks at, against ping's. Two minutes; OSTREVO_BENCH_SECONDS shortens it.

#include "GuiBench.h"

int main() {
    GuiBench::printRatioVsPing("gui_tray_cpu_per_probe_ratio_vs_ping", true, GuiBench::span(std::chrono::seconds(120)));
    return 0;
}
