#include "app/LatencyGraph.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <QDateTime>
#include <QHelpEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

#include "app/HistoryFormat.h"

namespace {

constexpr std::int64_t kMinuteMs = 60'000;
constexpr std::int64_t kHourMs = 60 * kMinuteMs;
constexpr std::int64_t kDayMs = 24 * kHourMs;

// Traffic lights, the same in a light and a dark theme: they stand for states, not for the theme.
const QColor kGood(0x2e, 0xa0, 0x43);
const QColor kAverage(0xe6, 0xb4, 0x00);
const QColor kBad(0xd9, 0x30, 0x25);

QColor withAlpha(QColor c, int alpha) {
    c.setAlpha(alpha);
    return c;
}

// Amber for a stray loss, through orange to red when nothing came back.
QColor lossColour(double share) {
    return QColor::fromHsv(static_cast<int>(std::lround(45.0 * (1.0 - std::clamp(share, 0.0, 1.0)))), 235, 225);
}

QString percent(std::uint64_t part, std::uint64_t whole) {
    const double p = whole == 0 ? 0.0 : static_cast<double>(part) * 100.0 / static_cast<double>(whole);
    return QString::number(p, 'f', part != 0 && part != whole && p < 10.0 ? 1 : 0) + QStringLiteral(" %");
}

// Number of decimals that tells axis ticks `stepUs` apart.
int tickDecimals(std::int64_t stepUs) {
    return stepUs < 10 ? 3 : stepUs < 100 ? 2 : stepUs < 1'000 ? 1 : 0;
}

QString tickLabel(std::int64_t us, std::int64_t stepUs) {
    return QString::number(static_cast<double>(us) / 1000.0, 'f', tickDecimals(stepUs)) + QStringLiteral(" ms");
}

} // namespace

LatencyGraph::LatencyGraph(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

QSize LatencyGraph::sizeHint() const {
    const QFontMetrics fm = fontMetrics();
    return {fm.averageCharWidth() * 90, fm.height() * 14};
}

QSize LatencyGraph::minimumSizeHint() const {
    const QFontMetrics fm = fontMetrics();
    return {fm.averageCharWidth() * 40, fm.height() * 7};
}

void LatencyGraph::setData(std::int64_t fromMs, std::int64_t toMs, std::int64_t nowMs, std::vector<SeriesPoint> points,
                           std::vector<StatusChange> statuses) {
    fromMs_ = fromMs;
    toMs_ = std::max(toMs, fromMs + 1);
    nowMs_ = nowMs;
    points_ = std::move(points);
    statuses_ = std::move(statuses);
    chooseAxis();
    update();
}

void LatencyGraph::chooseAxis() {
    std::int64_t highP90 = 0;
    std::int64_t highest = 0;
    for (const SeriesPoint& point : points_) {
        if (point.stats.replies() == 0)
            continue;
        highP90 = std::max(highP90, point.stats.quantileUs(0.9));
        highest = std::max(highest, point.stats.maxUs());
    }
    // A lone spike runs off the top rather than flattening everything else; the tooltip still tells it.
    std::int64_t wanted = highP90 > 0 && highest > 2 * highP90 ? 2 * highP90 : highest;
    wanted = std::max<std::int64_t>(wanted, 1);
    if (points_.empty() || highest == 0)
        wanted = 1'000;
    std::int64_t step = 1;
    for (std::int64_t power = 1;; power *= 10) {
        const std::array<std::int64_t, 3> candidates{power, 2 * power, 5 * power};
        auto fit = std::find_if(candidates.begin(), candidates.end(), [&](std::int64_t s) { return wanted <= 4 * s; });
        if (fit != candidates.end()) {
            step = *fit;
            break;
        }
    }
    axisStepUs_ = step;
    axisTopUs_ = (wanted + step - 1) / step * step;
}

LatencyGraph::Layout LatencyGraph::layout() const {
    const QFontMetrics fm = fontMetrics();
    int labelWidth = 0;
    for (std::int64_t us = 0; us <= axisTopUs_; us += axisStepUs_)
        labelWidth = std::max(labelWidth, fm.horizontalAdvance(tickLabel(us, axisStepUs_)));
    const int pad = fm.averageCharWidth();
    const int left = labelWidth + pad;
    const int right = fm.horizontalAdvance(QStringLiteral("00:00")) / 2 + pad;
    const int top = fm.height() / 2 + 1;
    const int bandHeight = std::max(6, fm.height() * 2 / 3);
    const int gap = std::max(2, fm.height() / 5);
    const int bottom = gap + bandHeight + gap + fm.height();

    Layout l;
    l.plot = QRect(left, top, std::max(1, width() - left - right), std::max(1, height() - top - bottom));
    l.band = QRect(l.plot.left(), l.plot.bottom() + 1 + gap, l.plot.width(), bandHeight);
    l.labelTop = l.band.bottom() + 1 + gap;
    return l;
}

int LatencyGraph::columns() const {
    return layout().plot.width();
}

double LatencyGraph::xOf(const QRect& plot, std::int64_t atMs) const {
    return plot.left() + static_cast<double>(atMs - fromMs_) * plot.width() / static_cast<double>(toMs_ - fromMs_);
}

int LatencyGraph::yOf(const QRect& plot, std::int64_t us) const {
    const double share = static_cast<double>(std::clamp<std::int64_t>(us, 0, axisTopUs_)) / axisTopUs_;
    return plot.bottom() - static_cast<int>(std::lround(share * (plot.height() - 1)));
}

const SeriesPoint* LatencyGraph::pointAt(int x) const {
    const QRect plot = layout().plot;
    if (x < plot.left() || x > plot.right() || points_.empty())
        return nullptr;
    auto it = std::upper_bound(points_.begin(), points_.end(), x, [&](int px, const SeriesPoint& p) {
        return px < static_cast<int>(std::floor(xOf(plot, p.startMs)));
    });
    if (it == points_.begin())
        return nullptr;
    --it;
    const int end = std::max(static_cast<int>(std::ceil(xOf(plot, it->endMs))),
                             static_cast<int>(std::floor(xOf(plot, it->startMs))) + 1);
    return x < end ? &*it : nullptr;
}

QString LatencyGraph::toolTipAt(int x) const {
    const SeriesPoint* point = pointAt(x);
    if (point == nullptr)
        return {};
    const bool longSpan = toMs_ - fromMs_ > kDayMs;
    const QString format = longSpan ? QStringLiteral("d MMM HH:mm") : QStringLiteral("HH:mm:ss");
    const QLocale locale;
    auto at = [&](std::int64_t ms) { return locale.toString(QDateTime::fromMSecsSinceEpoch(ms), format); };
    const RttStats& s = point->stats;
    QStringList lines{at(std::max(point->startMs, fromMs_)) + QStringLiteral(" \u2013 ") +
                      at(std::min(point->endMs, toMs_))};
    if (s.replies() > 0) {
        lines << QStringLiteral("Median %1").arg(HistoryFormat::milliseconds(s.quantileUs(0.5)))
              << QStringLiteral("10th\u201390th percentile %1 \u2013 %2")
                     .arg(HistoryFormat::milliseconds(s.quantileUs(0.1)), HistoryFormat::milliseconds(s.quantileUs(0.9)))
              << QStringLiteral("Min \u2013 max %1 \u2013 %2")
                     .arg(HistoryFormat::milliseconds(s.minUs()), HistoryFormat::milliseconds(s.maxUs()));
    } else {
        lines << QStringLiteral("No replies");
    }
    lines << QStringLiteral("Lost %1 of %2 (%3)").arg(s.lost()).arg(s.sent()).arg(percent(s.lost(), s.sent()));
    return lines.join(QLatin1Char('\n'));
}

bool LatencyGraph::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = toolTipAt(help->pos().x());
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, this);
        return true;
    }
    return QWidget::event(event);
}

void LatencyGraph::mouseMoveEvent(QMouseEvent* event) {
    hoverX_ = static_cast<int>(event->position().x());
    // A tooltip already up follows the pointer from column to column.
    if (QToolTip::isVisible()) {
        const QString text = toolTipAt(hoverX_);
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(event->globalPosition().toPoint(), text, this);
    }
    update();
}

void LatencyGraph::leaveEvent(QEvent* event) {
    hoverX_ = -1;
    update();
    QWidget::leaveEvent(event);
}

void LatencyGraph::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const Layout l = layout();
    p.fillRect(l.plot, palette().color(QPalette::Base));
    drawAxes(p, l);
    drawSeries(p, l.plot);
    drawStatusBand(p, l.band);
    const QColor text = palette().color(QPalette::Text);
    if (points_.empty()) {
        p.setPen(withAlpha(text, 160));
        p.drawText(l.plot, Qt::AlignCenter, QStringLiteral("No probes in this span"));
    }
    if (hoverX_ >= l.plot.left() && hoverX_ <= l.plot.right()) {
        p.setPen(QPen(withAlpha(text, 110), 1));
        p.drawLine(hoverX_, l.plot.top(), hoverX_, l.band.bottom());
    }
    p.setPen(QPen(withAlpha(text, 90), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(l.plot.adjusted(0, 0, -1, -1));
}

void LatencyGraph::drawAxes(QPainter& p, const Layout& l) const {
    const QFontMetrics fm = fontMetrics();
    const QColor text = palette().color(QPalette::WindowText);
    const QColor grid = withAlpha(palette().color(QPalette::Text), 40);
    const QRect& plot = l.plot;

    for (std::int64_t us = 0; us <= axisTopUs_; us += axisStepUs_) {
        const int y = yOf(plot, us);
        p.setPen(grid);
        p.drawLine(plot.left(), y, plot.right(), y);
        p.setPen(text);
        const QRect label(0, y - fm.height() / 2, plot.left() - fm.averageCharWidth() / 2, fm.height());
        p.drawText(label, Qt::AlignRight | Qt::AlignVCenter, tickLabel(us, axisStepUs_));
    }

    // Time ticks on whole local minutes, hours or days, as far apart as a date label needs.
    static constexpr std::array<std::int64_t, 13> steps{
        kMinuteMs,  2 * kMinuteMs, 5 * kMinuteMs, 10 * kMinuteMs, 15 * kMinuteMs, 30 * kMinuteMs, kHourMs,
        2 * kHourMs, 3 * kHourMs,  6 * kHourMs,   12 * kHourMs,   kDayMs,         2 * kDayMs};
    const double spacing = fm.horizontalAdvance(QStringLiteral("00 MMM")) * 1.8;
    const double msPerPixel = static_cast<double>(toMs_ - fromMs_) / plot.width();
    std::int64_t step = 7 * kDayMs;
    for (std::int64_t s : steps) {
        if (s / msPerPixel >= spacing) {
            step = s;
            break;
        }
    }
    const std::int64_t offset = QDateTime::fromMSecsSinceEpoch(fromMs_).offsetFromUtc() * std::int64_t{1000};
    const std::int64_t local = fromMs_ + offset;
    const std::int64_t first = (local / step + (local % step > 0 ? 1 : 0)) * step - offset;
    const QLocale locale;
    for (std::int64_t t = first; t <= toMs_; t += step) {
        const int x = static_cast<int>(std::lround(xOf(plot, t)));
        p.setPen(grid);
        p.drawLine(x, plot.top(), x, plot.bottom());
        const QDateTime at = QDateTime::fromMSecsSinceEpoch(t);
        const bool midnight = (t + offset) % kDayMs == 0;
        const QString label =
            step >= kDayMs || midnight ? locale.toString(at.date(), QStringLiteral("d MMM")) : at.toString(QStringLiteral("HH:mm"));
        const int w = fm.horizontalAdvance(label);
        const int left = std::clamp(x - w / 2, 0, std::max(0, width() - w));
        p.setPen(text);
        p.drawText(QRect(left, l.labelTop, w, fm.height()), Qt::AlignCenter, label);
    }
}

void LatencyGraph::drawSeries(QPainter& p, const QRect& plot) const {
    p.save();
    p.setClipRect(plot);
    const QColor accent = palette().color(QPalette::Highlight);
    const QColor spread = withAlpha(accent, 60);
    const QColor core = withAlpha(accent, 150);
    const int lossStrip = std::max(3, fontMetrics().height() / 4);

    auto columnOf = [&](const SeriesPoint& point) {
        const int x0 = static_cast<int>(std::floor(xOf(plot, point.startMs)));
        const int x1 = static_cast<int>(std::ceil(xOf(plot, point.endMs)));
        return std::pair{x0, std::max(1, x1 - x0)};
    };

    // Losses first, under the spread: a faint column over the whole height and a solid mark on top.
    for (const SeriesPoint& point : points_) {
        if (point.stats.lost() == 0)
            continue;
        const double share = static_cast<double>(point.stats.lost()) / static_cast<double>(point.stats.sent());
        const auto [x, w] = columnOf(point);
        const QColor colour = lossColour(share);
        // A stray loss gets only its mark; the column darkens with the share, so a long view of a line that
        // drops one probe in a few hundred does not turn into a wall of colour.
        if (const int alpha = static_cast<int>(140 * share); alpha >= 6)
            p.fillRect(QRect(x, plot.top(), w, plot.height()), withAlpha(colour, alpha));
        p.fillRect(QRect(x, plot.top(), w, lossStrip), colour);
    }

    // Probes sparser than the columns leave empty columns between them; the line only breaks at a gap well
    // beyond the usual spacing (a stopped run) or at a column without a reply.
    std::vector<std::int64_t> gaps;
    for (std::size_t i = 1; i < points_.size(); ++i)
        gaps.push_back(points_[i].startMs - points_[i - 1].startMs);
    std::int64_t usualGap = 0;
    if (!gaps.empty()) {
        std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2), gaps.end());
        usualGap = gaps[gaps.size() / 2];
    }
    std::vector<QPolygonF> medians;
    const SeriesPoint* previous = nullptr;
    for (const SeriesPoint& point : points_) {
        const RttStats& s = point.stats;
        if (s.replies() == 0) {
            previous = nullptr;
            continue;
        }
        const auto [x, w] = columnOf(point);
        const int yMax = yOf(plot, s.maxUs());
        const int yMin = yOf(plot, s.minUs());
        p.fillRect(QRect(x, yMax, w, yMin - yMax + 1), spread);
        const int y90 = yOf(plot, s.quantileUs(0.9));
        const int y10 = yOf(plot, s.quantileUs(0.1));
        p.fillRect(QRect(x, y90, w, y10 - y90 + 1), core);

        // The line breaks where a column holds no reply or no probe at all.
        const std::int64_t step = point.endMs - point.startMs;
        if (previous == nullptr || point.startMs - previous->startMs > std::max(usualGap * 5 / 2, step * 3 / 2))
            medians.emplace_back();
        const double middle = (xOf(plot, point.startMs) + xOf(plot, point.endMs)) / 2.0;
        medians.back() << QPointF(middle, yOf(plot, s.quantileUs(0.5)) + 0.5);
        previous = &point;
    }

    QPen line(palette().color(QPalette::Text), 1.25);
    line.setJoinStyle(Qt::RoundJoin);
    line.setCapStyle(Qt::RoundCap);
    p.setPen(line);
    p.setRenderHint(QPainter::Antialiasing, true);
    for (const QPolygonF& run : medians) {
        if (run.size() == 1)
            p.drawLine(run.front() - QPointF(1.5, 0), run.front() + QPointF(1.5, 0));
        else
            p.drawPolyline(run);
    }
    p.restore();
}

void LatencyGraph::drawStatusBand(QPainter& p, const QRect& band) const {
    p.fillRect(band, withAlpha(palette().color(QPalette::Text), 25));
    const std::int64_t end = std::min(nowMs_, toMs_);
    for (std::size_t i = 0; i < statuses_.size(); ++i) {
        const std::int64_t from = std::max(statuses_[i].atMs, fromMs_);
        const std::int64_t to = std::min(i + 1 < statuses_.size() ? statuses_[i + 1].atMs : end, end);
        if (to <= from)
            continue;
        QColor colour;
        switch (statuses_[i].status) {
        case 1:
            colour = kBad;
            break;
        case 2:
            colour = kAverage;
            break;
        case 3:
            colour = kGood;
            break;
        default:
            continue; // no run, or no verdict yet
        }
        const int x0 = static_cast<int>(std::floor(xOf(band, from)));
        const int x1 = static_cast<int>(std::ceil(xOf(band, to)));
        p.fillRect(QRect(x0, band.top(), std::max(1, x1 - x0), band.height()), colour);
    }
}
