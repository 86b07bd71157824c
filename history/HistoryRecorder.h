#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "types/ProbeObserver.h"

class HistoryLedger;

// Hands every probe of every run to the history ledger, whichever way the run was started. The ledger only
// queues, so the worker is never held up; it is set when the file is first opened, before a run starts, and
// swapped between runs when the retention changes. Without one, probes are not kept.
class HistoryRecorder : public ProbeObserver {
public:
    explicit HistoryRecorder(std::shared_ptr<HistoryLedger> ledger);

    void setLedger(std::shared_ptr<HistoryLedger> ledger);
    [[nodiscard]] std::shared_ptr<HistoryLedger> ledger() const;

    // Probing thread.
    void probed(const ProbeEvent& event) noexcept override;
    // The run has ended, so an open outage and the status band end here.
    void runEnded(RunId run, std::int64_t atMs) noexcept override;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<HistoryLedger> ledger_;
};
