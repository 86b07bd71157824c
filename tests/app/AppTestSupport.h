#pragma once

#include <chrono>
#include <functional>

#include <QApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPalette>
#include <QTimer>

#include "app/common/ApplicationFont.h"
#include "support/TempDir.h"

// The test programs link gtest_main, so the QApplication is made on first use and lives to the end of the
// process. Settings and logs of the program under test go to a private configuration directory.
inline QApplication& TestApp() {
    static TempDir* home = nullptr;
    static QApplication* app = [] {
        home = new TempDir();
        qputenv("HOME", QByteArray::fromStdString(home->path()));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(home->file(".config")));
        static int argc = 1;
        static char name[] = "ostrevo-test";
        static char* argv[] = {name, nullptr};
        auto* created = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        ApplicationFont::install();
        return created;
    }();
    return *app;
}

inline std::string testConfigHome() {
    TestApp();
    return qEnvironmentVariable("XDG_CONFIG_HOME").toStdString();
}

// A dark desktop's palette, for pictures of the windows in one and the checks of colours on a dark base.
inline QPalette darkPalette() {
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::AlternateBase, QColor(0x26, 0x26, 0x26));
    dark.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Button, QColor(0x3c, 0x3c, 0x3c));
    dark.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Light, QColor(0x50, 0x50, 0x50));
    dark.setColor(QPalette::Midlight, QColor(0x45, 0x45, 0x45));
    dark.setColor(QPalette::Mid, QColor(0x30, 0x30, 0x30));
    dark.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x18));
    dark.setColor(QPalette::Shadow, QColor(0x00, 0x00, 0x00));
    dark.setColor(QPalette::PlaceholderText, QColor(0x90, 0x90, 0x90));
    dark.setColor(QPalette::Highlight, QColor(0x3d, 0x8e, 0xe6));
    for (const QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
        dark.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
    return dark;
}

// Runs the event loop until `done` holds; false when the time ran out first.
inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    TestApp();
    QDeadlineTimer deadline(timeout);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Lets queued calls run for a while.
inline void spin(std::chrono::milliseconds time) {
    QDeadlineTimer deadline(time);
    waitFor([&] { return deadline.hasExpired(); }, time + std::chrono::seconds(1));
}

