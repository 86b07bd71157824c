// gui_running_cpu_per_probe_ratio_vs_ping: the program with `/start /i=1 127.0.0.1` on a private Xvfb display,
// its window shown, history on, and `ping -i 1 127.0.0.1`, side by side in one private network namespace for two
// minutes. The figure is the program's CPU time per probe divided by ping's, start-up left out of both: the count
// starts after a few seconds, once both are probing. OSTREVO_BENCH_SECONDS shortens the span for a quick look;
// the figure printed without it is the two-minute one. OSTREVO_BENCH_PROGRAM measures another build.

#include "GuiBench.h"

int main() {
    GuiBench::printRatioVsPing("gui_running_cpu_per_probe_ratio_vs_ping", false,
                               GuiBench::span(std::chrono::seconds(120)));
    return 0;
}
