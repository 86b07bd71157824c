// Where the keyboard goes when the options dialog opens: into the address box, so that typing a host works
// at once, also when the dialog follows the box that asks for a host.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <string>

#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "app/options/OptionsDialog.h"
#include "settings/Settings.h"
#include "support/ScriptedHubSocket.h"
#include "support/ScriptedHostResolver.h"
#include "tests/app/AppTestSupport.h"

namespace {

QComboBox* addressBox(QWidget& dialog) {
    return dialog.findChild<QComboBox*>(QStringLiteral("addressEdit"));
}

// Sends `key` (with its text) where the keyboard of the active window is.
void press(int key, const QString& text = {}) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(QApplication::focusWidget(), &event);
}

// What the user sees after opening the dialog, typing `typed` and pressing Enter.
struct Opened {
    bool focusInAddress = false;
    bool accepted = false;
    std::string host;
};

Opened openTypeAndEnter(OptionsDialog& dialog, const QString& typed) {
    dialog.show();
    dialog.activateWindow();
    Opened seen;
    if (!waitFor([&] { return QApplication::activeWindow() == &dialog; }))
        return seen;
    QWidget* focus = QApplication::focusWidget();
    seen.focusInAddress = focus == addressBox(dialog) || focus == addressBox(dialog)->lineEdit();
    for (const QChar c : typed)
        press(0, QString(c));
    press(Qt::Key_Return);
    seen.accepted = dialog.result() == QDialog::Accepted;
    seen.host = addressBox(dialog)->currentText().toStdString();
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

TEST(OptionsDialogFocus, TypingReplacesTheHostAndEnterPressesOk) {
    TestApp();
    const struct {
        const char* host;
        const char* typed;
        const char* expected;
        bool accepted;
    } rows[] = {
        {"", "gw", "gw", true},
        {"old.example", "gw", "gw", true},
        // Enter at once keeps the host, although the whole of it is selected and the list holds others.
        {"old.example", "", "old.example", true},
        {"first.example", "", "first.example", true},
        // Enter on a completion from the list takes the completion; the next Enter is OK.
        {"", "fi", "first.example", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.host) + " + " + row.typed);
        Settings settings;
        settings.host = row.host;
        settings.recentList = "first.example\r\nold.example\r\n";
        OptionsDialog dialog(nullptr, settings);
        const Opened seen = openTypeAndEnter(dialog, QString::fromLatin1(row.typed));
        EXPECT_TRUE(seen.focusInAddress);
        EXPECT_EQ(seen.host, row.expected);
        EXPECT_EQ(seen.accepted, row.accepted);
    }
}

TEST(OptionsDialogFocus, AfterTheBoxAskingForAHost) {
    TestApp();
    auto* boxes = new ShownBoxes;
    AppRoot::Services services;
    services.arguments = {"/start"};
    services.resolver = std::make_shared<ScriptedHostResolver>();
    services.sockets = ScriptedNetwork().opener(); // a network where nothing answers
    services.messages.reset(boxes);
    Opened seen;
    int opened = 0;
    services.runOptionsDialog = [&](OptionsDialog& dialog) {
        ++opened;
        seen = openTypeAndEnter(dialog, QStringLiteral("gw"));
        return int(QDialog::Rejected);
    };
    services.watchSignals = false;
    AppRoot program(std::move(services));
    MainWindow& window = program.mainWindow();
    window.settings().host.clear(); // whatever an earlier run stored
    window.show();
    ASSERT_TRUE(waitFor([&] { return opened == 1; }));
    EXPECT_EQ(boxes->shown, 1);
    EXPECT_TRUE(seen.focusInAddress);
    EXPECT_EQ(seen.host, "gw");
}

} // namespace
