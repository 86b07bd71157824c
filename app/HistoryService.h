#pragma once

#include <memory>
#include <string>

#include <QString>

class HistoryLedger;
class HistoryRecorder;
class HistoryWindow;
class ProbeObserver;

// The probe history of the program: the ledger file, what feeds it from the worker and the History window.
// Lives on the window thread; the recorder it hands the worker is the only part the worker touches.
class HistoryService {
public:
    // `path` empty: history.sqlite in the user's data folder for the program.
    explicit HistoryService(int days, std::string path = {});
    ~HistoryService();
    HistoryService(const HistoryService&) = delete;
    HistoryService& operator=(const HistoryService&) = delete;

    // $XDG_DATA_HOME/Quorvan Corporation/Ostrevo/history.sqlite
    [[nodiscard]] static std::string defaultPath();

    [[nodiscard]] ProbeObserver& observer();
    [[nodiscard]] std::shared_ptr<HistoryLedger> ledger() const { return ledger_; }
    [[nodiscard]] HistoryWindow* window() const { return window_.get(); }

    // A new retention takes effect between runs: the file is closed and opened again with it.
    void setDays(int days);
    // The run has ended: an outage under way ends now.
    void runEnded();
    // Opens the window (or brings it forward) on the host as configured.
    void showWindow(const QString& host);
    void setHost(const QString& host);

private:
    [[nodiscard]] std::shared_ptr<HistoryLedger> open(int days) const;

    std::string path_;
    int days_ = 0;
    std::shared_ptr<HistoryLedger> ledger_;
    std::shared_ptr<HistoryRecorder> recorder_;
    std::unique_ptr<HistoryWindow> window_;
};
