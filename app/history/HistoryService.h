#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QString>

class HistoryLedger;
class HistoryRecorder;
class HistoryWindow;
class PathObserver;
class ProbeObserver;

// The probe history of the program: the ledger file, what feeds it from the worker and the History window.
// Lives on the window thread; the recorder it hands the worker is the only part the worker touches.
// The ledger (SQLite, its writer thread, its caches) is opened on first use, not at start-up, so a program
// left idle pays nothing for a history it does not touch; only a pending log left by a program that died opens
// it at once, to store what the log holds.
class HistoryService {
public:
    // `path` empty: history.sqlite in the user's data folder for the program. Nothing is opened yet, unless a
    // pending log was left beside the file.
    explicit HistoryService(int days, std::string path = {});
    ~HistoryService();
    HistoryService(const HistoryService&) = delete;
    HistoryService& operator=(const HistoryService&) = delete;

    // $XDG_DATA_HOME/Quorvan Corporation/Ostrevo/history.sqlite
    [[nodiscard]] static std::string defaultPath();

    // Probes reach the ledger only once it is open: open() comes before a run's first probe.
    [[nodiscard]] ProbeObserver& observer();
    // Watched paths and their route changes reach the ledger the same way.
    [[nodiscard]] PathObserver& pathObserver();
    // Opens the ledger unless it is open already; a run about to start calls it.
    void open();
    [[nodiscard]] bool isOpen() const { return ledger_ != nullptr; }
    // The ledger, opened first if need be.
    [[nodiscard]] std::shared_ptr<HistoryLedger> ledger();
    // The ledger when it is open or its file exists, opened first if need be; null when there is no history to
    // read, so that a look at it makes no file.
    [[nodiscard]] std::shared_ptr<HistoryLedger> keptLedger();
    [[nodiscard]] HistoryWindow* window() const { return window_.get(); }

    // A new retention takes effect between runs: an open file is closed and opened again with it; one not
    // yet open simply opens with it later.
    void setDays(int days);
    // Opens the window (or brings it forward) on the host as configured.
    void showWindow(const QString& host);
    void setHost(const QString& host);
    // The window asks for an outage's route trace (a double-click on it): the trace's id in the ledger.
    std::function<void(std::int64_t snapshotId)> onRouteRequested;

private:
    [[nodiscard]] std::shared_ptr<HistoryLedger> makeLedger() const;

    std::string path_;
    int days_ = 0;
    std::shared_ptr<HistoryLedger> ledger_;
    std::shared_ptr<HistoryRecorder> recorder_;
    std::unique_ptr<HistoryWindow> window_;
};
