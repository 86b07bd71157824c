#include "app/history/LatencyGraph.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include <QDateTime>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <QWheelEvent>

#include "app/common/HistoryFormat.h"
#include "app/common/RouteChangeMarks.h"
#include "app/common/TimeAxis.h"

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

constexpr int kSpreadAlpha = 45;
constexpr int kCoreAlpha = 100;

// A column where nothing came back: the colour of the full-height mark.
const QColor kNoReply(0xd0, 0x20, 0x20);

// `c` laid over `base` at `alpha`, as an opaque colour for text that cannot blend.
QColor blended(const QColor& c, const QColor& base, int alpha) {
    auto mix = [&](int a, int b) { return (a * alpha + b * (255 - alpha)) / 255; };
    return QColor(mix(c.red(), base.red()), mix(c.green(), base.green()), mix(c.blue(), base.blue()));
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

// The usual distance between the starts of neighbouring points: a line breaks only at a gap well beyond it.
std::int64_t usualGapOf(const std::vector<SeriesPoint>& points) {
    std::vector<std::int64_t> gaps;
    for (std::size_t i = 1; i < points.size(); ++i)
        gaps.push_back(points[i].startMs - points[i - 1].startMs);
    if (gaps.empty())
        return 0;
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2), gaps.end());
    return gaps[gaps.size() / 2];
}

} // namespace

QString LatencyGraph::legendHtml(const QPalette& palette) {
    const QColor base = palette.color(QPalette::Base);
    const QColor smoke = palette.color(QPalette::Text);
    auto swatch = [](const QColor& c, const QString& what) {
        // The entry stays whole; the label wraps only between entries.
        return QStringLiteral("<span style=\"color:%1\">&#x25A0;</span>&nbsp;%2")
            .arg(c.name(), QString(what).replace(QLatin1Char(' '), QStringLiteral("&nbsp;")));
    };
    QStringList entries;
    QStringList shades;
    for (const LossShade& shade : lossShades())
        shades << swatch(shade.colour, QString::fromLatin1(shade.label));
    entries << QStringLiteral("Median&nbsp;line&nbsp;by&nbsp;probes&nbsp;lost: ") + shades.join(QStringLiteral(" "));
    entries << swatch(blended(kNoReply, base, 110), QStringLiteral("no reply at all"));
    entries << swatch(blended(smoke, base, kSpreadAlpha), QStringLiteral("min to max"));
    entries << swatch(blended(smoke, base, kCoreAlpha), QStringLiteral("10th to 90th percentile"));
    entries << swatch(RouteChangeMarks::colour(), QStringLiteral("route change"));
    entries << QStringLiteral("Status&nbsp;band: ") + swatch(kGood, QStringLiteral("Good")) + QStringLiteral(" ") +
                   swatch(kAverage, QStringLiteral("Average")) + QStringLiteral(" ") +
                   swatch(kBad, QStringLiteral("Bad"));
    return entries.join(QStringLiteral(" &nbsp; "));
}

LatencyGraph::LatencyGraph(QWidget* parent)
    : QWidget(parent), gestures_(*this,
                                 {[this](int x) { return timeAt(x); },
                                  [this] { return static_cast<double>(toMs_ - fromMs_) / layout().plot.width(); }},
                                 {[this](double factor, std::int64_t at) { Q_EMIT zoomRequested(factor, at); },
                                  [this](std::int64_t by) { Q_EMIT panRequested(by); },
                                  [this](std::int64_t from, std::int64_t to) { Q_EMIT rangeRequested(from, to); },
                                  {}}) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void LatencyGraph::setCompact(const QString& title) {
    compact_ = true;
    title_ = title;
    setMouseTracking(false);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    updateGeometry();
    update();
}

void LatencyGraph::setCurrent(bool current) {
    if (current != current_) {
        current_ = current;
        update();
    }
}

QSize LatencyGraph::sizeHint() const {
    const QFontMetrics fm = fontMetrics();
    if (compact_)
        return {fm.averageCharWidth() * 22, fm.height() * 4};
    return {fm.averageCharWidth() * 90, fm.height() * 14};
}

QSize LatencyGraph::minimumSizeHint() const {
    const QFontMetrics fm = fontMetrics();
    if (compact_)
        return {fm.averageCharWidth() * 12, fm.height() * 4};
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

std::vector<LatencyGraph::LossPeriod> LatencyGraph::lossPeriods(const std::vector<Outage>& outages,
                                                                std::int64_t nowMs) {
    std::vector<LossPeriod> out;
    for (const Outage& outage : outages)
        if (outage.firstErrorMs)
            out.push_back({outage.startMs, std::max(outage.endMs.value_or(nowMs), outage.startMs)});
    return out;
}

void LatencyGraph::setLossPeriods(std::vector<LossPeriod> periods) {
    lossPeriods_ = std::move(periods);
    update();
}

void LatencyGraph::setRouteChanges(std::vector<RouteChange> changes) {
    if (changes == routeChanges_)
        return;
    routeChanges_ = std::move(changes);
    update();
}

QColor LatencyGraph::overlayColour(std::size_t index) {
    static const std::array<QColor, 6> colours{
        QColor(0xf0, 0x8c, 0x00), QColor(0x00, 0xa3, 0x9a), QColor(0xa0, 0x60, 0x30),
        QColor(0x6b, 0x7a, 0x8f), QColor(0x8c, 0x9a, 0x00), QColor(0xc0, 0x40, 0x80),
    };
    return colours[index % colours.size()];
}

void LatencyGraph::setOverlays(std::vector<Overlay> overlays, const QString& host) {
    overlays_ = std::move(overlays);
    host_ = host;
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
    // Overlays show only their medians: those must fit, their spread need not.
    std::int64_t overlayTop = 0;
    for (const Overlay& overlay : overlays_)
        for (const SeriesPoint& point : overlay.points)
            if (point.stats.replies() > 0)
                overlayTop = std::max(overlayTop, point.stats.quantileUs(0.5));
    // A lone spike runs off the top rather than flattening everything else; the tooltip still tells it.
    std::int64_t wanted = highP90 > 0 && highest > 2 * highP90 ? 2 * highP90 : highest;
    wanted = std::max(wanted, overlayTop);
    // Some room above, so a steady line is not drawn on the frame.
    wanted = std::max<std::int64_t>(wanted + wanted / 20, 1);
    if ((points_.empty() || highest == 0) && overlayTop == 0)
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
    if (compact_) {
        // The title above, a thin status band below, no labels.
        const int bandHeight = std::max(2, fm.height() / 6);
        const int top = fm.height() + 2;
        Layout l;
        l.plot = QRect(1, top, std::max(1, width() - 2), std::max(1, height() - top - bandHeight - 3));
        l.band = QRect(l.plot.left(), l.plot.bottom() + 2, l.plot.width(), bandHeight);
        l.labelTop = height();
        return l;
    }
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

std::int64_t LatencyGraph::timeAt(int x) const {
    const QRect plot = layout().plot;
    const double share = static_cast<double>(std::clamp(x, plot.left(), plot.right() + 1) - plot.left()) / plot.width();
    return fromMs_ + std::llround(share * static_cast<double>(toMs_ - fromMs_));
}

int LatencyGraph::yOf(const QRect& plot, std::int64_t us) const {
    const double share = static_cast<double>(std::clamp<std::int64_t>(us, 0, axisTopUs_)) / axisTopUs_;
    return plot.bottom() - static_cast<int>(std::lround(share * (plot.height() - 1)));
}

const SeriesPoint* LatencyGraph::pointAt(int x) const {
    return pointIn(points_, x);
}

const SeriesPoint* LatencyGraph::pointIn(const std::vector<SeriesPoint>& points, int x) const {
    const QRect plot = layout().plot;
    if (x < plot.left() || x > plot.right() || points.empty())
        return nullptr;
    auto it = std::upper_bound(points.begin(), points.end(), x, [&](int px, const SeriesPoint& p) {
        return px < static_cast<int>(std::floor(xOf(plot, p.startMs)));
    });
    if (it == points.begin())
        return nullptr;
    --it;
    const int end = std::max(static_cast<int>(std::ceil(xOf(plot, it->endMs))),
                             static_cast<int>(std::floor(xOf(plot, it->startMs))) + 1);
    return x < end ? &*it : nullptr;
}

QString LatencyGraph::toolTipAt(int x) const {
    const QString figures = figuresAt(x);
    if (compact_)
        return figures;
    // A route change says what changed above the figures of its column.
    return RouteChangeMarks::withChangeAt(x, layout().plot, fromMs_, toMs_, routeChanges_, figures,
                                          fontMetrics().averageCharWidth());
}

QString LatencyGraph::figuresAt(int x) const {
    const SeriesPoint* point = pointAt(x);
    if (point == nullptr && !overlays_.empty()) {
        // Only an overlaid host probed here: its medians alone.
        QStringList lines;
        for (const Overlay& overlay : overlays_)
            if (const SeriesPoint* other = pointIn(overlay.points, x); other != nullptr)
                lines << overlay.host + QStringLiteral(": ") +
                             (other->stats.replies() > 0
                                  ? QStringLiteral("median %1")
                                        .arg(HistoryFormat::milliseconds(other->stats.quantileUs(0.5)))
                                  : QStringLiteral("no replies"));
        return lines.join(QLatin1Char('\n'));
    }
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
                     .arg(HistoryFormat::milliseconds(s.quantileUs(0.1)),
                          HistoryFormat::milliseconds(s.quantileUs(0.9)))
              << QStringLiteral("Min \u2013 max %1 \u2013 %2")
                     .arg(HistoryFormat::milliseconds(s.minUs()), HistoryFormat::milliseconds(s.maxUs()));
    } else {
        lines << QStringLiteral("No replies");
    }
    lines << QStringLiteral("Lost %1 of %2 (%3)").arg(s.lost()).arg(s.sent()).arg(percent(s.lost(), s.sent()));
    if (!overlays_.empty()) {
        lines.insert(1, host_);
        for (const Overlay& overlay : overlays_) {
            const SeriesPoint* other = pointIn(overlay.points, x);
            if (other == nullptr)
                continue;
            lines
                << overlay.host + QStringLiteral(": ") +
                       (other->stats.replies() > 0
                            ? QStringLiteral("median %1").arg(HistoryFormat::milliseconds(other->stats.quantileUs(0.5)))
                            : QStringLiteral("no replies"));
        }
    }
    return lines.join(QLatin1Char('\n'));
}

bool LatencyGraph::event(QEvent* event) {
    if (!compact_ && gestures_.toolTip(event, [this](const QPoint& at) { return toolTipAt(at.x()); }))
        return true;
    return QWidget::event(event);
}

void LatencyGraph::mousePressEvent(QMouseEvent* event) {
    if (!compact_)
        gestures_.press(event);
    else if (event->button() == Qt::LeftButton)
        Q_EMIT chosen();
}

void LatencyGraph::mouseReleaseEvent(QMouseEvent* event) {
    gestures_.release(event);
    update();
}

void LatencyGraph::wheelEvent(QWheelEvent* event) {
    if (compact_)
        event->ignore();
    else
        gestures_.wheel(event);
}

void LatencyGraph::keyPressEvent(QKeyEvent* event) {
    if (compact_ &&
        (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        Q_EMIT chosen();
        return;
    }
    QWidget::keyPressEvent(event);
}

void LatencyGraph::mouseMoveEvent(QMouseEvent* event) {
    hoverX_ = static_cast<int>(event->position().x());
    gestures_.move(event);
    if (gestures_.selectingFrom()) {
        update();
        return;
    }
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
    const QColor text = palette().color(QPalette::Text);
    if (compact_) {
        const QFontMetrics fm = fontMetrics();
        const QRect titleRect(l.plot.left() + 2, 0, l.plot.width() - 4, fm.height());
        p.setPen(palette().color(QPalette::WindowText));
        QFont bold = font();
        bold.setBold(current_);
        p.setFont(bold);
        p.drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter, title_);
        p.setFont(font());
        if (!points_.empty()) {
            p.setPen(withAlpha(palette().color(QPalette::WindowText), 170));
            p.drawText(titleRect, Qt::AlignRight | Qt::AlignVCenter, tickLabel(axisTopUs_, axisStepUs_));
        }
        drawSeries(p, l.plot);
        drawStatusBand(p, l.band);
        const QRect frame = l.plot.united(l.band).adjusted(-1, -1, 0, 0);
        p.setBrush(Qt::NoBrush);
        if (current_ || hasFocus())
            p.setPen(QPen(palette().color(QPalette::Highlight), 2));
        else
            p.setPen(QPen(withAlpha(text, 90), 1));
        p.drawRect(frame);
        return;
    }
    drawAxes(p, l);
    drawSeries(p, l.plot);
    drawOverlays(p, l.plot);
    RouteChangeMarks::draw(p, l.plot, fromMs_, toMs_, routeChanges_);
    drawStatusBand(p, l.band);
    drawOverlayLegend(p, l.plot);
    if (points_.empty() && overlays_.empty()) {
        p.setPen(withAlpha(text, 160));
        p.drawText(l.plot, Qt::AlignCenter, QStringLiteral("No probes in this span"));
    }
    if (const std::optional<int> from = gestures_.selectingFrom()) {
        const int a = std::clamp(std::min(*from, hoverX_), l.plot.left(), l.plot.right());
        const int b = std::clamp(std::max(*from, hoverX_), l.plot.left(), l.plot.right());
        p.fillRect(QRect(a, l.plot.top(), b - a + 1, l.plot.height()),
                   withAlpha(palette().color(QPalette::Highlight), 60));
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

    // Labels at least one and a half of their width apart, on whole local units that suit the span.
    TimeAxis::draw(p, plot, l.labelTop, width(), fromMs_, toMs_, grid, text);
}

void LatencyGraph::drawSeries(QPainter& p, const QRect& plot) const {
    p.save();
    p.setClipRect(plot);
    // Grey smoke under a coloured line: the spread never competes with the loss colours.
    const QColor smoke = palette().color(QPalette::Text);
    const QColor spread = withAlpha(smoke, kSpreadAlpha);
    const QColor core = withAlpha(smoke, kCoreAlpha);

    auto columnOf = [&](const SeriesPoint& point) {
        const int x0 = static_cast<int>(std::floor(xOf(plot, point.startMs)));
        const int x1 = static_cast<int>(std::ceil(xOf(plot, point.endMs)));
        return std::pair{x0, std::max(1, x1 - x0)};
    };

    // Only a column where nothing came back, and an outage of lost replies from end to end, is marked over the
    // whole height, under the spread: a few lost probes tint the median line instead, so they never look like
    // an outage. One shape for all, so a column inside an outage is not marked twice as dark.
    QPainterPath marks;
    marks.setFillRule(Qt::WindingFill);
    for (const SeriesPoint& point : points_) {
        if (point.stats.sent() == 0 || point.stats.replies() > 0)
            continue;
        const auto [x, w] = columnOf(point);
        marks.addRect(QRect(x, plot.top(), w, plot.height()));
    }
    for (const LossPeriod& period : lossPeriods_) {
        if (period.toMs < fromMs_ || period.fromMs >= toMs_)
            continue;
        const int x0 = static_cast<int>(std::floor(xOf(plot, std::max(period.fromMs, fromMs_))));
        const int x1 = static_cast<int>(std::ceil(xOf(plot, std::min(period.toMs, toMs_))));
        marks.addRect(QRect(x0, plot.top(), std::max(1, x1 - x0), plot.height()));
    }
    if (!marks.isEmpty())
        p.fillPath(marks.simplified(), withAlpha(kNoReply, 110));

    // Probes sparser than the columns leave empty columns between them; the line only breaks at a gap well
    // beyond the usual spacing (a stopped run) or at a column without a reply.
    const std::int64_t usualGap = usualGapOf(points_);
    struct Median {
        QPointF at;
        int shade;
    };
    std::vector<std::vector<Median>> medians;
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
        medians.back().push_back({QPointF(middle, yOf(plot, s.quantileUs(0.5)) + 0.5), lossShade(s.lost(), s.sent())});
        previous = &point;
    }

    // Each column's colour from halfway to its neighbours, so a lone lossy column shows at its own place.
    QPen line(Qt::black, compact_ ? 1.25 : 2.0);
    line.setJoinStyle(Qt::RoundJoin);
    line.setCapStyle(Qt::FlatCap);
    p.setRenderHint(QPainter::Antialiasing, true);
    auto colourOf = [](int shade) { return lossShades()[static_cast<std::size_t>(shade)].colour; };
    for (const std::vector<Median>& run : medians) {
        for (std::size_t i = 0; i < run.size(); ++i) {
            line.setColor(colourOf(run[i].shade));
            p.setPen(line);
            const QPointF at = run[i].at;
            const QPointF before = i > 0 ? (run[i - 1].at + at) / 2.0 : at - QPointF(1.5, 0);
            const QPointF after = i + 1 < run.size() ? (at + run[i + 1].at) / 2.0 : at + QPointF(1.5, 0);
            p.drawPolyline(QPolygonF{before, at, after});
        }
    }
    p.restore();
}

void LatencyGraph::drawOverlays(QPainter& p, const QRect& plot) const {
    if (overlays_.empty())
        return;
    p.save();
    p.setClipRect(plot);
    p.setRenderHint(QPainter::Antialiasing, true);
    for (const Overlay& overlay : overlays_) {
        // Breaks as the host's own line would: at a column without a reply and at a stopped run.
        const std::int64_t usualGap = usualGapOf(overlay.points);
        std::vector<QPolygonF> lines;
        const SeriesPoint* previous = nullptr;
        for (const SeriesPoint& point : overlay.points) {
            if (point.stats.replies() == 0) {
                previous = nullptr;
                continue;
            }
            const std::int64_t step = point.endMs - point.startMs;
            if (previous == nullptr || point.startMs - previous->startMs > std::max(usualGap * 5 / 2, step * 3 / 2))
                lines.emplace_back();
            const double middle = (xOf(plot, point.startMs) + xOf(plot, point.endMs)) / 2.0;
            lines.back() << QPointF(middle, yOf(plot, point.stats.quantileUs(0.5)) + 0.5);
            previous = &point;
        }
        QPen pen(overlay.colour, 1.75);
        pen.setJoinStyle(Qt::RoundJoin);
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        for (const QPolygonF& line : lines) {
            if (line.size() == 1)
                p.drawPoint(line.front());
            else
                p.drawPolyline(line);
        }
    }
    p.restore();
}

void LatencyGraph::drawOverlayLegend(QPainter& p, const QRect& plot) const {
    if (overlays_.empty())
        return;
    const QFontMetrics fm = fontMetrics();
    const int swatch = fm.averageCharWidth() * 3;
    const int pad = std::max(3, fm.height() / 4);
    std::vector<std::pair<QString, QColor>> entries{{host_, lossShades()[0].colour}};
    for (const Overlay& overlay : overlays_)
        entries.emplace_back(overlay.host, overlay.colour);
    QFont bold = font();
    bold.setBold(true);
    int textWidth = QFontMetrics(bold).horizontalAdvance(host_);
    for (const Overlay& overlay : overlays_)
        textWidth = std::max(textWidth, fm.horizontalAdvance(overlay.host));
    // Within the plot, whatever the names: a long one is elided.
    const int width = std::min(plot.width() - 2 * pad, swatch + textWidth + 3 * pad + 2);
    const int height = static_cast<int>(entries.size()) * fm.height() + 2 * pad;
    const QRect box(plot.left() + pad, plot.top() + pad, width, std::min(height, plot.height() - 2 * pad));
    if (box.width() <= swatch + 2 * pad || box.height() <= 0)
        return;
    p.save();
    p.setClipRect(box);
    QColor back = palette().color(QPalette::Base);
    back.setAlpha(215);
    p.fillRect(box, back);
    p.setPen(QPen(withAlpha(palette().color(QPalette::Text), 90), 1));
    p.drawRect(box.adjusted(0, 0, -1, -1));
    p.setRenderHint(QPainter::Antialiasing, true);
    int y = box.top() + pad;
    for (std::size_t i = 0; i < entries.size(); ++i, y += fm.height()) {
        const int middle = y + fm.height() / 2;
        p.setPen(QPen(entries[i].second, i == 0 ? 2.0 : 1.75));
        p.drawLine(QPointF(box.left() + pad, middle + 0.5), QPointF(box.left() + pad + swatch, middle + 0.5));
        const QRect label(box.left() + 2 * pad + swatch, y, box.right() - pad - (box.left() + 2 * pad + swatch),
                          fm.height());
        QFont font = p.font();
        font.setBold(i == 0); // the host whose band and spread are shown
        p.setFont(font);
        p.setPen(palette().color(QPalette::Text));
        p.drawText(label, Qt::AlignLeft | Qt::AlignVCenter,
                   QFontMetrics(font).elidedText(entries[i].first, Qt::ElideMiddle, label.width()));
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
