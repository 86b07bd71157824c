#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "types/PathObserver.h"
#include "types/ProbeObserver.h"

class HistoryLedger;

// Hands every probe of every run to the history ledger, whichever way the run was started. The ledger only
// queues, so the worker is never held up; it is set when the file is first opened, before a run starts, and
// swapped between runs when the retention changes. Without one, probes are not kept. The traces of watched
// paths and their route changes go the same way.
class HistoryRecorder : public ProbeObserver, public PathObserver {
public:
    explicit HistoryRecorder(std::shared_ptr<HistoryLedger> ledger);

    void setLedger(std::shared_ptr<HistoryLedger> ledger);
    [[nodiscard]] std::shared_ptr<HistoryLedger> ledger() const;

    // Probing thread.
    void probed(const ProbeEvent& event) noexcept override;
    // The run has ended, so its host's open outage and status band end here; other hosts' runs go on.
    void runEnded(RunId run, std::int64_t atMs) noexcept override;

    // A path trace's thread.
    void pathTraced(const PathTrace& trace) noexcept override;
    void routeChanged(const RouteChange& change) noexcept override;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<HistoryLedger> ledger_;
    std::map<RunId, std::string> runHosts_; // the host each run probed last
};
