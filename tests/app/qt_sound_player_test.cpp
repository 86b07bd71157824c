#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdint>
#include <fstream>
#include <optional>
#include <thread>

#include "app/desktop/QtSoundPlayer.h"
#include "support/TempDir.h"

namespace {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "qt_sound_player_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Silent 16-bit mono PCM of the given length.
void writeWav(const std::string& path, int ms) {
    const std::uint32_t rate = 8000;
    const std::uint32_t bytes = rate * 2 * static_cast<std::uint32_t>(ms) / 1000;
    auto put32 = [](std::ofstream& o, std::uint32_t v) { o.write(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [](std::ofstream& o, std::uint16_t v) { o.write(reinterpret_cast<const char*>(&v), 2); };
    std::ofstream o(path, std::ios::binary);
    o << "RIFF";
    put32(o, 36 + bytes);
    o << "WAVEfmt ";
    put32(o, 16);
    put16(o, 1);
    put16(o, 1);
    put32(o, rate);
    put32(o, rate * 2);
    put16(o, 2);
    put16(o, 16);
    o << "data";
    put32(o, bytes);
    o << std::string(bytes, '\0');
}

class QtSoundPlayerTest : public ::testing::Test {
protected:
    QtSoundPlayerTest() { application(); }

    // Plays from a thread of its own, as the worker does, and waits a bounded time for a sound to begin.
    std::optional<QUrl> playAndWait(const std::string& file, int waitMs = 5000) {
        std::optional<QUrl> began;
        QEventLoop loop;
        QObject::connect(&player, &QtSoundPlayer::started, &loop, [&](const QUrl& url) {
            began = url;
            loop.quit();
        });
        QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
        std::thread worker([&] { player.play(file); });
        worker.join();
        loop.exec();
        QObject::disconnect(&player, &QtSoundPlayer::started, &loop, nullptr);
        return began;
    }

    TempDir dir;
    QtSoundPlayer player{nullptr, OSTREVO_SOUND_MODULE};
};

TEST_F(QtSoundPlayerTest, UnplayableFilesGiveTheChime) {
    const std::string text = dir.file("notes.wav");
    std::ofstream(text) << "not a sound";
    for (const std::string& file : {dir.file("missing.wav"), text}) {
        const auto began = playAndWait(file);
        ASSERT_TRUE(began) << file;
        EXPECT_EQ(*began, QtSoundPlayer::defaultSound());
        // Let the chime end before the next case.
        QEventLoop pause;
        QTimer::singleShot(400, &pause, &QEventLoop::quit);
        pause.exec();
    }
}

TEST_F(QtSoundPlayerTest, NoSecondSoundWhileOnePlays) {
    const std::string sound = dir.file("beep.wav");
    writeWav(sound, 600);
    const auto first = playAndWait(sound);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->toLocalFile().toStdString(), sound);
    EXPECT_FALSE(playAndWait(dir.file("missing.wav"), 200)) << "dropped while the first one plays";
    QEventLoop pause;
    QTimer::singleShot(500, &pause, &QEventLoop::quit);
    pause.exec();
    EXPECT_TRUE(playAndWait(sound)) << "plays again once the first one is over";
}

// Without its module the player plays nothing and says so once, however many alerts follow.
TEST_F(QtSoundPlayerTest, AMissingModuleIsToldOnceAndPlaysNothing) {
    QtSoundPlayer orphan(nullptr, dir.file("no-such-module.so"));
    bool began = false;
    QObject::connect(&orphan, &QtSoundPlayer::started, [&] { began = true; });
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        orphan.play(dir.file("missing.wav"));
        QCoreApplication::processEvents();
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(began);
    EXPECT_NE(said.find("cannot load the sound module"), std::string::npos) << said;
    EXPECT_EQ(said.find("sound module", said.find("sound module") + 1), std::string::npos) << "told once: " << said;
}

} // namespace
