#include "app/common/TimeSpanView.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <QComboBox>
#include <QSignalBlocker>

#include "app/common/HistoryFormat.h"

const std::vector<TimeSpanView::Span>& TimeSpanView::presets() {
    static const std::vector<Span> all{
        {"10 minutes", 10 * 60'000LL},  {"1 hour", 3'600'000LL},        {"3 hours", 3 * 3'600'000LL},
        {"24 hours", 24 * 3'600'000LL}, {"30 hours", 30 * 3'600'000LL}, {"7 days", 7 * 86'400'000LL},
        {"10 days", 10 * 86'400'000LL}, {"30 days", 30 * 86'400'000LL}, {"1 year", 365 * 86'400'000LL}};
    return all;
}

std::int64_t TimeSpanView::withinZoom(std::int64_t spanMs) {
    return std::clamp(spanMs, kShortestSpanMs, kLongestSpanMs);
}

TimeSpanView::TimeSpanView(Clock clock, std::int64_t chosenSpanMs)
    : clock_(std::move(clock)), chosenSpanMs_(withinZoom(chosenSpanMs)), shownSpanMs_(chosenSpanMs_) {}

void TimeSpanView::choose(std::int64_t spanMs) {
    chosenSpanMs_ = withinZoom(spanMs);
    show(chosenSpanMs_, std::nullopt);
}

void TimeSpanView::backToNow() {
    show(chosenSpanMs_, std::nullopt);
}

void TimeSpanView::reset(std::int64_t chosenSpanMs) {
    chosenSpanMs_ = withinZoom(chosenSpanMs);
    shownSpanMs_ = chosenSpanMs_;
    shownEndMs_.reset();
}

void TimeSpanView::zoom(double factor, std::int64_t atMs) {
    const std::int64_t end = shownEndMs_.value_or(clock_());
    const std::int64_t from = end - shownSpanMs_;
    const std::int64_t span = withinZoom(std::llround(static_cast<double>(shownSpanMs_) * factor));
    // The moment under the pointer stays under it.
    const double share = std::clamp(static_cast<double>(atMs - from) / static_cast<double>(shownSpanMs_), 0.0, 1.0);
    // Zooming at the newest edge of a view that follows now keeps following it.
    if (!shownEndMs_ && share >= 0.95) {
        show(span, std::nullopt);
        return;
    }
    const std::int64_t newFrom = atMs - std::llround(share * static_cast<double>(span));
    show(span, newFrom + span);
}

void TimeSpanView::pan(std::int64_t earlierByMs) {
    show(shownSpanMs_, shownEndMs_.value_or(clock_()) - earlierByMs);
}

void TimeSpanView::showRange(std::int64_t fromMs, std::int64_t toMs) {
    const std::int64_t span = withinZoom(toMs - fromMs);
    show(span, (fromMs + toMs) / 2 + span / 2);
}

void TimeSpanView::show(std::int64_t spanMs, std::optional<std::int64_t> endMs) {
    shownSpanMs_ = withinZoom(spanMs);
    if (endMs && *endMs >= clock_())
        endMs.reset();
    shownEndMs_ = endMs;
    if (changed)
        changed();
}

TimeSpanView::Range TimeSpanView::range() const {
    const std::int64_t now = clock_();
    const std::int64_t end = shownEndMs_.value_or(now);
    return {end + 1 - shownSpanMs_, end + 1, now};
}

void TimeSpanView::fillBox(QComboBox& box) {
    const QSignalBlocker quiet(box);
    box.clear();
    for (const Span& span : presets())
        box.addItem(QString::fromLatin1(span.label));
}

void TimeSpanView::showIn(QComboBox& box) const {
    const QSignalBlocker quiet(box);
    const auto& all = presets();
    const auto preset =
        std::find_if(all.begin(), all.end(), [this](const Span& span) { return span.ms == shownSpanMs_; });
    const int custom = static_cast<int>(all.size());
    if (preset != all.end()) {
        if (box.count() > custom)
            box.removeItem(custom);
        box.setCurrentIndex(static_cast<int>(preset - all.begin()));
        return;
    }
    const QString length = HistoryFormat::duration(shownSpanMs_);
    if (box.count() > custom)
        box.setItemText(custom, length);
    else
        box.addItem(length);
    box.setCurrentIndex(custom);
}
