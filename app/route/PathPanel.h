#pragma once

#include <cstdint>
#include <optional>

#include <QString>
#include <QTimer>
#include <QWidget>

#include "app/common/TimeSpanView.h"
#include "app/route/PathSource.h"
#include "engine/RouteResult.h"

class PathTimeline;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;

// The lower part of the Route window: the host's path over a chosen span as a timeline of its hops, moved
// by the History window's spans, zoom and pan, and its export. While shown and following now it reads the
// path again every few seconds; a click on the timeline asks the window to show that moment's path.
class PathPanel : public QWidget {
    Q_OBJECT
public:
    using Clock = TimeSpanView::Clock;

    explicit PathPanel(QWidget* parent = nullptr, Clock clock = {});

    void setSource(PathSource source);
    // The host whose path is shown, as configured.
    void setHost(const QString& host);
    [[nodiscard]] QString host() const { return host_; }
    // Reads the path of the span shown again.
    void refresh();

    [[nodiscard]] TimeSpanView& view() { return view_; }
    [[nodiscard]] PathTimeline* timeline() const { return timeline_; }
    [[nodiscard]] QComboBox* spanBox() const { return spanBox_; }
    [[nodiscard]] QPushButton* nowButton() const { return nowButton_; }
    [[nodiscard]] QPushButton* exportButton() const { return exportButton_; }

    // A minute of the path: its hops as a trace's result.
    struct Moment {
        std::int64_t minuteMs = 0;
        RouteResult path;
    };
    // The path as it was at `atMs`: the latest minute kept at or before it in the span shown, else the first
    // after it. Nothing when the span holds no path.
    [[nodiscard]] std::optional<Moment> momentAt(std::int64_t atMs) const;
    // The hops of `minutes` at the minute `minuteMs`, as a trace's result: each hop's figures, where the loss
    // begins, whether the last hop answered.
    [[nodiscard]] static RouteResult pathOf(const std::vector<PathMinute>& minutes, std::int64_t minuteMs);

    // Writes the path over the span shown to `path`, replacing it only once the whole export has succeeded.
    // Gives the reason when it fails, else an empty text.
    [[nodiscard]] QString exportTo(const QString& path, PathSource::Format format);

Q_SIGNALS:
    // The timeline was clicked at a moment that has a path: the minute it begins.
    void momentChosen(qint64 minuteMs);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void chooseExportFile(PathSource::Format format);
    void showSpanInBox();

    PathSource source_;
    QString host_;
    Clock clock_;
    TimeSpanView view_;
    QTimer refreshTimer_;

    QComboBox* spanBox_ = nullptr;
    QPushButton* nowButton_ = nullptr;
    QPushButton* exportButton_ = nullptr;
    QMenu* exportMenu_ = nullptr;
    PathTimeline* timeline_ = nullptr;
};
