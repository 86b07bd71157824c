#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include <QDateTime>
#include <QLocale>

#include "alerts/MessagePort.h"
#include "settings/Settings.h"
#include "types/HostStatus.h"

// The semicolon-separated event log. Lives on the window thread: opened at start-up and after the options
// are confirmed, one record per log message from the worker. Each record goes to the file at once, as one
// append, so readers (tail -f) see it immediately and several programs can share one file; a file renamed
// or deleted under us (log rotation) is recreated.
class EventLog {
public:
    // `settings` are read, never written: the owner of the settings turns logging off when told.
    EventLog(const Settings& settings, MessagePort& messages,
             std::function<QDateTime()> now = QDateTime::currentDateTime, QLocale locale = QLocale::system());
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Called when a failure has stopped logging, before the error box shows: LogLevel is to become 0, and
    // the worker must stop sending records. Until the file is opened again no record is written anyway.
    std::function<void()> loggingStopped;

    void openLogFile();
    void writeRecord(HostStatus status, const std::string& text);
    void release();
    [[nodiscard]] bool isOpen() const { return fd_ >= 0; }

    static constexpr const char* kHeader = "Address;Date;Time;Status;Responce\r\n";

    // The locale's long time format without its time-zone name.
    [[nodiscard]] static QString timeFormatOf(const QLocale& locale);
    // The locale's short date format with a two-digit year widened to four.
    [[nodiscard]] static QString dateFormatOf(const QLocale& locale);

private:
    [[nodiscard]] std::string formRecord(HostStatus status, const std::string& text) const;
    [[nodiscard]] bool followRenamedFile();
    [[nodiscard]] bool openExisting();
    [[nodiscard]] bool appendRecord(const std::string& record);
    void fail(const char* text);

    const Settings& settings_;
    MessagePort& messages_;
    std::function<QDateTime()> now_;
    QLocale locale_;
    QString dateFormat_;
    QString timeFormat_;
    int fd_ = -1;
    bool stopped_ = false; // a failure stopped logging; records arriving meanwhile are dropped quietly
    std::string openedName_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};
