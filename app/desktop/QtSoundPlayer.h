#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <QDeadlineTimer>
#include <QObject>
#include <QUrl>

#include "alerts/SoundPlayer.h"

class SoundEffectOutput;

// Alert sounds through Qt Multimedia, loaded from the sound module at the first sound. play() may come from the
// worker thread; the sound is started on the thread this object lives on (the window thread). While a sound of
// ours is still playing a new one is dropped, and a file that cannot be played gives the built-in chime instead.
class QtSoundPlayer : public QObject, public SoundPlayer {
    Q_OBJECT
public:
    // `module` is the sound module's file; empty, the one beside the running program.
    explicit QtSoundPlayer(QObject* parent = nullptr, std::string module = {});
    ~QtSoundPlayer() override;

    void play(const std::string& file) override;

    [[nodiscard]] static QUrl defaultSound();

Q_SIGNALS:
    // A sound has begun to play.
    void started(const QUrl& source);

private:
    void playNow(const QString& file);
    void start(const QUrl& source, std::chrono::milliseconds duration);
    void startDefault();

    [[nodiscard]] bool loadOutput();

    std::string module_; // empty: found at the first sound
    std::unique_ptr<SoundEffectOutput> output_;
    bool moduleFailed_ = false;
    QDeadlineTimer busy_{0};
};
