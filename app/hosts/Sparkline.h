#pragma once

#include <cstdint>
#include <vector>

#include <QPolygonF>
#include <QRectF>
#include <QStyledItemDelegate>

#include "monitor/WatchedHost.h"

// A small latency line of a host's recent probes: time runs left to right, ending at the newest probe at the
// right edge; the height is the round trip from 0 at the bottom to the largest one shown at the top. A lost
// probe breaks the line and is marked by a tick across the whole height, so that a loss reads as one even
// among tall round trips.
namespace Sparkline {

// Points further apart than this many intervals belong to separate runs: the line is not drawn across.
inline constexpr double kGapIntervals = 2.5;
// The narrowest span a line is spread over, so that the first probes of a run do not fill the whole cell.
inline constexpr std::int64_t kMinSpanMs = 60'000;

struct Shape {
    std::vector<QPolygonF> lines; // one per unbroken stretch; a stretch of one probe is a single point
    std::vector<qreal> lostX;     // where each lost probe's tick goes
};

[[nodiscard]] Shape shape(const RecentPoints& points, const QRectF& area, std::int64_t intervalMs);

} // namespace Sparkline

// Paints the sparkline of the row's host in the Hosts window's recent column.
class SparklineDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The colour of the lost probes' ticks; it reads on light and dark backgrounds alike.
    static QColor lostColour();
};
