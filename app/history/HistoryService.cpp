#include "app/history/HistoryService.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include <QDateTime>
#include <QStandardPaths>

#include "app/history/HistoryWindow.h"
#include "history/HistoryLedger.h"
#include "history/HistoryRecorder.h"
#include "history/PendingLog.h"

namespace {
// How long the window waits for a file it has just opened to be ready (repaired, moved aside when damaged,
// or reported unwritable), so its first look shows that state rather than what was there a moment before.
// A large backlog of old rows to prune can outlast it: the window then catches up at its next refresh.
constexpr std::chrono::milliseconds kFirstOpenWait{250};
} // namespace

HistoryService::HistoryService(int days, std::string path)
    : path_(path.empty() ? defaultPath() : std::move(path)), days_(days),
      recorder_(std::make_shared<HistoryRecorder>(nullptr)) {
    // A program that died left probes in its pending log: they are stored now, not when a run first probes.
    if (days_ > 0 && PendingLog::anyIn(path_))
        open();
}

HistoryService::~HistoryService() {
    // The window reads the ledger; it goes first. The ledger then writes what is still queued.
    window_.reset();
    recorder_->setLedger(nullptr);
}

std::string HistoryService::defaultPath() {
    // The data location of organisation "Quorvan Corporation", application "Ostrevo", spelled out: the
    // program's application name is its window caption, not a folder name.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return (base + QStringLiteral("/Quorvan Corporation/Ostrevo/history.sqlite")).toStdString();
}

std::shared_ptr<HistoryLedger> HistoryService::makeLedger() const {
    HistoryOptions options;
    options.path = path_;
    options.days = days_;
    // The ledger tells each failure once; monitoring goes on regardless.
    options.onProblem = [](const std::string& message) {
        std::fprintf(stderr, "ostrevo: history: %s\n", message.c_str());
    };
    return std::make_shared<HistoryLedger>(std::move(options));
}

ProbeObserver& HistoryService::observer() {
    return *recorder_;
}

PathObserver& HistoryService::pathObserver() {
    return *recorder_;
}

void HistoryService::open() {
    if (ledger_)
        return;
    ledger_ = makeLedger();
    recorder_->setLedger(ledger_);
}

std::shared_ptr<HistoryLedger> HistoryService::ledger() {
    open();
    return ledger_;
}

std::shared_ptr<HistoryLedger> HistoryService::keptLedger() {
    std::error_code error;
    if (!ledger_ && !std::filesystem::exists(path_, error))
        return nullptr;
    return ledger();
}

void HistoryService::setDays(int days) {
    if (days == days_)
        return;
    days_ = days;
    if (!ledger_)
        return;
    // The old ledger writes what it holds before the new one opens the file.
    recorder_->setLedger(nullptr);
    if (window_)
        window_->setLedger(nullptr);
    ledger_.reset();
    open();
    if (window_)
        window_->setLedger(ledger_);
}

void HistoryService::showWindow(const QString& host) {
    if (!ledger_) {
        open();
        if (ledger_->enabled())
            (void)ledger_->flush(kFirstOpenWait);
    }
    if (!window_) {
        window_ = std::make_unique<HistoryWindow>(ledger_, host);
        QObject::connect(window_.get(), &HistoryWindow::routeSnapshotRequested, window_.get(), [this](qint64 id) {
            if (onRouteRequested)
                onRouteRequested(id);
        });
    } else if (window_->host() != host)
        window_->setHost(host);
    if (window_->isMinimized())
        window_->showNormal();
    else
        window_->show();
    window_->raise();
    window_->activateWindow();
}

void HistoryService::setHost(const QString& host) {
    // Another host chosen in the window stays chosen while the main host stays the same.
    if (window_ && window_->mainHost() != host)
        window_->setHost(host);
}
