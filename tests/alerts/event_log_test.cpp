#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "alerts/EventLog.h"
#include "support/RecordingMessagePort.h"
#include "support/TempDir.h"

namespace {

const std::string kHeader = "Address;Date;Time;Status;Responce\r\n";
const ShownError kOpenError{"Can't open Log file. Logging disabled.", "Logging - Error"};
const ShownError kWriteError{"Can't write to Log file. Logging disabled.", "Logging - Error"};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

QDateTime at(int h, int m, int s, int day = 7) {
    return QDateTime(QDate(2026, 12, day), QTime(h, m, s));
}

class EventLogTest : public ::testing::Test {
protected:
    EventLogTest() {
        settings.host = "router.lan";
        settings.logLevel = LogLevel::EveryRequest;
        settings.logAppend = true;
        settings.logFileName = path;
        messages.onShow = [this] { levelWhenShown.push_back(static_cast<int>(settings.logLevel)); };
    }

    // A log whose failures reach the test's settings as they reach the window's through its owner.
    struct Log : EventLog {
        Log(Settings& settings, MessagePort& messages, std::function<QDateTime()> now, QLocale locale)
            : EventLog(settings, messages, std::move(now), std::move(locale)) {
            loggingStopped = [&settings] { settings.logLevel = LogLevel::Off; };
        }
    };

    Log makeLog(QLocale locale = QLocale(QStringLiteral("en_US"))) {
        return Log(
            settings, messages, [this] { return clock.size() > 1 ? pop() : clock.front(); }, std::move(locale));
    }

    // What the settings' owner does when the log tells it that logging has stopped.
    std::function<void()> turnOff() {
        return [this] { settings.logLevel = LogLevel::Off; };
    }

    QDateTime pop() {
        QDateTime t = clock.front();
        clock.pop_front();
        return t;
    }

    TempDir dir;
    std::string path = dir.file("ping.log");
    Settings settings;
    RecordingMessagePort messages;
    std::vector<int> levelWhenShown;
    std::deque<QDateTime> clock{at(9, 5, 3)};
};

TEST_F(EventLogTest, NewFileGetsHeaderThenRecordsInOrder) {
    for (const bool append : {true, false}) {
        std::filesystem::remove(path);
        settings.logAppend = append;
        auto log = makeLog();
        log.openLogFile();
        ASSERT_TRUE(log.isOpen());
        log.writeRecord(HostStatus::NA, "Reply from 127.0.0.1: bytes=32 time<1ms TTL=255");
        log.writeRecord(HostStatus::Bad, "Request Timed Out");
        log.writeRecord(HostStatus::Average, "");
        log.writeRecord(HostStatus::Good, "x");
        EXPECT_EQ(readFile(path), kHeader +
                                      "router.lan;12/7/2026;9:05:03 AM;N/A;Reply from 127.0.0.1: bytes=32 time<1ms "
                                      "TTL=255\r\n"
                                      "router.lan;12/7/2026;9:05:03 AM;Bad;Request Timed Out\r\n"
                                      "router.lan;12/7/2026;9:05:03 AM;Average;\r\n"
                                      "router.lan;12/7/2026;9:05:03 AM;Good;x\r\n");
    }
    EXPECT_TRUE(messages.errors().empty());
}

TEST_F(EventLogTest, AppendKeepsContentsWithoutSecondHeader) {
    writeFile(path, kHeader + "old;line\r\n");
    auto log = makeLog();
    log.openLogFile();
    log.writeRecord(HostStatus::Good, "a");
    log.openLogFile(); // options confirmed again
    log.writeRecord(HostStatus::Bad, "b");
    EXPECT_EQ(readFile(path), kHeader + "old;line\r\nrouter.lan;12/7/2026;9:05:03 AM;Good;a\r\n" +
                                  "router.lan;12/7/2026;9:05:03 AM;Bad;b\r\n");
}

TEST_F(EventLogTest, WithoutAppendEveryOpenStartsAnew) {
    writeFile(path, "older contents\r\n");
    settings.logAppend = false;
    auto log = makeLog();
    log.openLogFile();
    EXPECT_EQ(readFile(path), kHeader);
    log.writeRecord(HostStatus::Good, "a");
    log.openLogFile();
    EXPECT_EQ(readFile(path), kHeader);
    log.writeRecord(HostStatus::Bad, "b");
    EXPECT_EQ(readFile(path), kHeader + "router.lan;12/7/2026;9:05:03 AM;Bad;b\r\n");
}

TEST_F(EventLogTest, BytesWrittenAsGiven) {
    settings.host = "h;1";
    auto log = makeLog();
    log.openLogFile();
    log.writeRecord(HostStatus::Good, "caf\xE9;\"q\" \xC3\xA9");
    EXPECT_EQ(readFile(path), kHeader + "h;1;12/7/2026;9:05:03 AM;Good;caf\xE9;\"q\" \xC3\xA9\r\n");
}

TEST_F(EventLogTest, DateAndTimeFollowTheLocale) {
    struct Case {
        QLocale locale;
        QDateTime time;
        std::string fields;
    };
    const Case cases[] = {
        {QLocale(QStringLiteral("en_US")), at(21, 5, 3), "12/7/2026;9:05:03 PM"},
        {QLocale(QStringLiteral("en_US")), at(0, 0, 9), "12/7/2026;12:00:09 AM"},
        {QLocale(QStringLiteral("de_DE")), at(21, 5, 3), "07.12.2026;21:05:03"},
        {QLocale(QStringLiteral("de_DE")), at(7, 5, 3), "07.12.2026;07:05:03"},
        {QLocale::c(), at(7, 5, 3), "7 Dec 2026;07:05:03"},
        // Year first: the year, widened or not, keeps the separator behind it. The times carry words
        // (Japanese, Korean with a two-digit year to widen), or the zone in front (Chinese).
        {QLocale(QStringLiteral("sv_SE")), at(21, 5, 3), "2026-12-07;21:05:03"},
        {QLocale(QStringLiteral("sv_SE")), at(7, 5, 3), "2026-12-07;07:05:03"},
        {QLocale(QStringLiteral("ja_JP")), at(21, 5, 3), "2026/12/07;21時05分03秒"},
        {QLocale(QStringLiteral("ja_JP")), at(7, 5, 3), "2026/12/07;7時05分03秒"},
        {QLocale(QStringLiteral("ko_KR")), at(21, 5, 3), "2026. 12. 7.;오후 9시 5분 3초"},
        {QLocale(QStringLiteral("ko_KR")), at(7, 5, 3), "2026. 12. 7.;오전 7시 5분 3초"},
        {QLocale(QStringLiteral("zh_CN")), at(21, 5, 3), "2026/12/7;21:05:03"},
        {QLocale(QStringLiteral("zh_CN")), at(7, 5, 3), "2026/12/7;07:05:03"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(path);
        clock = {c.time};
        auto log = makeLog(c.locale);
        log.openLogFile();
        log.writeRecord(HostStatus::Good, "t");
        EXPECT_EQ(readFile(path), kHeader + "router.lan;" + c.fields + ";Good;t\r\n") << c.locale.name().toStdString();
    }
}

TEST_F(EventLogTest, DatesCarryTheFullYearInEveryLocale) {
    for (const char* name : {"en_US", "en_GB", "de_DE", "fr_FR", "ru_RU", "ja_JP", "C"}) {
        const QLocale locale{QString::fromLatin1(name)};
        const QString date = locale.toString(QDate(2026, 12, 7), EventLog::dateFormatOf(locale));
        EXPECT_TRUE(date.contains(QStringLiteral("2026"))) << name << ": " << date.toStdString();
        EXPECT_FALSE(date.contains(QStringLiteral("20262026"))) << name << ": " << date.toStdString();
    }
}

TEST_F(EventLogTest, EveryLevelThatLogsWritesTheRecordsItIsGiven) {
    for (const LogLevel level : {LogLevel::StatusChanges, LogLevel::EveryRequest}) {
        std::filesystem::remove(path);
        settings.logLevel = level;
        auto log = makeLog();
        log.openLogFile();
        log.writeRecord(HostStatus::Bad, "Request Timed Out");
        EXPECT_EQ(readFile(path), kHeader + "router.lan;12/7/2026;9:05:03 AM;Bad;Request Timed Out\r\n")
            << static_cast<int>(level);
    }
    EXPECT_TRUE(messages.errors().empty());
}

// Two programs watching two hosts often share one log: each record is one append, so none is lost or torn.
TEST_F(EventLogTest, SeveralWriterProcessesLoseNoRecord) {
    constexpr int kWriters = 12;
    constexpr int kRecords = 1000;
    const std::string padding(200, '.');
    makeLog().openLogFile(); // the header, once
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char c = 0;
            (void)::read(gate[0], &c, 1); // end of file: every writer starts at once
            RecordingMessagePort port;
            EventLog log(
                settings, port, [] { return at(9, 5, 3); }, QLocale(QStringLiteral("en_US")));
            log.openLogFile();
            for (int i = 0; i < kRecords; ++i)
                log.writeRecord(HostStatus::Good, std::to_string(w) + "/" + std::to_string(i) + padding);
            ::_exit(log.isOpen() && port.errors().empty() ? 0 : 1);
        }
        writers.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::istringstream lines(readFile(path));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line + "\n", kHeader);
    const std::string prefix = "router.lan;12/7/2026;9:05:03 AM;Good;";
    std::set<std::string> seen;
    while (std::getline(lines, line)) {
        ASSERT_TRUE(line.size() > prefix.size() + padding.size() && line.rfind(prefix, 0) == 0 &&
                    line.compare(line.size() - padding.size() - 1, std::string::npos, padding + "\r") == 0)
            << "torn record: " << line;
        seen.insert(line.substr(prefix.size(), line.size() - prefix.size() - padding.size() - 1));
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kWriters * kRecords));
}

TEST_F(EventLogTest, DateAndTimeReadSeparately) {
    // The record written as midnight passes keeps the earlier date with the later time.
    auto log = makeLog(QLocale(QStringLiteral("de_DE")));
    log.openLogFile();
    clock = {at(23, 59, 59, 7), at(0, 0, 0, 8)};
    log.writeRecord(HostStatus::Good, "t");
    EXPECT_EQ(readFile(path), kHeader + "router.lan;07.12.2026;00:00:00;Good;t\r\n");
}

TEST_F(EventLogTest, TimeFormatWithoutZone) {
    EXPECT_EQ(EventLog::timeFormatOf(QLocale(QStringLiteral("en_US"))), QStringLiteral("h:mm:ss AP"));
    EXPECT_EQ(EventLog::timeFormatOf(QLocale(QStringLiteral("de_DE"))), QStringLiteral("HH:mm:ss"));
    EXPECT_EQ(EventLog::timeFormatOf(QLocale::c()), QStringLiteral("HH:mm:ss"));
}

TEST_F(EventLogTest, LevelZeroWritesNothing) {
    auto log = makeLog();
    log.openLogFile();
    settings.logLevel = LogLevel::Off;
    log.writeRecord(HostStatus::Good, "a");
    EXPECT_EQ(readFile(path), kHeader);
    EXPECT_TRUE(messages.errors().empty());
}

TEST_F(EventLogTest, OpenFailuresTurnLoggingOff) {
    const std::string names[] = {dir.file("no-such-dir/ping.log"), "", dir.path()};
    for (const std::string& name : names) {
        for (const bool append : {true, false}) {
            settings.logFileName = name;
            settings.logAppend = append;
            settings.logLevel = LogLevel::StatusChanges;
            RecordingMessagePort port;
            EventLog log(settings, port);
            log.loggingStopped = turnOff();
            log.openLogFile();
            EXPECT_FALSE(log.isOpen()) << name;
            EXPECT_EQ(settings.logLevel, LogLevel::Off) << name;
            EXPECT_EQ(port.errors(), std::vector<ShownError>{kOpenError}) << name;
            log.writeRecord(HostStatus::Good, "dropped");
            EXPECT_EQ(port.errors().size(), 1u) << "no second box";
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("no-such-dir")));
}

TEST_F(EventLogTest, WriteWithoutStreamReportedOnce) {
    auto log = makeLog();
    int stopsTold = 0;
    std::vector<int> toldWhenShown;
    log.loggingStopped = [&, off = turnOff()] {
        off();
        ++stopsTold;
    };
    messages.onShow = [&] {
        levelWhenShown.push_back(static_cast<int>(settings.logLevel));
        toldWhenShown.push_back(stopsTold);
    };
    log.writeRecord(HostStatus::Good, "never opened");
    log.writeRecord(HostStatus::Good, "dropped");
    EXPECT_EQ(messages.errors(), std::vector<ShownError>{kWriteError});
    EXPECT_EQ(levelWhenShown, std::vector<int>{0}) << "logging is off before the box shows";
    EXPECT_EQ(toldWhenShown, std::vector<int>{1}) << "the worker is told before the box shows";

    settings.logLevel = LogLevel::EveryRequest;
    log.openLogFile();
    log.release();
    log.writeRecord(HostStatus::Good, "after release");
    EXPECT_EQ(messages.errors().size(), 2u);
    EXPECT_EQ(readFile(path), kHeader);
}

TEST_F(EventLogTest, DeviceThatIsFull) {
    if (::access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "/dev/full is not writable here";
    settings.logFileName = "/dev/full";
    auto log = makeLog();
    log.openLogFile();
    ASSERT_TRUE(log.isOpen());
    log.writeRecord(HostStatus::Good, "lost");
    EXPECT_EQ(messages.errors(), std::vector<ShownError>{kWriteError});
    EXPECT_EQ(settings.logLevel, LogLevel::Off);
}

// A full disk in the middle of a record: the record is taken back whole, earlier records stay.
TEST_F(EventLogTest, ShortWriteLeavesEarlierRecordsIntact) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string mnt = dir.file("small");
    std::filesystem::create_directory(mnt);
    if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=16k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{mnt};

    settings.logFileName = mnt + "/ping.log";
    auto log = makeLog();
    log.openLogFile();
    log.writeRecord(HostStatus::Good, "kept");
    const std::string before = readFile(settings.logFileName);
    {
        std::ofstream filler(mnt + "/filler", std::ios::binary);
        const std::string block(1024, 'f');
        for (int i = 0; i < 64 && filler; ++i)
            filler.write(block.data(), static_cast<std::streamsize>(block.size())).flush();
    }
    log.writeRecord(HostStatus::Bad, std::string(6000, 'x'));
    EXPECT_EQ(messages.errors(), std::vector<ShownError>{kWriteError});
    EXPECT_EQ(settings.logLevel, LogLevel::Off);
    const std::string after = readFile(settings.logFileName);
    EXPECT_EQ(after.size(), before.size());
    EXPECT_TRUE(after == before);
}

TEST_F(EventLogTest, RotatedFileIsRecreatedWithHeader) {
    enum class Rotation { Delete, Rename, RenameAndLeaveEmpty, RenameAndLeaveContent };
    for (const Rotation rotation :
         {Rotation::Delete, Rotation::Rename, Rotation::RenameAndLeaveEmpty, Rotation::RenameAndLeaveContent}) {
        std::filesystem::remove(path);
        auto log = makeLog();
        log.openLogFile();
        log.writeRecord(HostStatus::Good, "first");
        std::string expected = kHeader;
        if (rotation == Rotation::Delete) {
            std::filesystem::remove(path);
        } else {
            std::filesystem::rename(path, path + ".1");
            if (rotation == Rotation::RenameAndLeaveEmpty)
                writeFile(path, "");
            if (rotation == Rotation::RenameAndLeaveContent)
                expected = "someone else's;line\r\n";
            if (rotation != Rotation::Rename)
                writeFile(path, rotation == Rotation::RenameAndLeaveEmpty ? "" : expected);
        }
        log.writeRecord(HostStatus::Bad, "second");
        log.writeRecord(HostStatus::Good, "third");
        EXPECT_EQ(readFile(path), expected + "router.lan;12/7/2026;9:05:03 AM;Bad;second\r\n" +
                                      "router.lan;12/7/2026;9:05:03 AM;Good;third\r\n")
            << static_cast<int>(rotation);
        if (rotation != Rotation::Delete) {
            EXPECT_EQ(readFile(path + ".1"), kHeader + "router.lan;12/7/2026;9:05:03 AM;Good;first\r\n");
        }
    }
    EXPECT_TRUE(messages.errors().empty());
}

TEST_F(EventLogTest, RotationIntoMissingDirectoryIsAWriteFailure) {
    settings.logFileName = dir.file("sub/ping.log");
    std::filesystem::create_directory(dir.file("sub"));
    auto log = makeLog();
    log.openLogFile();
    std::filesystem::remove_all(dir.file("sub"));
    log.writeRecord(HostStatus::Good, "lost");
    EXPECT_EQ(messages.errors(), std::vector<ShownError>{kWriteError});
    EXPECT_FALSE(log.isOpen());
}

TEST_F(EventLogTest, RecordVisibleToAnotherReaderAtOnce) {
    auto log = makeLog();
    log.openLogFile();
    std::ifstream reader(path, std::ios::binary);
    std::string line;
    std::getline(reader, line);
    log.writeRecord(HostStatus::Good, "now");
    std::getline(reader, line);
    EXPECT_EQ(line, "router.lan;12/7/2026;9:05:03 AM;Good;now\r");
}

} // namespace
