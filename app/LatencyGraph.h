#pragma once

#include <cstdint>
#include <vector>

#include <QRect>
#include <QWidget>

#include "history/HistoryRecords.h"

class QPainter;

// The History window's graph: per pixel column the median round trip as a line, the spread as shading
// (min-max light, 10th-90th percentile darker), losses as a colour by their share, and below it a band of
// the host status in traffic-light colours. Drawn with QPainter from the palette, so it follows a dark theme
// and any scale factor.
class LatencyGraph : public QWidget {
    Q_OBJECT
public:
    explicit LatencyGraph(QWidget* parent = nullptr);

    // The figures of [fromMs, toMs); the status band shows `statuses` up to `nowMs`.
    void setData(std::int64_t fromMs, std::int64_t toMs, std::int64_t nowMs, std::vector<SeriesPoint> points,
                 std::vector<StatusChange> statuses);

    // How many columns the plot has now: the most points worth asking the ledger for.
    [[nodiscard]] int columns() const;
    // What hovering at x shows; empty where the column holds no probe.
    [[nodiscard]] QString toolTipAt(int x) const;
    // The top of the RTT axis, in microseconds.
    [[nodiscard]] std::int64_t axisTopUs() const { return axisTopUs_; }

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    struct Layout {
        QRect plot;
        QRect band;
        int labelTop = 0;
    };
    [[nodiscard]] Layout layout() const;
    [[nodiscard]] double xOf(const QRect& plot, std::int64_t atMs) const;
    [[nodiscard]] int yOf(const QRect& plot, std::int64_t us) const;
    [[nodiscard]] const SeriesPoint* pointAt(int x) const;
    void chooseAxis();
    void drawAxes(QPainter& p, const Layout& l) const;
    void drawSeries(QPainter& p, const QRect& plot) const;
    void drawStatusBand(QPainter& p, const QRect& band) const;

    std::int64_t fromMs_ = 0;
    std::int64_t toMs_ = 1;
    std::int64_t nowMs_ = 0;
    std::vector<SeriesPoint> points_;
    std::vector<StatusChange> statuses_;
    std::int64_t axisTopUs_ = 1'000;
    std::int64_t axisStepUs_ = 250;
    int hoverX_ = -1;
};
