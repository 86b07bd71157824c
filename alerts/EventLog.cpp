#include "alerts/EventLog.h"

#include "engine/HostStatus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char* kCaption = "Logging - Error";

bool writeAll(int fd, const char* data, std::size_t size) {
    const ssize_t written = ::write(fd, data, size);
    return written >= 0 && static_cast<std::size_t>(written) == size;
}

// Creates (or empties) the file and gives it the header. Failures surface when the file is opened.
void createWithHeader(const std::string& name) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    (void)writeAll(fd, EventLog::kHeader, std::strlen(EventLog::kHeader));
    ::close(fd);
}

} // namespace

EventLog::EventLog(Settings& settings, MessagePort& messages, std::function<QDateTime()> now, QLocale locale)
    : settings_(settings), messages_(messages), now_(std::move(now)), locale_(std::move(locale)),
      timeFormat_(timeFormatOf(locale_)) {}

EventLog::~EventLog() {
    release();
}

QString EventLog::timeFormatOf(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'\'')
            quoted = !quoted;
        if (quoted || c != u't') {
            result += c;
            continue;
        }
        // A zone token ("t" or "tttt") goes with the blanks around it.
        while (i + 1 < format.size() && format[i + 1] == u't')
            ++i;
        while (!result.isEmpty() && result.back().isSpace())
            result.chop(1);
        while (i + 1 < format.size() && format[i + 1].isSpace())
            ++i;
        if (!result.isEmpty() && i + 1 < format.size())
            result += u' ';
    }
    return result.trimmed();
}

void EventLog::release() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool EventLog::openExisting() {
    const int fd = ::open(openedName_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
}

void EventLog::openLogFile() {
    release();
    openedName_ = settings_.logFileName;
    struct stat st {};
    if (!settings_.logAppend || ::stat(openedName_.c_str(), &st) != 0)
        createWithHeader(openedName_);
    if (!openExisting())
        fail("Can't open Log file. Logging disabled.");
}

bool EventLog::followRenamedFile() {
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd_, &opened) != 0)
        return false;
    const bool same = opened.st_nlink > 0 && ::stat(openedName_.c_str(), &named) == 0 && named.st_dev == device_ &&
                      named.st_ino == inode_;
    if (same)
        return true;
    // Rotated away: the records continue in a file of the configured name, which starts with the header
    // whether we create it or a rotation tool left it empty.
    release();
    if (::stat(openedName_.c_str(), &named) != 0)
        createWithHeader(openedName_);
    if (!openExisting())
        return false;
    if (::lseek(fd_, 0, SEEK_END) == 0)
        return writeAll(fd_, kHeader, std::strlen(kHeader));
    return true;
}

bool EventLog::appendRecord(const std::string& record) {
    if (fd_ < 0 || !followRenamedFile())
        return false;
    const off_t end = ::lseek(fd_, 0, SEEK_END);
    if (end < 0)
        return false;
    const ssize_t written = ::write(fd_, record.data(), record.size());
    if (written >= 0 && static_cast<std::size_t>(written) == record.size())
        return true;
    // A record cut short by a full disk would leave a broken last line: take it back.
    if (written > 0) {
        const int saved = errno;
        (void)::ftruncate(fd_, end);
        errno = saved;
    }
    return false;
}

std::string EventLog::formRecord(HostStatus status, const std::string& text) const {
    // Date and time each come from the clock as their field is formed.
    const QByteArray date = locale_.toString(now_().date(), QLocale::ShortFormat).toLocal8Bit();
    const QByteArray time = locale_.toString(now_().time(), timeFormat_).toLocal8Bit();
    std::string record = settings_.host;
    record += ';';
    record.append(date.constData(), static_cast<std::size_t>(date.size()));
    record += ';';
    record.append(time.constData(), static_cast<std::size_t>(time.size()));
    record += ';';
    record += statusWord(status, "N/A");
    record += ';';
    record += text;
    record += "\r\n";
    return record;
}

void EventLog::writeRecord(HostStatus status, const std::string& text) {
    if (settings_.logLevel == LogLevel::Off)
        return;
    if (!appendRecord(formRecord(status, text)))
        fail("Can't write to Log file. Logging disabled.");
}

void EventLog::fail(const char* text) {
    // Logging is off before the box appears, so records arriving while it is open are dropped quietly.
    settings_.logLevel = LogLevel::Off;
    messages_.showError(text, kCaption);
}
