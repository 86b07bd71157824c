#include "alerts/EventLog.h"

#include "types/HostStatus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char* kCaption = "Logging - Error";

// Copies a date or time format, handing each unquoted run of `letter` to `rewrite(result, length, rest)`,
// where `rest` is what follows the run; it returns how many characters of the rest it has dealt with.
template <class Rewrite> QString rewriteRuns(const QString& format, QChar letter, Rewrite rewrite) {
    QString result;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'\'')
            quoted = !quoted;
        if (quoted || c != letter) {
            result += c;
            continue;
        }
        qsizetype run = 1;
        while (i + run < format.size() && format[i + run] == letter)
            ++run;
        i += run;
        i += rewrite(result, run, QStringView(format).mid(i)) - 1;
    }
    return result;
}

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

EventLog::EventLog(const Settings& settings, MessagePort& messages, std::function<QDateTime()> now, QLocale locale)
    : settings_(settings), messages_(messages), now_(std::move(now)), locale_(std::move(locale)),
      dateFormat_(dateFormatOf(locale_)), timeFormat_(timeFormatOf(locale_)) {}

EventLog::~EventLog() {
    release();
}

QString EventLog::dateFormatOf(const QLocale& locale) {
    return rewriteRuns(locale.dateFormat(QLocale::ShortFormat), u'y', [](QString& result, qsizetype run, QStringView) {
        // Two digits make "12/7/26" ambiguous; every other width already says what the locale means.
        result += run == 2 ? QStringLiteral("yyyy") : QString(run, u'y');
        return qsizetype{0};
    });
}

QString EventLog::timeFormatOf(const QLocale& locale) {
    // A zone token ("t" or "tttt") goes with the blanks around it.
    const auto dropZone = [](QString& result, qsizetype, QStringView rest) {
        qsizetype blanks = 0;
        while (blanks < rest.size() && rest[blanks].isSpace())
            ++blanks;
        while (!result.isEmpty() && result.back().isSpace())
            result.chop(1);
        if (!result.isEmpty() && blanks < rest.size())
            result += u' ';
        return blanks;
    };
    return rewriteRuns(locale.timeFormat(QLocale::LongFormat), u't', dropZone).trimmed();
}

void EventLog::release() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool EventLog::openExisting() {
    // Appending makes each record land at the end as one piece, even when another program writes to the
    // same file between two of our records.
    const int fd = ::open(openedName_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
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
    stopped_ = false;
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
    const ssize_t written = ::write(fd_, record.data(), record.size());
    if (written >= 0 && static_cast<std::size_t>(written) == record.size())
        return true;
    // A record cut short by a full disk would leave a broken last line: take it back, unless another writer
    // has appended after it meanwhile, whose record must not go with it.
    if (written > 0) {
        const int saved = errno;
        struct stat st {};
        const off_t after = ::lseek(fd_, 0, SEEK_CUR);
        if (after >= written && ::fstat(fd_, &st) == 0 && st.st_size == after)
            (void)::ftruncate(fd_, after - written);
        errno = saved;
    }
    return false;
}

std::string EventLog::formRecord(HostStatus status, const std::string& text) const {
    // Date and time each come from the clock as their field is formed.
    const QByteArray date = locale_.toString(now_().date(), dateFormat_).toLocal8Bit();
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
    if (settings_.logLevel == LogLevel::Off || stopped_)
        return;
    if (!appendRecord(formRecord(status, text)))
        fail("Can't write to Log file. Logging disabled.");
}

void EventLog::fail(const char* text) {
    // Logging is off before the box appears, so records arriving while it is open are dropped quietly.
    stopped_ = true;
    if (loggingStopped)
        loggingStopped();
    messages_.showError(text, kCaption);
}
