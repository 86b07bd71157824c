#include "app/common/RouteChangeMarks.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <QPainter>
#include <QPainterPath>
#include <QRect>
#include <QStringList>

#include "app/common/HistoryFormat.h"

namespace RouteChangeMarks {

namespace {

int xOf(const QRect& plot, std::int64_t fromMs, std::int64_t toMs, std::int64_t atMs) {
    const double span = static_cast<double>(std::max<std::int64_t>(toMs - fromMs, 1));
    return plot.left() + static_cast<int>(std::lround(static_cast<double>(atMs - fromMs) * plot.width() / span));
}

// What answered at a hop: its address, or why there is none.
QString answerAt(const std::vector<IpAddress>& path, std::uint8_t hop) {
    if (hop == 0 || hop > path.size())
        return QStringLiteral("no hop");
    const IpAddress& address = path[hop - 1u];
    return address.family == IpAddress::Family::None ? QStringLiteral("no answer")
                                                     : QString::fromStdString(address.text());
}

} // namespace

QColor colour() {
    return QColor(0xf0, 0x8c, 0x00);
}

void draw(QPainter& p, const QRect& plot, std::int64_t fromMs, std::int64_t toMs,
          const std::vector<RouteChange>& changes) {
    const int flag = std::max(4, p.fontMetrics().height() / 3);
    p.save();
    p.setClipRect(plot);
    p.setRenderHint(QPainter::Antialiasing, true);
    for (const RouteChange& change : changes) {
        if (change.atMs < fromMs || change.atMs >= toMs)
            continue;
        const int x = xOf(plot, fromMs, toMs, change.atMs);
        QPen dashed(colour(), 1.5, Qt::DashLine);
        p.setPen(dashed);
        p.drawLine(QPointF(x + 0.5, plot.top()), QPointF(x + 0.5, plot.bottom()));
        QPainterPath triangle;
        triangle.moveTo(x + 0.5 - flag, plot.top());
        triangle.lineTo(x + 0.5 + flag, plot.top());
        triangle.lineTo(x + 0.5, plot.top() + flag * 1.5);
        triangle.closeSubpath();
        p.fillPath(triangle, colour());
    }
    p.restore();
}

const RouteChange* at(int x, int reach, const QRect& plot, std::int64_t fromMs, std::int64_t toMs,
                      const std::vector<RouteChange>& changes) {
    const RouteChange* nearest = nullptr;
    int best = reach + 1;
    for (const RouteChange& change : changes) {
        if (change.atMs < fromMs || change.atMs >= toMs)
            continue;
        const int distance = std::abs(xOf(plot, fromMs, toMs, change.atMs) - x);
        if (distance < best) {
            best = distance;
            nearest = &change;
        }
    }
    return nearest;
}

QString withChangeAt(int x, const QRect& plot, std::int64_t fromMs, std::int64_t toMs,
                     const std::vector<RouteChange>& changes, const QString& figures, int charWidth) {
    const RouteChange* change = at(x, std::max(3, charWidth / 2), plot, fromMs, toMs, changes);
    if (change == nullptr)
        return figures;
    return figures.isEmpty() ? toolTip(*change) : toolTip(*change) + QStringLiteral("\n\n") + figures;
}

QString toolTip(const RouteChange& change) {
    QStringList lines{QStringLiteral("Route changed at ") + HistoryFormat::dateTime(change.atMs),
                      QStringLiteral("Hop %1: %2 \u2192 %3")
                          .arg(change.hop)
                          .arg(answerAt(change.before, change.hop), answerAt(change.after, change.hop))};
    if (change.before.size() != change.after.size())
        lines << QStringLiteral("Path: %1 hops \u2192 %2 hops").arg(change.before.size()).arg(change.after.size());
    return lines.join(QLatin1Char('\n'));
}

} // namespace RouteChangeMarks
