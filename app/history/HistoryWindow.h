#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include "app/common/TimeSpanView.h"
#include "history/HistoryRecords.h"

class HistoryLedger;
class LatencyGraph;
class OverlayChooser;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;
class QToolButton;
class QTreeWidget;

// What the ledger holds about a host: a row of small graphs of the last 3 hours to the last year, a latency graph
// of a chosen span, a summary of it, the outages in it and an export of its probes. Non-modal; while shown it
// reads the ledger again every second, so a run under way shows up as it goes.
//
// When the ledger holds several hosts, a chooser picks the host shown (the main host at first) and the latency
// of other hosts can be overlaid on the graph, each as a line of its own colour; the summary, the outages, the
// status band and the export stay those of the chosen host. With one host the window is as it always was.
//
// The chosen span (a preset or a small graph) ends now. Zooming and panning the graph show another part of
// the history until "Back to now" returns to the chosen span; only the chosen span is remembered.
class HistoryWindow : public QWidget {
    Q_OBJECT
public:
    // Unix time in milliseconds.
    using Clock = std::function<std::int64_t()>;

    using Span = TimeSpanView::Span;
    static const std::vector<Span>& spans() { return TimeSpanView::presets(); }
    // The small graphs' spans, each also a preset.
    static const std::vector<Span>& overviewSpans();
    // How far the graph zooms in and out.
    static constexpr std::int64_t kShortestSpanMs = TimeSpanView::kShortestSpanMs;
    static constexpr std::int64_t kLongestSpanMs = TimeSpanView::kLongestSpanMs;

    explicit HistoryWindow(std::shared_ptr<HistoryLedger> ledger, const QString& host, QWidget* parent = nullptr,
                           Clock clock = {});
    ~HistoryWindow() override;

    // Another ledger, after the retention setting changed; none while it is being replaced.
    void setLedger(std::shared_ptr<HistoryLedger> ledger);
    // The main host as configured: listed first in the chooser, and chosen.
    void setHost(const QString& host);
    // Chooses the host shown: the title and what the ledger is asked about. The main host stays as it is.
    void showHost(const QString& host);
    [[nodiscard]] QString host() const { return host_; }
    [[nodiscard]] QString mainHost() const { return mainHost_; }
    // The hosts the chooser offers: the main host first, then the chosen one and the ledger's, in natural order
    // (127.0.1.2 before 127.0.1.10).
    [[nodiscard]] QStringList hosts() const { return hosts_; }
    // The hosts whose latency is drawn over the chosen host's, in the order they were ticked. The chosen host
    // and hosts the chooser does not offer are left out when the graph is drawn.
    void setOverlayHosts(const QStringList& hosts);
    [[nodiscard]] QStringList overlayHosts() const { return overlayHosts_; }
    // Chooses a preset, ending now.
    void setSpanIndex(int index);
    // Chooses any span (kept within the zoom limits), ending now.
    void chooseSpan(std::int64_t spanMs);
    [[nodiscard]] std::int64_t chosenSpanMs() const { return view_.chosenSpanMs(); }
    // What the graph shows: its length, and its end when it is not now.
    [[nodiscard]] std::int64_t shownSpanMs() const { return view_.shownSpanMs(); }
    [[nodiscard]] std::optional<std::int64_t> shownEndMs() const { return view_.shownEndMs(); }
    // `factor` times the shown span, keeping the moment `atMs` at its place on the graph.
    void zoom(double factor, std::int64_t atMs);
    // The shown span moved into the past (negative: towards now; never beyond now).
    void pan(std::int64_t earlierByMs);
    // Shows [fromMs, toMs).
    void showRange(std::int64_t fromMs, std::int64_t toMs);
    // The chosen span, ending now.
    void backToNow();

    // Reads the ledger again for the chosen span, ending now.
    void refresh();
    // Writes the span's probes as CSV to `path`, replacing it only once the whole export has succeeded.
    // Gives the reason when it fails, else an empty text.
    [[nodiscard]] QString exportCsv(const QString& path);

    // The settings value that keeps the window's size ("720x480").
    static constexpr const char* SizeKey = "HistoryWindowSize";
    // Where the size is kept between openings: the program points this at its settings, which reach the file
    // only when the settings may be written. Null: a size lasts as long as the process.
    static void keepSizeIn(std::string* size);
    // The settings value that keeps the chosen span, in seconds ("3600").
    static constexpr const char* SpanKey = "HistorySpan";
    // Where the chosen span is kept, as for the size.
    static void keepSpanIn(std::string* span);
    // The settings value that keeps the overlaid hosts, in the order ticked ("a.example,127.0.1.2").
    static constexpr const char* OverlayKey = "HistoryOverlay";
    // Where the overlaid hosts are kept, as for the size.
    static void keepOverlayIn(std::string* hosts);

    // The outage list's columns; Where says where along the path its route trace found the loss beginning.
    enum OutageColumn { StartColumn, EndColumn, DurationColumn, CauseColumn, WhereColumn };

Q_SIGNALS:
    // An outage with a route trace was double-clicked: the trace's id in the ledger.
    void routeSnapshotRequested(qint64 snapshotId);

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void chooseExportFile();
    void showSummary(const RttStats& stats);
    void showOutages(std::vector<Outage> outages, std::int64_t nowMs);
    void restoreSize();
    void saveSize();
    void restoreSpan();
    void keepOverlay();
    void showSpanInBox();
    void refreshOverview(std::int64_t nowMs);
    // Reads the hosts the ledger holds again and offers them.
    void refreshHosts();
    void chooseHost(const QString& host);

    std::shared_ptr<HistoryLedger> ledger_;
    QString host_;
    QString mainHost_;
    QStringList hosts_;
    QStringList overlayHosts_;
    Clock clock_;
    QTimer refreshTimer_;
    std::vector<Outage> shownOutages_;
    QString savedSize_;
    TimeSpanView view_;
    int ticksToOverview_ = 0;

    QLabel* hostLabel_ = nullptr;
    QComboBox* hostBox_ = nullptr;
    QToolButton* overlayButton_ = nullptr;
    QMenu* overlayMenu_ = nullptr;
    OverlayChooser* overlayChooser_ = nullptr;
    QComboBox* spanBox_ = nullptr;
    QPushButton* exportButton_ = nullptr;
    QPushButton* nowButton_ = nullptr;
    std::vector<LatencyGraph*> overview_;
    QLabel* legendLabel_ = nullptr;
    QLabel* problemLabel_ = nullptr;
    LatencyGraph* graph_ = nullptr;
    QLabel* summaryLabel_ = nullptr;
    QTreeWidget* outageList_ = nullptr;
};
