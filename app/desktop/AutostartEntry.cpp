#include "app/desktop/AutostartEntry.h"

#include <filesystem>
#include <system_error>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings/StoredValues.h"

namespace AutostartEntry {
namespace {

// Written beside the entry and renamed over it, so that the session never reads half an entry and an entry
// that is a symlink is replaced as a link, never written through into whatever it points to.
QString writeReplacing(const QString& file, const QByteArray& bytes) {
    QByteArray temporary = QFile::encodeName(file) + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    int error = 0;
    for (qsizetype done = 0; done < bytes.size() && error == 0;) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (errno != EINTR)
            error = errno;
    }
    if (error == 0 && (fchmod(fd, 0644) != 0 || fsync(fd) != 0))
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && std::rename(temporary.constData(), QFile::encodeName(file).constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.constData());
        return QString::fromLocal8Bit(std::strerror(error));
    }
    return {};
}

bool onPath(const QString& program) {
    const QString found = QStandardPaths::findExecutable(QStringLiteral("ostrevo"));
    if (found.isEmpty())
        return false;
    const QString canonical = QFileInfo(program).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(found).canonicalFilePath();
}

// One argument of an Exec key, before the string escapes of the file format.
QString quotedArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = argument.isEmpty();
    for (const QChar c : argument)
        needsQuotes = needsQuotes || reserved.contains(c);
    if (!needsQuotes)
        return argument;
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

QString escapedValue(const QString& value) {
    QString escaped;
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            escaped += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            escaped += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            escaped += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            escaped += QStringLiteral("\\r");
        else if (c == QLatin1Char('%'))
            escaped += QStringLiteral("%%"); // a lone % would start a field code
        else
            escaped += c;
    }
    return escaped;
}

QString writeError(const QString& file, const QString& reason) {
    return QStringLiteral("Can't write the autostart entry %1: %2").arg(QDir::toNativeSeparators(file), reason);
}

} // namespace

QString path() {
    const std::string folder = configHomeFolder();
    if (folder.empty())
        return {};
    return QString::fromStdString(folder) + QStringLiteral("/autostart/ostrevo.desktop");
}

bool exists() {
    const QString file = path();
    return !file.isEmpty() && QFileInfo::exists(file);
}

QString execLine(const QString& program) {
    const QString binary = onPath(program) ? QStringLiteral("ostrevo") : quotedArgument(program);
    return escapedValue(binary) + QStringLiteral(" --autostart");
}

QString install(const QString& program) {
    const QString file = path();
    if (file.isEmpty())
        return QStringLiteral("Can't write the autostart entry: HOME is not set, so there is no folder for it.");
    std::error_code error;
    std::filesystem::create_directories(QFileInfo(file).absolutePath().toStdString(), error);
    if (error)
        return writeError(file, QString::fromStdString(error.message()));

    const QString content = QStringLiteral("[Desktop Entry]\n"
                                           "Type=Application\n"
                                           "Name=Ostrevo\n"
                                           "Comment=Watch whether a network host answers ping\n"
                                           "Exec=%1\n"
                                           "Icon=ostrevo\n"
                                           "Terminal=false\n")
                                .arg(execLine(program));
    const QString reason = writeReplacing(file, content.toUtf8());
    if (!reason.isEmpty())
        return writeError(file, reason);
    return {};
}

QString remove() {
    if (path().isEmpty())
        return {}; // nowhere to look, so nothing of ours is there
    // A symlink is removed as a link; its target stays.
    QFile file(path());
    if (!file.exists() || file.remove())
        return {};
    return QStringLiteral("Can't remove the autostart entry %1: %2")
        .arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
}

} // namespace AutostartEntry
