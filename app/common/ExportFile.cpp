#include "app/common/ExportFile.h"

#include <ostream>
#include <streambuf>

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSaveFile>

namespace ExportFile {

namespace {

// Hands the bytes of a stream to a Qt device in large writes.
class DeviceBuffer : public std::streambuf {
public:
    explicit DeviceBuffer(QIODevice& device) : device_(device) { setp(buffer_, buffer_ + sizeof buffer_); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

protected:
    int_type overflow(int_type c) override {
        if (!drain())
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return drain() ? 0 : -1; }

private:
    bool drain() {
        const qint64 size = pptr() - pbase();
        const bool ok = size == 0 || device_.write(pbase(), size) == size;
        setp(buffer_, buffer_ + sizeof buffer_);
        return ok;
    }

    QIODevice& device_;
    char buffer_[64 * 1024];
};

} // namespace

QString write(const QString& path, const std::function<bool(std::ostream&)>& write,
              const std::function<QString()>& problem) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("Cannot export to %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
    bool written = false;
    {
        DeviceBuffer buffer(file);
        std::ostream out(&buffer);
        written = write(out);
        written = written && static_cast<bool>(out.flush());
    }
    if (written && file.commit())
        return {};
    QString reason = file.error() != QFileDevice::NoError ? file.errorString() : QString();
    if (reason.isEmpty() && problem)
        reason = problem();
    file.cancelWriting();
    if (reason.isEmpty())
        reason = QStringLiteral("the history could not be read");
    return QStringLiteral("Cannot export to %1: %2").arg(QDir::toNativeSeparators(path), reason);
}

void ask(QWidget* parent, const QString& title, const QString& what, const QString& suffix, QString stem,
         const std::function<QString(const QString& path)>& exportTo) {
    stem.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    const QString suggested =
        QStringLiteral("%1-%2.%3")
            .arg(stem, QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmm")), suffix);
    QFileDialog dialog(parent, title, QDir::homePath());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({QStringLiteral("%1 files (*.%2)").arg(what, suffix), QStringLiteral("All files (*)")});
    dialog.setDefaultSuffix(suffix);
    dialog.selectFile(suggested);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QString error = exportTo(dialog.selectedFiles().front());
    QApplication::restoreOverrideCursor();
    if (!error.isEmpty())
        QMessageBox::critical(parent, title + QStringLiteral(" - Error"), error);
}

} // namespace ExportFile
