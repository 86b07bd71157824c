#include "app/QtSoundPlayer.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QSoundEffect>

#include "alerts/WavFile.h"

namespace {

const QString kDefaultResource = QStringLiteral(":/sounds/alert.wav");

} // namespace

// Outside any namespace, as the resource's initialiser is declared there.
static void initSoundResources() {
    // The chime lives in a static library; without this the linker may leave its resource out.
    Q_INIT_RESOURCE(sounds);
}

QtSoundPlayer::QtSoundPlayer(QObject* parent) : QObject(parent) {
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

void QtSoundPlayer::start(const QUrl& source, std::chrono::milliseconds duration) {
    if (effect_ != nullptr) {
        effect_->disconnect(this);
        effect_->stop();
        effect_->deleteLater();
    }
    busy_ = QDeadlineTimer(duration);
    effect_ = new QSoundEffect(this);
    QSoundEffect* effect = effect_;
    connect(effect, &QSoundEffect::statusChanged, this, [this, effect, source] {
        if (effect != effect_)
            return;
        if (effect->status() == QSoundEffect::Ready) {
            effect->play();
            Q_EMIT started(source);
        } else if (effect->status() == QSoundEffect::Error && source != defaultSound()) {
            startDefault();
        }
    });
    effect->setSource(source);
}
