#include "settings/StoredValues.h"

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>

namespace {

QString fromStd(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string toStdString(const QByteArray& bytes) {
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

bool isValidUtf8(const std::string& text) {
    QByteArray bytes = QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size()));
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// Opening a FIFO waits for a writer and a device may do anything; only a regular file (or nothing yet) is
// safe to hand to QSettings.
bool isSafeToOpen(const std::string& path, const char* action) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        return true;
    std::fprintf(stderr, "ostrevo: %s is not a regular file; settings are not %s\n", path.c_str(), action);
    return false;
}

// The folder of the file, locked for one Update session; -1 when there is no folder yet or the wait ran out,
// the session then going ahead as a plain one would.
int lockFolderOf(const std::string& path) {
    const std::string folder = path.substr(0, path.rfind('/'));
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(fd);
    return -1;
}

} // namespace

std::string configHomeFolder() {
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the base directory rules say. Qt would take an
    // unset or empty HOME for the root folder; a relative one would put the files wherever the program runs.
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.startsWith(QLatin1Char('/')))
        return config.toStdString();
    const QString home = qEnvironmentVariable("HOME");
    if (home.startsWith(QLatin1Char('/')))
        return (home + QStringLiteral("/.config")).toStdString();
    return {};
}

std::string storeFilePath(const std::string& keyPath) {
    // "Software\Organisation\Application" names the organisation and application, as QSettings places
    // them: <configuration folder>/<organisation>/<application>.conf.
    std::string_view path = keyPath;
    constexpr std::string_view software = "Software\\";
    if (path.substr(0, software.size()) == software)
        path.remove_prefix(software.size());
    std::string_view organisation = path;
    std::string_view application;
    if (auto cut = path.rfind('\\'); cut != std::string_view::npos) {
        organisation = path.substr(0, cut);
        application = path.substr(cut + 1);
    }
    const std::string folder = configHomeFolder();
    if (folder.empty())
        return {};
    return (fromStd(folder) + QLatin1Char('/') + fromStd(organisation) + QLatin1Char('/') + fromStd(application) +
            QStringLiteral(".conf"))
        .toStdString();
}

StoreSession::StoreSession(const std::string& keyPath, Purpose purpose)
    : path_(storeFilePath(keyPath)), purpose_(purpose) {
    const char* action = purpose == Purpose::Load ? "read" : "saved";
    if (path_.empty()) {
        std::fprintf(stderr, "ostrevo: HOME is not set (nor XDG_CONFIG_HOME); settings are not %s\n", action);
        return;
    }
    if (!isSafeToOpen(path_, action))
        return;
    if (purpose == Purpose::Update)
        folderLock_ = lockFolderOf(path_);
    store_ = std::make_unique<QSettings>(QString::fromStdString(path_), QSettings::IniFormat);
    // QSettings shares parsed files within the process; sync() makes a load see changes made by others.
    if (purpose != Purpose::Save)
        store_->sync();
}

StoreSession::~StoreSession() {
    store_.reset();
    if (folderLock_ >= 0)
        close(folderLock_);
}

std::string StoreSession::read(const std::string& valueName) const {
    if (!store_)
        return {};
    return textOf(store_->value(fromStd(valueName)));
}

std::string StoreSession::textOf(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::QByteArray: // what write() makes of bytes that are not UTF-8
        return toStdString(value.toByteArray());
    case QMetaType::QStringList: // a hand-edited value with unquoted commas
        return toStdString(value.toStringList().join(QLatin1Char(',')).toUtf8());
    default:
        // Anything else a hand-edited file may hold (@Variant(...) of another type) reads as its text form,
        // which is empty for types without one.
        return value.canConvert<QString>() ? toStdString(value.toString().toUtf8()) : std::string();
    }
}

bool StoreSession::contains(const std::string& valueName) const {
    return store_ && store_->contains(fromStd(valueName));
}

std::optional<std::string> StoreSession::find(const std::string& valueName) const {
    // One look-up rather than contains() and read(): a save reads every entry of a long host list.
    const QVariant value = store_ ? store_->value(fromStd(valueName)) : QVariant();
    if (!value.isValid())
        return std::nullopt;
    return textOf(value);
}

std::vector<std::pair<std::string, std::string>> StoreSession::textsUnder(std::string_view prefix) const {
    std::vector<std::pair<std::string, std::string>> texts;
    if (!store_)
        return texts;
    for (const QString& key : store_->allKeys()) {
        std::string name = key.toStdString();
        if (name.starts_with(prefix))
            texts.emplace_back(std::move(name), textOf(store_->value(key)));
    }
    return texts;
}

void StoreSession::write(const std::string& valueName, const std::string& text) {
    if (!store_)
        return;
    written_ = true;
    if (isValidUtf8(text))
        store_->setValue(fromStd(valueName), fromStd(text));
    else
        store_->setValue(fromStd(valueName), QByteArray(text.data(), static_cast<qsizetype>(text.size())));
}

void StoreSession::remove(const std::string& valueName) {
    if (!store_)
        return;
    written_ = true;
    store_->remove(fromStd(valueName));
}

bool StoreSession::commit() {
    if (!store_)
        return false;
    if (!written_)
        return true;
    struct stat before {};
    const bool existed = stat(path_.c_str(), &before) == 0;
    // One sync takes the lock file beside it, reads the file again when its size or time has changed, merges
    // the values set here into it, writes the result into a temporary file next to the old one and renames
    // it over it.
    store_->sync();
    // An old file that did not parse leaves QSettings reporting FormatError for good, even when the sync has
    // replaced it and even when the write failed; the file itself then tells which.
    struct stat after {};
    const bool replaced =
        existed && stat(path_.c_str(), &after) == 0 && (after.st_ino != before.st_ino || after.st_dev != before.st_dev);
    if (store_->status() == QSettings::NoError || (store_->status() == QSettings::FormatError && replaced))
        return true;
    std::fprintf(stderr, "ostrevo: cannot save the settings to %s; the previous file is kept\n", path_.c_str());
    return false;
}

std::string readStoredValue(const std::string& keyPath, const std::string& valueName) {
    return StoreSession(keyPath, StoreSession::Purpose::Load).read(valueName);
}

void writeStoredValue(const std::string& keyPath, const std::string& valueName, const std::string& text) {
    StoreSession session(keyPath, StoreSession::Purpose::Save);
    session.write(valueName, text);
    session.commit();
}

std::string fileVersionString(const std::string& fileName) {
    struct stat self {};
    struct stat named {};
    if (stat("/proc/self/exe", &self) != 0 || stat(fileName.c_str(), &named) != 0 || self.st_dev != named.st_dev ||
        self.st_ino != named.st_ino)
        return "1.0.0.0";
#ifdef OSTREVO_VERSION
    return OSTREVO_VERSION;
#else
    return "1.0.0.0";
#endif
}
