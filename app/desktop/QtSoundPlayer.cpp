#include "app/desktop/QtSoundPlayer.h"

#include <cstdio>

#include <QFileInfo>
#include <QMetaObject>

#include "alerts/WavFile.h"
#include "engine/Modules.h"
#include "app/desktop/SoundEffectOutput.h"

namespace {

const QString kDefaultResource = QStringLiteral(":/sounds/alert.wav");

} // namespace

// Outside any namespace, as the resource's initialiser is declared there.
static void initSoundResources() {
    // The chime lives in a static library; without this the linker may leave its resource out.
    Q_INIT_RESOURCE(sounds);
}

QtSoundPlayer::QtSoundPlayer(QObject* parent, std::string module) : QObject(parent), module_(std::move(module)) {
    initSoundResources();
}

QtSoundPlayer::~QtSoundPlayer() = default;

QUrl QtSoundPlayer::defaultSound() {
    return QUrl(QStringLiteral("qrc") + kDefaultResource);
}

void QtSoundPlayer::play(const std::string& file) {
    // Returns at once on any thread; the sound starts when the window thread gets to it.
    QMetaObject::invokeMethod(
        this, [this, name = QString::fromLocal8Bit(file)] { playNow(name); }, Qt::QueuedConnection);
}

void QtSoundPlayer::playNow(const QString& file) {
    // isPlaying() cannot tell: without an audio device it stays true for ever. The file's own length can.
    if (!busy_.hasExpired())
        return;
    const auto duration = WavFile::duration(file);
    if (duration)
        start(QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()), *duration);
    else
        startDefault();
}

void QtSoundPlayer::startDefault() {
    start(defaultSound(), WavFile::duration(kDefaultResource).value_or(std::chrono::milliseconds(300)));
}

bool QtSoundPlayer::loadOutput() {
    if (output_ || moduleFailed_)
        return static_cast<bool>(output_);
    std::string error;
    output_ = Modules::make<SoundEffectOutputFactory>(module_.empty() ? Modules::path(kSoundModule) : module_,
                                                      kSoundEffectOutputFactory, error);
    if (!output_) {
        // Said once: every later alert would say the same.
        moduleFailed_ = true;
        std::fprintf(stderr, "ostrevo: cannot load the sound module (%s); alerts play no sound\n", error.c_str());
    }
    return static_cast<bool>(output_);
}

void QtSoundPlayer::start(const QUrl& source, std::chrono::milliseconds duration) {
    if (!loadOutput())
        return;
    busy_ = QDeadlineTimer(duration);
    // The output, and with it every outcome still to come, goes with this player.
    output_->play(source, [this, source](bool playing) {
        if (playing)
            Q_EMIT started(source);
        else if (source != defaultSound())
            startDefault();
    });
}
