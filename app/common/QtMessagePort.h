#pragma once

#include <QPointer>
#include <QWidget>

#include "alerts/MessagePort.h"

// Error boxes owned by the main window: error icon, one OK button, the caller's text and caption.
class QtMessagePort : public MessagePort {
public:
    explicit QtMessagePort(QWidget* owner);
    void showError(const std::string& text, const std::string& caption) override;

private:
    QPointer<QWidget> owner_;
};
