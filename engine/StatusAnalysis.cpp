#include "engine/StatusAnalysis.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "types/Rounding.h"

namespace {

[[nodiscard]] bool isGood(std::int32_t slot) {
    return slot >= 0;
}
[[nodiscard]] bool isFailed(std::int32_t slot) {
    return slot < kSlotEmpty;
}

} // namespace

void StatusAnalysis::beginRun(const RunSettings& run) {
    run_ = &run;
    wasUp_ = false;
    wasDown_ = false;
}

StatusAnalysis::Decision StatusAnalysis::analyse(ResultRing& ring) {
    Decision ctx;
    if (run_ == nullptr)
        return ctx;
    switch (run_->analysisMode) {
    case AnalysisMode::Tries:
        byTries(ring, ctx);
        break;
    case AnalysisMode::Percent:
        byLossPercent(ring, ctx);
        break;
    case AnalysisMode::Time:
        byAverageTime(ring, ctx);
        break;
    }
    ctx.status = status_;
    return ctx;
}

void StatusAnalysis::byTries(ResultRing& ring, Decision& ctx) {
    // Clamped like the stored setting so that a hand-made snapshot can never read past the ring.
    const auto tries = std::clamp<std::uint32_t>(run_->tries, 1, kRingSlots);
    std::uint32_t good = 0;
    std::uint32_t failed = 0;
    for (std::uint32_t i = 0; i < tries; ++i) {
        good += isGood(ring.values[i]) ? 1 : 0;
        failed += isFailed(ring.values[i]) ? 1 : 0;
    }
    if (ring.index >= tries)
        ring.index = 0;

    if (good == tries)
        enterGood(ctx);
    if ((wasDown_ && good > 0 && good < tries) || (wasUp_ && failed > 0 && failed < tries))
        enterAverage(ctx);
    if (failed == tries)
        enterBad(ctx);
}

void StatusAnalysis::byLossPercent(const ResultRing& ring, Decision& ctx) {
    const auto good = static_cast<std::uint32_t>(std::count_if(ring.values.begin(), ring.values.end(), isGood));
    const auto failed = static_cast<std::uint32_t>(std::count_if(ring.values.begin(), ring.values.end(), isFailed));
    if (good + failed == 0)
        return; // nothing recorded yet: no basis for a decision
    const std::uint32_t percent = Rounding::percent(failed, good + failed);
    const std::uint32_t minPercent = run_->minPercent;
    const std::uint32_t maxPercent = run_->maxPercent;

    if (percent < minPercent)
        enterGood(ctx);
    if (percent >= minPercent && percent <= maxPercent)
        enterAverage(ctx);
    if (percent > maxPercent)
        enterBad(ctx);
}

void StatusAnalysis::byAverageTime(const ResultRing& ring, Decision& ctx) {
    std::uint64_t count = 0;
    std::uint64_t sum = 0; // a failure weighs its 2000 ms
    for (std::int32_t slot : ring.values) {
        if (slot == kSlotEmpty)
            continue;
        ++count;
        sum += static_cast<std::uint64_t>(std::llabs(slot));
    }
    if (count == 0)
        return;
    const std::uint32_t average = Rounding::quotient(sum, count);

    if (average < run_->minTime)
        enterGood(ctx);
    if (average >= run_->minTime && average <= run_->maxTime)
        enterAverage(ctx);
    if (average > run_->maxTime)
        enterBad(ctx);
}

void StatusAnalysis::changeStatus(HostStatus status, Decision& ctx) {
    status_ = status;
    ctx.changed = true;
}

void StatusAnalysis::enterGood(Decision& ctx) {
    if (status_ == HostStatus::Good)
        return;
    changeStatus(HostStatus::Good, ctx);
    if (wasDown_)
        ctx.edge = AlertEdge::StartResponding;
    wasUp_ = true;
    wasDown_ = false;
}

void StatusAnalysis::enterAverage(Decision& ctx) {
    if (status_ != HostStatus::Average)
        changeStatus(HostStatus::Average, ctx);
}

void StatusAnalysis::enterBad(Decision& ctx) {
    if (status_ == HostStatus::Bad)
        return;
    changeStatus(HostStatus::Bad, ctx);
    if (wasUp_)
        ctx.edge = AlertEdge::StopResponding;
    else if (!wasDown_)
        ctx.downAtStart = true;
    wasDown_ = true;
    wasUp_ = false;
}
