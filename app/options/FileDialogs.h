#pragma once

#include <QString>
#include <QStringList>

class QFileDialog;
class QFileInfo;
class QWidget;

// The file pickers of the options dialog. Each returns the chosen absolute path, or an empty string when
// the user cancels.
namespace FileDialogs {

// The log dialog's types as "label|pattern|label|pattern" pairs; the default extension of the chosen type
// is read from it.
inline const QString kLogFileFilter = QStringLiteral(
    "Log files (*.log)|*.log|Text files (*.txt)|*.txt|Data exchange files (*.csv)|*.csv|All files (*.*)|*.*");

// Default extension for the log dialog's filter index (1-based): "log", "txt", "csv", "".
[[nodiscard]] QString defaultExtensionForFilter(const QString& filter, int index);

[[nodiscard]] QString openSound(QWidget* parent, const QString& title, const QString& current);
[[nodiscard]] QString openApplication(QWidget* parent, const QString& current);
[[nodiscard]] QString saveLog(QWidget* parent, const QString& current);

// Title, types, default extension and its tracking of the chosen type, for the log dialog.
void setUpLogDialog(QFileDialog& dialog);
// What the "Applications" type lists: Windows program types, shell scripts and any executable file.
[[nodiscard]] bool isApplicationFile(const QFileInfo& info);

} // namespace FileDialogs
