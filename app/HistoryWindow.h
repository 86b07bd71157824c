#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QString>
#include <QTimer>
#include <QWidget>

#include "history/HistoryRecords.h"

class HistoryLedger;
class LatencyGraph;
class QComboBox;
class QLabel;
class QPushButton;
class QTreeWidget;

// What the ledger holds about the monitored host: a latency graph of a chosen span, a summary of it, the
// outages in it and an export of its probes. Non-modal; while shown it reads the ledger again every second,
// so a run under way shows up as it goes.
class HistoryWindow : public QWidget {
    Q_OBJECT
public:
    // Unix time in milliseconds.
    using Clock = std::function<std::int64_t()>;

    struct Span {
        const char* label;
        std::int64_t ms;
    };
    static const std::vector<Span>& spans();

    explicit HistoryWindow(std::shared_ptr<HistoryLedger> ledger, const QString& host, QWidget* parent = nullptr,
                           Clock clock = {});
    ~HistoryWindow() override;

    // Another ledger, after the retention setting changed; none while it is being replaced.
    void setLedger(std::shared_ptr<HistoryLedger> ledger);
    // The host as configured: the title and what the ledger is asked about.
    void setHost(const QString& host);
    [[nodiscard]] QString host() const { return host_; }
    void setSpanIndex(int index);

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

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void chooseExportFile();
    void showSummary(const RttStats& stats);
    void showOutages(std::vector<Outage> outages, std::int64_t nowMs);
    void restoreSize();
    void saveSize();

    std::shared_ptr<HistoryLedger> ledger_;
    QString host_;
    Clock clock_;
    QTimer refreshTimer_;
    std::vector<Outage> shownOutages_;
    QString savedSize_;

    QComboBox* spanBox_ = nullptr;
    QPushButton* exportButton_ = nullptr;
    QLabel* problemLabel_ = nullptr;
    LatencyGraph* graph_ = nullptr;
    QLabel* summaryLabel_ = nullptr;
    QTreeWidget* outageList_ = nullptr;
};
