#include "history/HistoryRecorder.h"

#include "history/HistoryLedger.h"

#include <new>

HistoryRecorder::HistoryRecorder(std::shared_ptr<HistoryLedger> ledger) : ledger_(std::move(ledger)) {}

void HistoryRecorder::setLedger(std::shared_ptr<HistoryLedger> ledger) {
    std::lock_guard lock(mutex_);
    ledger_ = std::move(ledger);
}

std::shared_ptr<HistoryLedger> HistoryRecorder::ledger() const {
    std::lock_guard lock(mutex_);
    return ledger_;
}

void HistoryRecorder::probed(const ProbeEvent& event) noexcept {
    try {
        ProbeSample sample{event.unixMs,
                           event.host,
                           event.address,
                           event.rttUs ? std::optional<std::int64_t>(*event.rttUs) : std::nullopt,
                           event.status,
                           event.ttl ? std::optional<int>(*event.ttl) : std::nullopt,
                           static_cast<std::uint8_t>(event.hostStatus)};
        std::lock_guard lock(mutex_);
        auto [known, added] = runHosts_.try_emplace(event.run, event.host);
        if (!added && known->second != event.host) {
            // The run was started again on another host without an end in between: the old host's run is over.
            if (ledger_)
                ledger_->endRun(known->second, event.unixMs);
            known->second = event.host;
        }
        if (ledger_)
            ledger_->record(std::move(sample));
    } catch (...) {
        // Out of memory for one copy: that probe is missing from the history, monitoring goes on.
    }
}

void HistoryRecorder::runEnded(RunId run, std::int64_t atMs) noexcept {
    try {
        std::string host;
        std::shared_ptr<HistoryLedger> ledger;
        {
            std::lock_guard lock(mutex_);
            const auto found = runHosts_.find(run);
            // A run that never probed has nothing in the ledger to end.
            if (found == runHosts_.end())
                return;
            host = std::move(found->second);
            runHosts_.erase(found);
            ledger = ledger_;
        }
        if (ledger)
            ledger->endRun(host, atMs);
    } catch (...) {
        // Out of memory for the queue entry: the ledger closes the run when it next opens.
    }
}

void HistoryRecorder::pathTraced(const PathTrace& trace) noexcept {
    try {
        if (const std::shared_ptr<HistoryLedger> ledger = this->ledger())
            ledger->recordPath(trace);
    } catch (const std::bad_alloc&) {
        // A minute of the path missed for want of memory must not end the program.
    }
}

void HistoryRecorder::routeChanged(const RouteChange& change) noexcept {
    try {
        if (const std::shared_ptr<HistoryLedger> ledger = this->ledger())
            ledger->recordRouteChange(change);
    } catch (const std::bad_alloc&) {
    }
}
