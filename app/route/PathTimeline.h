#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <QRect>
#include <QString>
#include <QWidget>

#include "app/common/TimeGestures.h"
#include "history/PathRecords.h"

class QPainter;

// A host's path over time, one lane per hop: each minute (or each pixel column, where a column holds several
// minutes) tinted by the share of the hop's probes lost, in the History graph's loss colours, with the hop's
// latency band (min to max, the average as a line coloured like the smoke graph's median). A hop that answers
// nowhere in the span is a silent router and is hatched, not counted as loss; a minute without an answer from
// a hop that answers elsewhere is full loss. Route changes are marked on the time axis.
//
// Like the History graph it only asks: the wheel zooms around the pointer, a drag pans, a drag with Shift or the
// right button picks a range; a click asks for the path as it was at that moment, and the Left and Right keys for
// the minute before or after the one chosen.
class PathTimeline : public QWidget {
    Q_OBJECT
public:
    explicit PathTimeline(QWidget* parent = nullptr);

    // The minutes and route changes of [fromMs, toMs).
    void setData(std::int64_t fromMs, std::int64_t toMs, std::vector<PathMinute> minutes,
                 std::vector<RouteChange> changes);
    // The moment whose path the table shows, marked on the lanes; none: the table shows something else.
    void setChosen(std::optional<std::int64_t> atMs);
    [[nodiscard]] std::optional<std::int64_t> chosen() const { return chosen_; }

    [[nodiscard]] const std::vector<PathMinute>& minutes() const { return minutes_; }
    [[nodiscard]] const std::vector<RouteChange>& changes() const { return changes_; }
    [[nodiscard]] std::int64_t fromMs() const { return fromMs_; }
    [[nodiscard]] std::int64_t toMs() const { return toMs_; }
    // Hops 1 to the farthest one seen: one lane each.
    [[nodiscard]] int lanes() const { return static_cast<int>(lanes_.size()); }
    // Where hop `hop`'s lane is drawn, without its label.
    [[nodiscard]] QRect laneRect(int hop) const;
    // The x of a moment, and the moment under an x within the plot.
    [[nodiscard]] int xAt(std::int64_t atMs) const;
    [[nodiscard]] std::int64_t timeAt(int x) const;
    // What hovering at `pos` shows: a route change near it, else the hop's figures there; empty over nothing.
    [[nodiscard]] QString toolTipAt(const QPoint& pos) const;
    // The top of every lane's latency band, in microseconds.
    [[nodiscard]] std::uint32_t scaleUs() const { return scaleUs_; }

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

Q_SIGNALS:
    void zoomRequested(double factor, std::int64_t atMs);
    void panRequested(std::int64_t earlierByMs);
    void rangeRequested(std::int64_t fromMs, std::int64_t toMs);
    // A click at this moment.
    void momentChosen(std::int64_t atMs);

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
    struct Lane {
        std::uint8_t hop = 0;
        std::vector<const PathMinute*> minutes; // in time order
        bool answers = false;                   // somewhere in the span
        QString address;                        // the latest that answered
    };
    // The figures of one lane under one run of pixel columns: a minute, or several merged.
    struct Cell {
        int x0 = 0;
        int x1 = 0;
        std::int64_t fromMs = 0;
        std::int64_t toMs = 0;
        std::uint64_t sent = 0;
        std::uint64_t lost = 0;
        std::uint32_t minUs = 0;
        std::uint32_t maxUs = 0;
        double avgSum = 0; // average times replies, to weigh merged minutes
        const PathMinute* first = nullptr;
        [[nodiscard]] std::uint64_t received() const { return sent - lost; }
    };
    struct Layout {
        QRect plot;     // the lanes' drawing area
        int header = 0; // the top of the header line
        int labelLeft = 0;
        int labelTop = 0; // the time axis labels
    };
    [[nodiscard]] Layout layout() const;
    [[nodiscard]] QRect laneAt(const QRect& plot, int index) const;
    [[nodiscard]] double xOf(const QRect& plot, std::int64_t atMs) const;
    [[nodiscard]] QString figuresAt(const QPoint& pos) const;
    [[nodiscard]] std::vector<Cell> cellsOf(const Lane& lane, const QRect& plot) const;
    [[nodiscard]] int yOf(const QRect& lane, std::uint32_t us) const;
    // Labels the lane unless its label would begin above `labelFloor`, which it then moves below itself.
    void drawLane(QPainter& p, const QRect& rect, const Lane& lane, const QRect& plot, int& labelFloor) const;
    void chooseScale();

    std::int64_t fromMs_ = 0;
    std::int64_t toMs_ = 1;
    std::vector<PathMinute> minutes_;
    std::vector<RouteChange> changes_;
    std::vector<Lane> lanes_;
    std::uint32_t scaleUs_ = 1'000;
    std::optional<std::int64_t> chosen_;
    int hoverX_ = -1;
    TimeGestures gestures_;
};
