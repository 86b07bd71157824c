#pragma once

#include <chrono>
#include <string>

#include <QDeadlineTimer>
#include <QObject>
#include <QUrl>

#include "alerts/SoundPlayer.h"

class QSoundEffect;

// Alert sounds through Qt Multimedia. play() may come from the worker thread; the sound is started on the
// thread this object lives on (the window thread). While a sound of ours is still playing a new one is
// dropped, and a file that cannot be played gives the built-in chime instead.
class QtSoundPlayer : public QObject, public SoundPlayer {
    Q_OBJECT
public:
    explicit QtSoundPlayer(QObject* parent = nullptr);
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

    QSoundEffect* effect_ = nullptr;
    QDeadlineTimer busy_{0};
};
