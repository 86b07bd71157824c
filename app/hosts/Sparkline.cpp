#include "app/hosts/Sparkline.h"

#include <algorithm>

#include <QApplication>
#include <QPainter>

#include "app/hosts/HostsModel.h"
#include "app/hosts/HostsProxyModel.h"

namespace Sparkline {

Shape shape(const RecentPoints& points, const QRectF& area, std::int64_t intervalMs) {
    Shape result;
    if (points.empty() || area.width() <= 0 || area.height() <= 0)
        return result;
    const std::int64_t newest = points.back().unixMs;
    const std::int64_t span = std::max(newest - points.front().unixMs, kMinSpanMs);
    std::uint32_t tallest = 1;
    for (const WatchedHost::Point& point : points)
        if (point.rttUs)
            tallest = std::max(tallest, *point.rttUs);
    auto xOf = [&](std::int64_t unixMs) {
        const double age = static_cast<double>(std::clamp<std::int64_t>(newest - unixMs, 0, span));
        return area.right() - age / static_cast<double>(span) * area.width();
    };
    auto yOf = [&](std::uint32_t rttUs) {
        return area.bottom() - static_cast<double>(rttUs) / static_cast<double>(tallest) * area.height();
    };
    const double gapMs = kGapIntervals * static_cast<double>(std::max<std::int64_t>(intervalMs, 1000));

    QPolygonF current;
    std::int64_t previousMs = points.front().unixMs;
    auto endLine = [&] {
        if (!current.isEmpty())
            result.lines.push_back(std::move(current));
        current = QPolygonF();
    };
    for (const WatchedHost::Point& point : points) {
        if (static_cast<double>(point.unixMs - previousMs) > gapMs)
            endLine();
        previousMs = point.unixMs;
        if (!point.rttUs) {
            endLine();
            result.lostX.push_back(xOf(point.unixMs));
            continue;
        }
        current << QPointF(xOf(point.unixMs), yOf(*point.rttUs));
    }
    endLine();
    return result;
}

} // namespace Sparkline

QColor SparklineDelegate::lostColour() {
    return {0xE0, 0x3C, 0x31};
}

void SparklineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    // The cell's background and selection as the style draws them, without a text.
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    cell.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);

    // The window shows the rows through its sorting and filtering proxy; a bare model serves as well.
    const WatchedHost* host = nullptr;
    if (const auto* rows = qobject_cast<const HostsProxyModel*>(index.model()))
        host = rows->host(index);
    else if (const auto* model = qobject_cast<const HostsModel*>(index.model()))
        host = model->host(index.row());
    if (host == nullptr || host->recent.empty())
        return;
    const qreal margin = 3;
    const QRectF area = QRectF(option.rect).adjusted(margin, margin + 1, -margin, -margin);
    const Sparkline::Shape drawn = Sparkline::shape(host->recent, area, host->settings.interval);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    const bool selected = (option.state & QStyle::State_Selected) != 0;
    QPen lost(lostColour(), 1.0);
    lost.setCosmetic(true);
    painter->setPen(lost);
    for (qreal x : drawn.lostX)
        painter->drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
    QPen line(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Highlight), 1.5);
    line.setCosmetic(true);
    line.setJoinStyle(Qt::RoundJoin);
    line.setCapStyle(Qt::RoundCap);
    painter->setPen(line);
    for (const QPolygonF& stretch : drawn.lines) {
        if (stretch.size() == 1)
            painter->drawPoint(stretch.front());
        else
            painter->drawPolyline(stretch);
    }
    painter->restore();
}

QSize SparklineDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QSize hint = QStyledItemDelegate::sizeHint(option, index);
    return {std::max(hint.width(), 120), hint.height()};
}
