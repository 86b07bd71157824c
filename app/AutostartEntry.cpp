#include "app/AutostartEntry.h"

#include <filesystem>
#include <system_error>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace AutostartEntry {
namespace {

QString configHome() {
    // A relative value is invalid and ignored, as the base directory rules say.
    const QString fromEnvironment = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!fromEnvironment.isEmpty() && QDir::isAbsolutePath(fromEnvironment))
        return fromEnvironment;
    return QDir::homePath() + QStringLiteral("/.config");
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
    return configHome() + QStringLiteral("/autostart/ostrevo.desktop");
}

bool exists() {
    return QFileInfo::exists(path());
}

QString execLine(const QString& program) {
    const QString binary = onPath(program) ? QStringLiteral("ostrevo") : quotedArgument(program);
    return escapedValue(binary) + QStringLiteral(" --autostart");
}

QString install(const QString& program) {
    const QString file = path();
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
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return writeError(file, out.errorString());
    const QByteArray bytes = content.toUtf8();
    if (out.write(bytes) != bytes.size() || !out.commit())
        return writeError(file, out.errorString());
    return {};
}

QString remove() {
    QFile file(path());
    if (!file.exists() || file.remove())
        return {};
    return QStringLiteral("Can't remove the autostart entry %1: %2")
        .arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
}

} // namespace AutostartEntry
