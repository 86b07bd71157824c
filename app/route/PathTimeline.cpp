#include "app/route/PathTimeline.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <QDateTime>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include "app/common/HistoryFormat.h"
#include "app/common/LossShades.h"
#include "app/common/RouteChangeMarks.h"
#include "app/common/TimeAxis.h"
#include "text/RouteText.h"

namespace {

constexpr std::int64_t kMinuteMs = 60'000;
constexpr std::int64_t kDayMs = 24 * 60 * kMinuteMs;

QColor withAlpha(QColor c, int alpha) {
    c.setAlpha(alpha);
    return c;
}

// Full loss at a hop that answers at other times: the History graph's mark for a column without replies.
const QColor kNoReply(0xd0, 0x20, 0x20);

QString percent(std::uint64_t part, std::uint64_t whole) {
    const double p = whole == 0 ? 0.0 : static_cast<double>(part) * 100.0 / static_cast<double>(whole);
    return QString::number(p, 'f', part != 0 && part != whole && p < 10.0 ? 1 : 0) + QStringLiteral(" %");
}

} // namespace

PathTimeline::PathTimeline(QWidget* parent)
    : QWidget(parent), gestures_(*this,
                                 {[this](int x) { return timeAt(x); },
                                  [this] { return static_cast<double>(toMs_ - fromMs_) / layout().plot.width(); }},
                                 {[this](double factor, std::int64_t at) { Q_EMIT zoomRequested(factor, at); },
                                  [this](std::int64_t by) { Q_EMIT panRequested(by); },
                                  [this](std::int64_t from, std::int64_t to) { Q_EMIT rangeRequested(from, to); },
                                  [this](int x) {
                                      if (x >= layout().plot.left() && x <= layout().plot.right())
                                          Q_EMIT momentChosen(timeAt(x));
                                  }}) {
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAccessibleName(QStringLiteral("Path over time"));
}

void PathTimeline::setData(std::int64_t fromMs, std::int64_t toMs, std::vector<PathMinute> minutes,
                           std::vector<RouteChange> changes) {
    fromMs_ = fromMs;
    toMs_ = std::max(toMs, fromMs + 1);
    minutes_ = std::move(minutes);
    changes_ = std::move(changes);
    std::stable_sort(minutes_.begin(), minutes_.end(),
                     [](const PathMinute& a, const PathMinute& b) { return a.minuteMs < b.minuteMs; });
    std::uint8_t farthest = 0;
    for (const PathMinute& minute : minutes_)
        farthest = std::max(farthest, minute.hop);
    const bool moreLanes = farthest != lanes_.size();
    lanes_.assign(farthest, Lane{});
    for (std::size_t i = 0; i < lanes_.size(); ++i)
        lanes_[i].hop = static_cast<std::uint8_t>(i + 1);
    for (const PathMinute& minute : minutes_) {
        if (minute.hop == 0)
            continue;
        Lane& lane = lanes_[minute.hop - 1u];
        lane.minutes.push_back(&minute);
        if (minute.received() > 0 && !minute.answered.empty()) {
            lane.answers = true;
            lane.address = QString::fromStdString(minute.answered.front().text());
        }
    }
    chooseScale();
    if (moreLanes)
        updateGeometry();
    update();
}

void PathTimeline::setChosen(std::optional<std::int64_t> atMs) {
    if (atMs != chosen_) {
        chosen_ = atMs;
        update();
    }
}

void PathTimeline::chooseScale() {
    std::uint32_t highestAvg = 0;
    std::uint32_t highest = 0;
    for (const PathMinute& minute : minutes_) {
        if (minute.received() == 0)
            continue;
        highestAvg = std::max(highestAvg, minute.avgUs);
        highest = std::max(highest, minute.maxUs);
    }
    // A lone spike runs off the lane rather than flattening every other band; the tooltip still tells it.
    std::uint32_t top = highestAvg > 0 && highest > 2 * highestAvg ? 2 * highestAvg : highest;
    top += top / 10;
    scaleUs_ = std::max<std::uint32_t>(top, 100);
}

QSize PathTimeline::sizeHint() const {
    const QFontMetrics fm = fontMetrics();
    const int lanes = std::max(4, this->lanes());
    return {fm.averageCharWidth() * 90, fm.height() * 3 + lanes * (fm.height() + 6)};
}

QSize PathTimeline::minimumSizeHint() const {
    // Every lane at least a few pixels high, so that the farthest hop never falls off the bottom.
    const QFontMetrics fm = fontMetrics();
    const int lanes = std::max(3, this->lanes());
    return {fm.averageCharWidth() * 50, fm.height() * 3 + lanes * std::max(6, fm.height() / 2)};
}

PathTimeline::Layout PathTimeline::layout() const {
    const QFontMetrics fm = fontMetrics();
    const int pad = fm.averageCharWidth();
    Layout l;
    l.header = 0;
    l.labelLeft = pad / 2;
    const int left = l.labelLeft + fm.horizontalAdvance(QStringLiteral("30")) + pad +
                     fm.horizontalAdvance(QStringLiteral("255.255.255.255")) + pad;
    const int right = fm.horizontalAdvance(QStringLiteral("00:00")) / 2 + pad;
    const int top = fm.height() + 2;
    const int bottom = fm.height() + std::max(2, fm.height() / 4);
    l.plot = QRect(left, top, std::max(1, width() - left - right), std::max(1, height() - top - bottom));
    l.labelTop = l.plot.bottom() + 1 + std::max(2, fm.height() / 5);
    return l;
}

QRect PathTimeline::laneAt(const QRect& plot, int index) const {
    const int count = std::max(1, lanes());
    const int top = plot.top() + index * plot.height() / count;
    const int bottom = plot.top() + (index + 1) * plot.height() / count;
    return QRect(plot.left(), top, plot.width(), std::max(1, bottom - top));
}

QRect PathTimeline::laneRect(int hop) const {
    if (hop < 1 || hop > lanes())
        return {};
    return laneAt(layout().plot, hop - 1);
}

double PathTimeline::xOf(const QRect& plot, std::int64_t atMs) const {
    return plot.left() + static_cast<double>(atMs - fromMs_) * plot.width() / static_cast<double>(toMs_ - fromMs_);
}

int PathTimeline::xAt(std::int64_t atMs) const {
    return static_cast<int>(std::floor(xOf(layout().plot, atMs)));
}

std::int64_t PathTimeline::timeAt(int x) const {
    const QRect plot = layout().plot;
    const double share = static_cast<double>(std::clamp(x, plot.left(), plot.right() + 1) - plot.left()) / plot.width();
    return fromMs_ + std::llround(share * static_cast<double>(toMs_ - fromMs_));
}

int PathTimeline::yOf(const QRect& lane, std::uint32_t us) const {
    const int inner = std::max(1, lane.height() - 4);
    const double share = static_cast<double>(std::min(us, scaleUs_)) / scaleUs_;
    return lane.bottom() - 2 - static_cast<int>(std::lround(share * (inner - 1)));
}

std::vector<PathTimeline::Cell> PathTimeline::cellsOf(const Lane& lane, const QRect& plot) const {
    std::vector<Cell> cells;
    for (const PathMinute* minute : lane.minutes) {
        if (minute->minuteMs + kMinuteMs <= fromMs_ || minute->minuteMs >= toMs_)
            continue;
        const int x0 = static_cast<int>(std::floor(xOf(plot, minute->minuteMs)));
        // Each minute from its pixel column to the next minute's, so that neighbours never share a column unless
        // a column holds several minutes: those are one cell, its loss theirs together.
        const int x1 = std::max(x0 + 1, static_cast<int>(std::floor(xOf(plot, minute->minuteMs + kMinuteMs))));
        if (cells.empty() || x0 >= cells.back().x1) {
            Cell cell;
            cell.x0 = x0;
            cell.fromMs = minute->minuteMs;
            cell.minUs = minute->minUs;
            cell.first = minute;
            cells.push_back(cell);
        }
        Cell& cell = cells.back();
        cell.x1 = std::max(cell.x1, x1);
        cell.toMs = minute->minuteMs + kMinuteMs;
        cell.sent += minute->sent;
        cell.lost += minute->lost;
        if (minute->received() > 0) {
            cell.minUs = cell.avgSum == 0 ? minute->minUs : std::min(cell.minUs, minute->minUs);
            cell.maxUs = std::max(cell.maxUs, minute->maxUs);
            cell.avgSum += static_cast<double>(minute->avgUs) * minute->received();
        }
    }
    return cells;
}

QString PathTimeline::toolTipAt(const QPoint& pos) const {
    return RouteChangeMarks::withChangeAt(pos.x(), layout().plot, fromMs_, toMs_, changes_, figuresAt(pos),
                                          fontMetrics().averageCharWidth());
}

QString PathTimeline::figuresAt(const QPoint& pos) const {
    const Layout l = layout();
    if (!l.plot.contains(pos) || lanes_.empty())
        return {};
    const int index = std::clamp((pos.y() - l.plot.top()) * lanes() / l.plot.height(), 0, lanes() - 1);
    const Lane& lane = lanes_[static_cast<std::size_t>(index)];
    for (const Cell& cell : cellsOf(lane, l.plot)) {
        if (pos.x() < cell.x0 || pos.x() >= cell.x1 || cell.sent == 0)
            continue;
        const QLocale locale;
        const QString format = toMs_ - fromMs_ > kDayMs ? QStringLiteral("d MMM HH:mm") : QStringLiteral("HH:mm");
        auto at = [&](std::int64_t ms) { return locale.toString(QDateTime::fromMSecsSinceEpoch(ms), format); };
        QStringList lines{QStringLiteral("Hop %1, %2 \u2013 %3").arg(lane.hop).arg(at(cell.fromMs), at(cell.toMs))};
        if (cell.received() == 0) {
            lines << (lane.answers ? QStringLiteral("No answer: lost %1 of %1").arg(cell.sent)
                                   : QStringLiteral("No answer from this hop: a router that does not answer"));
            return lines.join(QLatin1Char('\n'));
        }
        QStringList addresses;
        for (const IpAddress& address : cell.first->answered)
            addresses << QString::fromStdString(address.text());
        lines << addresses.join(QStringLiteral(", "));
        const auto average = std::llround(cell.avgSum / static_cast<double>(cell.received()));
        lines << QStringLiteral("Average %1, min \u2013 max %2 \u2013 %3")
                     .arg(HistoryFormat::milliseconds(average), HistoryFormat::milliseconds(cell.minUs),
                          HistoryFormat::milliseconds(cell.maxUs));
        lines << QStringLiteral("Lost %1 of %2 (%3)").arg(cell.lost).arg(cell.sent).arg(percent(cell.lost, cell.sent));
        return lines.join(QLatin1Char('\n'));
    }
    return {};
}

bool PathTimeline::event(QEvent* event) {
    if (gestures_.toolTip(event, [this](const QPoint& at) { return toolTipAt(at); }))
        return true;
    return QWidget::event(event);
}

void PathTimeline::mousePressEvent(QMouseEvent* event) {
    gestures_.press(event);
}

void PathTimeline::mouseMoveEvent(QMouseEvent* event) {
    hoverX_ = static_cast<int>(event->position().x());
    gestures_.move(event);
    update();
}

void PathTimeline::mouseReleaseEvent(QMouseEvent* event) {
    gestures_.release(event);
    update();
}

void PathTimeline::wheelEvent(QWheelEvent* event) {
    gestures_.wheel(event);
}

void PathTimeline::keyPressEvent(QKeyEvent* event) {
    // The minute before the one chosen, or the next one kept after it.
    if (chosen_ && event->key() == Qt::Key_Left) {
        Q_EMIT momentChosen(*chosen_ - 1);
        return;
    }
    if (chosen_ && event->key() == Qt::Key_Right) {
        const auto next = std::upper_bound(minutes_.begin(), minutes_.end(), *chosen_,
                                           [](std::int64_t at, const PathMinute& m) { return at < m.minuteMs; });
        if (next != minutes_.end())
            Q_EMIT momentChosen(next->minuteMs);
        return;
    }
    QWidget::keyPressEvent(event);
}

void PathTimeline::leaveEvent(QEvent* event) {
    hoverX_ = -1;
    update();
    QWidget::leaveEvent(event);
}

void PathTimeline::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const Layout l = layout();
    const QFontMetrics fm = fontMetrics();
    const QColor text = palette().color(QPalette::WindowText);
    const QColor grid = withAlpha(palette().color(QPalette::Text), 40);

    p.setPen(text);
    p.drawText(QRect(l.labelLeft, l.header, l.plot.left() - l.labelLeft, fm.height()), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Hop"));
    if (!lanes_.empty())
        p.drawText(QRect(l.plot.left(), l.header, l.plot.width(), fm.height()), Qt::AlignRight | Qt::AlignVCenter,
                   QStringLiteral("Latency band of each lane: 0 \u2013 %1").arg(HistoryFormat::milliseconds(scaleUs_)));

    p.fillRect(l.plot, palette().color(QPalette::Base));
    // Where lanes are lower than a line of text, a label is left out rather than drawn over the one before.
    int labelFloor = l.plot.top();
    for (int i = 0; i < lanes(); ++i)
        drawLane(p, laneAt(l.plot, i), lanes_[static_cast<std::size_t>(i)], l.plot, labelFloor);
    TimeAxis::draw(p, l.plot, l.labelTop, width(), fromMs_, toMs_, grid, text);
    if (lanes_.empty()) {
        p.setPen(withAlpha(palette().color(QPalette::Text), 160));
        p.drawText(l.plot, Qt::AlignCenter | Qt::TextWordWrap, QStringLiteral("No path kept in this span"));
    }
    RouteChangeMarks::draw(p, l.plot, fromMs_, toMs_, changes_);
    if (chosen_ && *chosen_ >= fromMs_ && *chosen_ < toMs_) {
        const double x0 = xOf(l.plot, *chosen_);
        const double x1 = std::max(x0 + 2.0, xOf(l.plot, *chosen_ + kMinuteMs));
        QColor highlight = palette().color(QPalette::Highlight);
        p.fillRect(QRectF(x0, l.plot.top(), x1 - x0, l.plot.height()), withAlpha(highlight, 70));
        p.setPen(QPen(highlight, 2));
        p.drawLine(QPointF(x0, l.plot.top()), QPointF(x0, l.plot.bottom()));
    }
    if (const std::optional<int> from = gestures_.selectingFrom()) {
        const int a = std::clamp(std::min(*from, hoverX_), l.plot.left(), l.plot.right());
        const int b = std::clamp(std::max(*from, hoverX_), l.plot.left(), l.plot.right());
        p.fillRect(QRect(a, l.plot.top(), b - a + 1, l.plot.height()),
                   withAlpha(palette().color(QPalette::Highlight), 60));
    } else if (hoverX_ >= l.plot.left() && hoverX_ <= l.plot.right()) {
        p.setPen(QPen(withAlpha(palette().color(QPalette::Text), 110), 1));
        p.drawLine(hoverX_, l.plot.top(), hoverX_, l.plot.bottom());
    }
    p.setPen(QPen(withAlpha(palette().color(QPalette::Text), 90), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(l.plot.adjusted(0, 0, -1, -1));
}

void PathTimeline::drawLane(QPainter& p, const QRect& rect, const Lane& lane, const QRect& plot,
                            int& labelFloor) const {
    const QFontMetrics fm = fontMetrics();
    const Layout l = layout();
    if (lane.hop % 2 == 0)
        p.fillRect(rect, palette().color(QPalette::AlternateBase));
    // A line of text centred on the lane, within the plot's height, below the label before it.
    const int top =
        std::clamp(rect.center().y() - fm.height() / 2, plot.top(), std::max(plot.top(), plot.bottom() - fm.height()));
    if (top >= labelFloor) {
        labelFloor = top + fm.height();
        const QRect label(l.labelLeft, top, plot.left() - l.labelLeft - fm.averageCharWidth() / 2, fm.height());
        const QString number = QString::number(lane.hop);
        const int numberWidth = fm.horizontalAdvance(QStringLiteral("30"));
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(QRect(label.left(), label.top(), numberWidth, label.height()), Qt::AlignRight | Qt::AlignVCenter,
                   number);
        const QString address = lane.answers ? lane.address : QString::fromLatin1(RouteText::kUnknownAddress);
        const QRect addressRect = label.adjusted(numberWidth + fm.averageCharWidth(), 0, 0, 0);
        p.drawText(addressRect, Qt::AlignLeft | Qt::AlignVCenter,
                   fm.elidedText(address, Qt::ElideMiddle, addressRect.width()));
    }

    p.save();
    p.setClipRect(rect);
    const QColor smoke = withAlpha(palette().color(QPalette::Text), 60);
    // A tint light enough to read on a white base all but vanishes on a dark one: there it is laid on thicker.
    const bool darkBase = palette().color(QPalette::Base).lightness() < 128;
    const int tint = darkBase ? 170 : 90;
    const QRect band = rect.adjusted(0, 1, 0, -1);
    for (const Cell& cell : cellsOf(lane, plot)) {
        if (cell.sent == 0)
            continue;
        const QRect column(cell.x0, band.top(), cell.x1 - cell.x0, band.height());
        if (cell.received() == 0) {
            // A router that never answers says nothing about loss; one that stopped answering lost it all.
            if (lane.answers)
                p.fillRect(column, withAlpha(kNoReply, tint + 40));
            else
                p.fillRect(column, QBrush(withAlpha(palette().color(QPalette::Text), 70), Qt::BDiagPattern));
            continue;
        }
        const int shade = LossShades::of(cell.lost, cell.sent);
        const QColor colour = LossShades::all()[static_cast<std::size_t>(shade)].colour;
        if (cell.lost > 0)
            p.fillRect(column, withAlpha(colour, tint));
        const int yMax = yOf(band, cell.maxUs);
        const int yMin = yOf(band, cell.minUs);
        p.fillRect(QRect(cell.x0, yMax, cell.x1 - cell.x0, yMin - yMax + 1), smoke);
        const auto average =
            static_cast<std::uint32_t>(std::lround(cell.avgSum / static_cast<double>(cell.received())));
        const int y = yOf(band, average);
        p.fillRect(QRect(cell.x0, y - 1, cell.x1 - cell.x0, 2), colour);
    }
    p.restore();
}
