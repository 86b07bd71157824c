#include "app/common/QtMessagePort.h"

#include <QMessageBox>

QtMessagePort::QtMessagePort(QWidget* owner) : owner_(owner) {}

void QtMessagePort::showError(const std::string& text, const std::string& caption) {
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(caption), QString::fromUtf8(text), QMessageBox::Ok,
                    owner_.data());
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
