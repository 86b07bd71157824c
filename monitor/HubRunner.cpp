#include <utility>

#include "engine/KernelHubSocket.h"
#include "engine/ProbeHub.h"
#include "monitor/HostRunner.h"

namespace {

class HubRunner : public HostRunner {
public:
    HubRunner(WindowPort& face, AlertSink* alerts, const std::vector<ProbeObserver*>& observers,
              HubSocket::Opener sockets)
        : hub_(face, alerts, sockets ? std::move(sockets) : KernelHubSocket::opener(IcmpSocket::Preference::Auto)) {
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
                                          const std::vector<ProbeObserver*>& observers, HubSocket::Opener sockets) {
    return std::make_unique<HubRunner>(face, alerts, observers, std::move(sockets));
}
