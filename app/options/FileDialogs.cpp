#include "app/options/FileDialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QSortFilterProxyModel>

namespace FileDialogs {
namespace {

const QStringList kLogFilters = {QStringLiteral("Log files (*.log)"), QStringLiteral("Text files (*.txt)"),
                                 QStringLiteral("Data exchange files (*.csv)"), QStringLiteral("All files (*)")};
const QString kApplicationsFilter = QStringLiteral("Applications (*.exe, *.com, *.bat, *.cmd)");
const QString kAllFilesFilter = QStringLiteral("All files (*)");

QString startFolder(const QString& current) {
    if (current.isEmpty())
        return {};
    return QFileInfo(current).absolutePath();
}

QString firstSelected(QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted)
        return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.front();
}

// Most Linux programs have no extension, so the "Applications" type lists executable files as well. The
// dialog's own name matching only greys out what its patterns miss; this model decides what is listed.
class ApplicationFilter : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void setActive(bool active) {
        active_ = active;
        invalidateFilter();
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override {
        Qt::ItemFlags f = QSortFilterProxyModel::flags(index);
        if (active_ && accepted(mapToSource(index)))
            f |= Qt::ItemIsEnabled;
        return f;
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        return !active_ || accepted(sourceModel()->index(row, 0, parent));
    }

private:
    bool accepted(const QModelIndex& source) const {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (files == nullptr || !source.isValid())
            return true;
        QFileInfo info = files->fileInfo(source);
        return info.isDir() || isApplicationFile(info);
    }

    bool active_ = true;
};

} // namespace

bool isApplicationFile(const QFileInfo& info) {
    static const QStringList kSuffixes = {QStringLiteral("exe"), QStringLiteral("com"), QStringLiteral("bat"),
                                          QStringLiteral("cmd"), QStringLiteral("sh")};
    if (!info.isFile())
        return false;
    return kSuffixes.contains(info.suffix(), Qt::CaseInsensitive) || info.isExecutable();
}

QString defaultExtensionForFilter(const QString& filter, int index) {
    QString rest = filter;
    int n = 2 * index - 1;
    do {
        rest.remove(0, rest.indexOf(QLatin1Char('|')) + 1);
    } while (--n > 0);
    qsizetype bar = rest.indexOf(QLatin1Char('|'));
    if (bar <= 2)
        return {};
    return rest.mid(2, bar - 2);
}

QString openSound(QWidget* parent, const QString& title, const QString& current) {
    QFileDialog dialog(parent, title, startFolder(current));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("Sound files (*.wav)"), kAllFilesFilter});
    return firstSelected(dialog);
}

QString openApplication(QWidget* parent, const QString& current) {
    QFileDialog dialog(parent, QStringLiteral("Select Application"), startFolder(current));
    dialog.setOption(QFileDialog::DontUseNativeDialog); // the filter model works on Qt's own dialog only
    dialog.setFileMode(QFileDialog::ExistingFile);
    auto* filter = new ApplicationFilter(&dialog);
    dialog.setProxyModel(filter);
    if (auto* files = qobject_cast<QFileSystemModel*>(filter->sourceModel()))
        files->setNameFilterDisables(true);
    dialog.setNameFilters({kApplicationsFilter, kAllFilesFilter});
    QObject::connect(&dialog, &QFileDialog::filterSelected, filter,
                     [filter](const QString& chosen) { filter->setActive(chosen == kApplicationsFilter); });
    return firstSelected(dialog);
}

void setUpLogDialog(QFileDialog& dialog) {
    dialog.setWindowTitle(QStringLiteral("Select log file"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    dialog.setNameFilters(kLogFilters);
    dialog.selectNameFilter(kLogFilters.front());
    dialog.setDefaultSuffix(defaultExtensionForFilter(kLogFileFilter, 1));
    // A name typed without extension gets the one of the chosen type, and none with "All files".
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& chosen) {
        int index = static_cast<int>(kLogFilters.indexOf(chosen)) + 1;
        dialog.setDefaultSuffix(defaultExtensionForFilter(kLogFileFilter, index));
    });
}

QString saveLog(QWidget* parent, const QString& current) {
    QFileDialog dialog(parent);
    setUpLogDialog(dialog);
    if (!current.isEmpty())
        dialog.selectFile(current);
    return firstSelected(dialog);
}

} // namespace FileDialogs
