#pragma once

#include <chrono>
#include <functional>

#include <QApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
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
