#include "app/common/TimeAxis.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <QDateTime>
#include <QFontMetrics>
#include <QPainter>
#include <QRect>

namespace TimeAxis {

namespace {

enum class Unit { Second, Minute, Hour, Day, Month, Year };

struct Step {
    Unit unit;
    int count;
    std::int64_t shortestMs; // a month is at least 28 days, a year 365
};

constexpr std::int64_t kSecond = 1000;
constexpr std::int64_t kDay = 86'400 * kSecond;

// Every step below a day divides a day, so ticks fall on the same local times every day.
constexpr std::array<Step, 27> kSteps{{
    {Unit::Second, 1, kSecond},        {Unit::Second, 2, 2 * kSecond},     {Unit::Second, 5, 5 * kSecond},
    {Unit::Second, 10, 10 * kSecond},  {Unit::Second, 15, 15 * kSecond},   {Unit::Second, 30, 30 * kSecond},
    {Unit::Minute, 1, 60 * kSecond},   {Unit::Minute, 2, 120 * kSecond},   {Unit::Minute, 5, 300 * kSecond},
    {Unit::Minute, 10, 600 * kSecond}, {Unit::Minute, 15, 900 * kSecond},  {Unit::Minute, 30, 1800 * kSecond},
    {Unit::Hour, 1, 3600 * kSecond},   {Unit::Hour, 2, 7200 * kSecond},    {Unit::Hour, 3, 10'800 * kSecond},
    {Unit::Hour, 6, 21'600 * kSecond}, {Unit::Hour, 12, 43'200 * kSecond}, {Unit::Day, 1, kDay},
    {Unit::Day, 2, 2 * kDay},          {Unit::Day, 7, 7 * kDay},           {Unit::Month, 1, 28 * kDay},
    {Unit::Month, 3, 89 * kDay},       {Unit::Month, 6, 181 * kDay},       {Unit::Year, 1, 365 * kDay},
    {Unit::Year, 2, 730 * kDay},       {Unit::Year, 5, 1826 * kDay},       {Unit::Year, 10, 3652 * kDay},
}};

QString label(const QDateTime& at, Unit unit, const QLocale& locale) {
    const bool midnight = at.time() == QTime(0, 0);
    switch (unit) {
    case Unit::Second:
        return midnight ? locale.toString(at.date(), QStringLiteral("d MMM")) : at.toString(QStringLiteral("HH:mm:ss"));
    case Unit::Minute:
    case Unit::Hour:
        return midnight ? locale.toString(at.date(), QStringLiteral("d MMM")) : at.toString(QStringLiteral("HH:mm"));
    case Unit::Day:
        return locale.toString(at.date(), QStringLiteral("d MMM"));
    case Unit::Month:
        return at.date().month() == 1 ? QString::number(at.date().year())
                                      : locale.toString(at.date(), QStringLiteral("MMM"));
    case Unit::Year:
        return QString::number(at.date().year());
    }
    return {};
}

// Whether a day, a month or a year starts a tick: every n-th from the first of the month or the year, but
// not one so near the next month's first that the two labels would meet.
bool onStep(const QDate& date, const Step& step) {
    switch (step.unit) {
    case Unit::Day:
        return (date.day() - 1) % step.count == 0 &&
               (step.count == 1 || date.day() - 1 + step.count <= date.daysInMonth());
    case Unit::Month:
        return date.day() == 1 && (date.month() - 1) % step.count == 0;
    case Unit::Year:
        return date.day() == 1 && date.month() == 1 && date.year() % step.count == 0;
    default:
        return true;
    }
}

} // namespace

std::vector<Tick> ticks(std::int64_t fromMs, std::int64_t toMs, std::int64_t minGapMs, const QTimeZone& zone,
                        const QLocale& locale) {
    std::vector<Tick> out;
    if (toMs < fromMs)
        return out;
    const Step* step = &kSteps.back();
    for (const Step& s : kSteps) {
        if (s.shortestMs >= minGapMs) {
            step = &s;
            break;
        }
    }
    const QDateTime first = QDateTime::fromMSecsSinceEpoch(fromMs, zone);
    QDate date = first.date();
    auto add = [&](const QDateTime& at) {
        if (!at.isValid())
            return true; // a local time that a clock change skips
        const std::int64_t ms = at.toMSecsSinceEpoch();
        // A local time that a clock change skips or repeats gives a moment already there.
        if (ms >= fromMs && ms <= toMs && (out.empty() || ms > out.back().atMs))
            out.push_back({ms, label(at, step->unit, locale)});
        return ms <= toMs;
    };

    if (step->unit == Unit::Second || step->unit == Unit::Minute || step->unit == Unit::Hour) {
        const int perUnit = step->unit == Unit::Second ? 1 : step->unit == Unit::Minute ? 60 : 3600;
        const int stepSeconds = step->count * perUnit;
        int second = first.time().msecsSinceStartOfDay() / 1000 / stepSeconds * stepSeconds;
        for (;;) {
            if (second >= 86'400) {
                date = date.addDays(1);
                second = 0;
            }
            if (!add(QDateTime(date, QTime::fromMSecsSinceStartOfDay(second * 1000), zone)))
                break;
            second += stepSeconds;
        }
        return out;
    }
    if (step->unit != Unit::Day)
        date = QDate(date.year(), step->unit == Unit::Year ? 1 : date.month(), 1);
    for (;;) {
        if (onStep(date, *step) && !add(date.startOfDay(zone)))
            break;
        date = step->unit == Unit::Day     ? date.addDays(1)
               : step->unit == Unit::Month ? date.addMonths(1)
                                           : date.addYears(1);
        if (date.startOfDay(zone).toMSecsSinceEpoch() > toMs)
            break;
    }
    return out;
}

void draw(QPainter& p, const QRect& plot, int labelTop, int widthLimit, std::int64_t fromMs, std::int64_t toMs,
          const QColor& grid, const QColor& text) {
    const QFontMetrics fm = p.fontMetrics();
    const double spacing = fm.horizontalAdvance(QStringLiteral("00:00:00")) * 1.5;
    const double msPerPixel = static_cast<double>(toMs - fromMs) / std::max(1, plot.width());
    for (const Tick& tick : ticks(fromMs, toMs, std::llround(spacing * msPerPixel))) {
        const int x = plot.left() + static_cast<int>(std::lround(static_cast<double>(tick.atMs - fromMs) *
                                                                 plot.width() / static_cast<double>(toMs - fromMs)));
        p.setPen(grid);
        p.drawLine(x, plot.top(), x, plot.bottom());
        const int w = fm.horizontalAdvance(tick.label);
        const int left = std::clamp(x - w / 2, 0, std::max(0, widthLimit - w));
        p.setPen(text);
        p.drawText(QRect(left, labelTop, w, fm.height()), Qt::AlignCenter, tick.label);
    }
}

} // namespace TimeAxis
