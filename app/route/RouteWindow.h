#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include <QString>
#include <QWidget>

#include "monitor/HostLookup.h"
#include "engine/HostResolver.h"
#include "types/IpAddress.h"
#include "engine/RouteResult.h"
#include "engine/TraceSocket.h"

class AppSettings;
class PathPanel;
struct PathSource;
class QLabel;
class QPushButton;
class QTreeWidget;
class RouteBarDelegate;
class RouteTracer;
struct SettingsChange;

// The route to the main host, hop by hop: a live trace that goes on round after round until it is stopped, or
// a trace kept from earlier. Non-modal. The trace runs on a thread of its own; each round's figures are queued
// to the window, and hiding or closing the window ends the trace at once.
class RouteWindow : public QWidget {
    Q_OBJECT
public:
    enum Column {
        HopColumn,
        AddressColumn,
        LossColumn,
        SentColumn,
        LastColumn,
        AverageColumn,
        BestColumn,
        WorstColumn,
        StdDevColumn,
        LatencyColumn,
        ColumnCount
    };

    // Where a live trace goes: the address a run under way probes (nothing when none does), else the host of
    // the settings through `resolver`.
    struct HostSource {
        std::function<std::optional<IpAddress>()> runningTarget;
        std::shared_ptr<HostResolver> resolver;
    };

    explicit RouteWindow(AppSettings& settings, QWidget* parent = nullptr);
    ~RouteWindow() override;

    // Until set: no run is known, and names are looked up with the C library.
    void setHostSource(HostSource source);
    // The socket kind a live trace asks for.
    void setSocketPreference(TraceSocket::Preference preference) { preference_ = preference; }

    // Shows the window, raised and active.
    void present();
    // Begins a live trace of the main host; a trace under way or a stored one gives way to it.
    void startTracing();
    // Ends a live trace (or the lookup before it), keeping what it found.
    void stopTracing();
    // A trace is under way, or its host is being looked up.
    [[nodiscard]] bool isTracing() const;

    // Where the path over time is read and exported; until set none is shown.
    void setPathSource(PathSource source);
    // Shows the newest minute of the path kept for the host, if one is kept in the span shown below the table.
    bool showKeptPath();
    // Shows the path as it was at `atMs` (that minute's hops) in the table, if the span shown keeps one.
    bool showPathAt(std::int64_t atMs);
    [[nodiscard]] PathPanel* pathPanel() const { return path_; }

    // Shows a stored trace (live tracing stops): when it was taken and of which host.
    void showStored(const RouteResult& result, std::int64_t unixMs, const QString& host);

    // What the table shows.
    [[nodiscard]] const RouteResult& shownResult() const { return shown_; }
    [[nodiscard]] QString host() const { return host_; }

    [[nodiscard]] QTreeWidget* hopTable() const { return table_; }
    [[nodiscard]] QPushButton* startButton() const { return startButton_; }
    [[nodiscard]] QLabel* lossLabel() const { return lossLabel_; }
    [[nodiscard]] QLabel* roundsLabel() const { return roundsLabel_; }
    [[nodiscard]] QLabel* sourceLabel() const { return sourceLabel_; }
    [[nodiscard]] QLabel* messageLabel() const { return messageLabel_; }

    // A hop's latency bar in a cell `width` pixels wide, scaled so that `scaleUs` reaches the right end: from
    // the best time to the worst, with the average marked. Nothing for a hop that never answered.
    struct LatencyBar {
        int left = 0;
        int right = 0;
        int mark = 0;
        bool operator==(const LatencyBar&) const = default;
    };
    [[nodiscard]] static std::optional<LatencyBar> latencyBar(const RouteHop& hop, std::uint32_t scaleUs, int width);

    // The settings value that keeps the window's size ("720x480").
    static constexpr const char* SizeKey = "RouteWindowSize";

protected:
    void changeEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void beginTrace(const IpAddress& target);
    void traceEnded();
    void showResult(const RouteResult& result);
    void showError(const QString& text);
    void fitToStyle();
    void updateControls();
    void updateTitle();
    void followSettings(const SettingsChange& change);
    void restoreSize();
    void saveSize();
    void joinTrace();

    AppSettings& settings_;
    HostSource source_;
    TraceSocket::Preference preference_ = TraceSocket::Preference::Auto;

    // The live trace: the tracer is made before its thread starts, so that a stop is never missed.
    std::unique_ptr<RouteTracer> tracer_;
    std::thread thread_;
    RouteResult finalResult_; // written by the thread, read once it has been joined
    // Each trace and each stored result has its own number: rounds still queued from an earlier one are dropped.
    std::uint64_t generation_ = 0;
    std::unique_ptr<HostLookup> lookup_; // made with the host source

    RouteResult shown_;
    QString host_;
    bool stored_ = false;
    QString savedSize_;

    QPushButton* startButton_ = nullptr;
    QLabel* roundsLabel_ = nullptr;
    QLabel* sourceLabel_ = nullptr;
    QTreeWidget* table_ = nullptr;
    RouteBarDelegate* bars_ = nullptr;
    QLabel* lossLabel_ = nullptr;
    QLabel* messageLabel_ = nullptr;
    PathPanel* path_ = nullptr;
};
