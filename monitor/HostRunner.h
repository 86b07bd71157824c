#pragma once

#include <memory>
#include <vector>

#include "engine/AlertSink.h"
#include "engine/HubSocket.h"
#include "engine/RunSettings.h"
#include "engine/WindowPort.h"
#include "types/ProbeObserver.h"

// What probes the watched hosts: the program's and the service's is a ProbeHub; tests script one.
class HostRunner {
public:
    virtual ~HostRunner() = default;
    virtual void startRun(RunId run, RunSettings settings) = 0;
    virtual void stopRun(RunId run) = 0;
    virtual void resetRun(RunId run) = 0;
    virtual void loggingOff(RunId run) = 0;
};

// A ProbeHub with the observers registered and its thread started; `face` and `alerts` outlive it, and so do
// the observers. Ending it ends every run without reports and joins its thread. Its sockets come from `sockets`,
// the kernel's when empty.
[[nodiscard]] std::unique_ptr<HostRunner> makeHubRunner(WindowPort& face, AlertSink* alerts,
                                                        const std::vector<ProbeObserver*>& observers,
                                                        HubSocket::Opener sockets = {});
