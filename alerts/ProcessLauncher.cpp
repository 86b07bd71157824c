#include "alerts/ProcessLauncher.h"

#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>

std::vector<std::string> splitParameters(std::string_view params) {
    std::vector<std::string> args;
    std::string current;
    bool inArgument = false;
    bool inQuotes = false;
    for (std::size_t i = 0; i < params.size(); ++i) {
        const char c = params[i];
        if (inQuotes) {
            if (c != '"') {
                current += c;
            } else if (i + 1 < params.size() && params[i + 1] == '"') {
                current += '"';
                ++i;
            } else {
                inQuotes = false;
            }
        } else if (c == ' ' || c == '\t') {
            if (inArgument)
                args.push_back(std::move(current));
            current.clear();
            inArgument = false;
        } else {
            // A quote may open in the middle of a word: abc"d e" is one argument.
            inArgument = true;
            if (c == '"')
                inQuotes = true;
            else
                current += c;
        }
    }
    if (inArgument)
        args.push_back(std::move(current));
    return args;
}

std::string ProcessLauncher::resolve(const std::string& file) {
    if (file.empty())
        return {};
    const QString name = QString::fromLocal8Bit(file);
    QString path;
    if (file.find('/') != std::string::npos) {
        path = name;
    } else {
        path = QStandardPaths::findExecutable(name);
        if (path.isEmpty())
            path = name;
    }
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    // Absolute, because the child changes to the working directory before it executes the program.
    return info.absoluteFilePath().toLocal8Bit().toStdString();
}

bool ProcessLauncher::tryLaunch(const LaunchRequest& request) {
    const std::string path = resolve(request.file);
    if (path.empty())
        return false;
    const QFileInfo info(QString::fromLocal8Bit(path));
    if (!info.isFile() || !info.isExecutable())
        return openDocument ? openDocument(path) : false;

    QStringList arguments;
    for (const std::string& arg : splitParameters(request.params))
        arguments << QString::fromLocal8Bit(arg);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : request.environment)
        environment.insert(QString::fromLocal8Bit(name), QString::fromLocal8Bit(value));

    // startDetached needs no event loop, so the worker thread may call it; it returns once the child has
    // executed the program or failed to.
    QProcess process;
    process.setProgram(info.absoluteFilePath());
    process.setArguments(arguments);
    if (!request.workingDir.empty())
        process.setWorkingDirectory(QString::fromLocal8Bit(request.workingDir));
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    return process.startDetached();
}

void ProcessLauncher::launch(const LaunchRequest& request) {
    (void)tryLaunch(request);
}
