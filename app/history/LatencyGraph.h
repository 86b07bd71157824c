#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <QColor>
#include <QRect>
#include <QString>
#include <QWidget>

#include "app/common/LossShades.h"
#include "app/common/TimeGestures.h"
#include "history/HistoryRecords.h"
#include "history/PathRecords.h"

class QPainter;

// The History window's graph: per pixel column the median round trip as a line coloured by the column's
// share of lost probes, the spread as shading (min-max light, 10th-90th percentile darker), a full-height
// mark where no probe came back, and below it a band of the host status in traffic-light colours. Drawn with
// QPainter from the palette, so it follows a dark theme and any scale factor.
//
// The wheel zooms around the pointer, a drag pans, a drag with Shift or the right button picks a range to
// zoom into; the graph only asks, the window decides what is shown. A compact graph (the overview row) has
// a title instead of axes and asks only to be chosen.
class LatencyGraph : public QWidget {
    Q_OBJECT
public:
    explicit LatencyGraph(QWidget* parent = nullptr);

    // The median's colours by the share of probes lost in a column, a step each.
    using LossShade = LossShades::Shade;
    static constexpr int kLossShades = LossShades::kCount;
    static const std::array<LossShade, kLossShades>& lossShades() { return LossShades::all(); }
    // The step of `lost` out of `sent` (sent > 0, lost < sent: a column without replies has no median).
    [[nodiscard]] static int lossShade(std::uint64_t lost, std::uint64_t sent) { return LossShades::of(lost, sent); }
    // What the colours and the shading mean, as rich text for a label that may wrap between its entries.
    [[nodiscard]] static QString legendHtml(const QPalette& palette);

    // A small graph with `title` at its top, no axes and no zooming; a click or Space asks for it.
    void setCompact(const QString& title);
    [[nodiscard]] bool compact() const { return compact_; }
    // Marks the compact graph whose span the main graph shows.
    void setCurrent(bool current);

    // The figures of [fromMs, toMs); the status band shows `statuses` up to `nowMs`.
    void setData(std::int64_t fromMs, std::int64_t toMs, std::int64_t nowMs, std::vector<SeriesPoint> points,
                 std::vector<StatusChange> statuses);

    // A stretch of an outage of lost replies, [fromMs, toMs).
    struct LossPeriod {
        std::int64_t fromMs = 0;
        std::int64_t toMs = 0;
    };
    // The stretches of `outages` that lost replies (not those of slow ones), one still going up to `nowMs`.
    [[nodiscard]] static std::vector<LossPeriod> lossPeriods(const std::vector<Outage>& outages, std::int64_t nowMs);
    // Marked as one solid stretch each, like a column without replies: at a span with more columns than probes
    // an outage would otherwise leave the columns between its probes blank and look like intermittent loss, and
    // at a long one it would vanish into columns that also hold replies.
    void setLossPeriods(std::vector<LossPeriod> periods);

    // Where the path to the host changed: a mark on the time axis each, saying before and after when hovered.
    void setRouteChanges(std::vector<RouteChange> changes);

    // Another host's median line over the same span.
    struct Overlay {
        QString host;
        QColor colour;
        std::vector<SeriesPoint> points;
    };
    // Other hosts' median lines drawn over the figures of setData(), which are `host`'s and keep their spread,
    // loss colours and status band; a legend names each line. None: the graph of one host, without a legend.
    void setOverlays(std::vector<Overlay> overlays, const QString& host);
    [[nodiscard]] const std::vector<Overlay>& overlays() const { return overlays_; }
    // The colour of the overlay at `index`: none of them a loss colour, and each readable on a light and on a
    // dark base.
    [[nodiscard]] static QColor overlayColour(std::size_t index);

    // How many columns the plot has now: the most points worth asking the ledger for.
    [[nodiscard]] int columns() const;
    // What hovering at x shows; empty where the column holds no probe.
    [[nodiscard]] QString toolTipAt(int x) const;
    // The top of the RTT axis, in microseconds.
    [[nodiscard]] std::int64_t axisTopUs() const { return axisTopUs_; }

    [[nodiscard]] std::int64_t fromMs() const { return fromMs_; }
    [[nodiscard]] std::int64_t toMs() const { return toMs_; }
    // The moment under x, within the plot.
    [[nodiscard]] std::int64_t timeAt(int x) const;

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

Q_SIGNALS:
    // Show `factor` times the span, keeping `atMs` where it is (factor < 1 zooms in).
    void zoomRequested(double factor, std::int64_t atMs);
    // Show the span moved `earlierByMs` into the past (negative: towards now).
    void panRequested(std::int64_t earlierByMs);
    // Show [fromMs, toMs).
    void rangeRequested(std::int64_t fromMs, std::int64_t toMs);
    // A compact graph was chosen.
    void chosen();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
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
    [[nodiscard]] QString figuresAt(int x) const;
    [[nodiscard]] const SeriesPoint* pointAt(int x) const;
    [[nodiscard]] const SeriesPoint* pointIn(const std::vector<SeriesPoint>& points, int x) const;
    void drawOverlays(QPainter& p, const QRect& plot) const;
    void drawOverlayLegend(QPainter& p, const QRect& plot) const;
    void chooseAxis();
    void drawAxes(QPainter& p, const Layout& l) const;
    void drawSeries(QPainter& p, const QRect& plot) const;
    void drawStatusBand(QPainter& p, const QRect& band) const;

    std::int64_t fromMs_ = 0;
    std::int64_t toMs_ = 1;
    std::int64_t nowMs_ = 0;
    std::vector<SeriesPoint> points_;
    std::vector<StatusChange> statuses_;
    std::vector<LossPeriod> lossPeriods_;
    std::vector<Overlay> overlays_;
    std::vector<RouteChange> routeChanges_;
    QString host_; // of the figures, named in the legend beside the overlays
    std::int64_t axisTopUs_ = 1'000;
    std::int64_t axisStepUs_ = 250;
    int hoverX_ = -1;
    bool compact_ = false;
    bool current_ = false;
    QString title_;
    TimeGestures gestures_;
};
