#include <utility>

#include "engine/ProbeHub.h"
#include "monitor/HostRunner.h"

namespace {

class HubRunner : public HostRunner {
public:
    HubRunner(WindowPort& face, AlertSink* alerts, const std::vector<ProbeObserver*>& observers) : hub_(face, alerts) {
        for (ProbeObserver* observer : observers)
            hub_.addObserver(*observer);
        hub_.start();
    }
    void startRun(RunId run, RunSettings settings) override { hub_.startRun(run, std::move(settings)); }
    void stopRun(RunId run) override { hub_.stopRun(run); }
    void resetRun(RunId run) override { hub_.resetRun(run); }
    void loggingOff(RunId run) override { hub_.loggingOff(run); }

private:
    ProbeHub hub_;
};

} // namespace

std::unique_ptr<HostRunner> makeHubRunner(WindowPort& face, AlertSink* alerts,
                                          const std::vector<ProbeObserver*>& observers) {
    return std::make_unique<HubRunner>(face, alerts, observers);
}
