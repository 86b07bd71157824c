// Where the keyboard goes when the options dialog opens: into the address box, so that typing a host works
// at once, also when the dialog follows the box that asks for a host.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include "app/MainWindow.h"
#include "app/OptionsDialog.h"
#include "settings/Settings.h"
#include "support/ScriptedEchoChannel.h"
#include "support/ScriptedHostResolver.h"
#include "tests/app/AppTestSupport.h"

namespace {

QComboBox* addressBox(QWidget& dialog) {
    return dialog.findChild<QComboBox*>(QStringLiteral("addressEdit"));
}

// Types `text` where the keyboard of the active window is.
void type(const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(QApplication::focusWidget(), &press);
    }
}

// What the user sees after opening the dialog: which widget has the keyboard, and what typing does.
struct Opened {
    bool focusInAddress = false;
    QString afterTyping;
};

Opened openAndType(OptionsDialog& dialog) {
    dialog.show();
    dialog.activateWindow();
    Opened seen;
    if (!waitFor([&] { return QApplication::activeWindow() == &dialog; }))
        return seen;
    QWidget* focus = QApplication::focusWidget();
    seen.focusInAddress = focus == addressBox(dialog) || focus == addressBox(dialog)->lineEdit();
    type(QStringLiteral("gw"));
    seen.afterTyping = addressBox(dialog)->currentText();
    dialog.reject();
    return seen;
}

// An error box that really shows, and closes as soon as it is up, as a user pressing OK would.
class ShownBoxes : public MessagePort {
public:
    void showError(const std::string& text, const std::string& caption) override {
        QMessageBox box(QMessageBox::Critical, QString::fromStdString(caption), QString::fromStdString(text),
                        QMessageBox::Ok);
        QTimer::singleShot(50, &box, &QMessageBox::accept);
        box.exec();
        ++shown;
    }
    int shown = 0;
};

TEST(OptionsDialogFocus, TypingGoesToTheAddressBoxAndReplacesTheHost) {
    TestApp();
    for (const char* host : {"", "old.example"}) {
        SCOPED_TRACE(host);
        Settings settings;
        settings.host = host;
        settings.recentList = "old.example\r\n";
        OptionsDialog dialog(nullptr, settings);
        const Opened seen = openAndType(dialog);
        EXPECT_TRUE(seen.focusInAddress);
        EXPECT_EQ(seen.afterTyping, QStringLiteral("gw"));
    }
}

TEST(OptionsDialogFocus, AfterTheBoxAskingForAHost) {
    TestApp();
    auto* boxes = new ShownBoxes;
    MainWindow::Services services;
    services.arguments = {"/start"};
    services.resolver = std::make_shared<ScriptedHostResolver>();
    services.channel = std::make_unique<ScriptedEchoChannel>();
    services.messages.reset(boxes);
    Opened seen;
    int opened = 0;
    services.runOptionsDialog = [&](OptionsDialog& dialog) {
        ++opened;
        seen = openAndType(dialog);
        return int(QDialog::Rejected);
    };
    services.watchSignals = false;
    MainWindow window(std::move(services));
    window.settings().host.clear(); // whatever an earlier run stored
    window.show();
    ASSERT_TRUE(waitFor([&] { return opened == 1; }));
    EXPECT_EQ(boxes->shown, 1);
    EXPECT_TRUE(seen.focusInAddress);
    EXPECT_EQ(seen.afterTyping, QStringLiteral("gw"));
}

} // namespace
