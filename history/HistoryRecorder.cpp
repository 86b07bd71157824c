#include "history/HistoryRecorder.h"

#include "history/HistoryLedger.h"

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
        if (ledger_)
            ledger_->record(std::move(sample));
    } catch (...) {
        // Out of memory for one copy: that probe is missing from the history, monitoring goes on.
    }
}

void HistoryRecorder::runEnded(RunId, std::int64_t atMs) noexcept {
    try {
        if (std::shared_ptr<HistoryLedger> ledger = this->ledger())
            ledger->endRun(atMs);
    } catch (...) {
        // Out of memory for the queue entry: the ledger closes the run when it next opens.
    }
}
