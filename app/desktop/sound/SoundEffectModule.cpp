#include <new>
#include <utility>

#include <QSoundEffect>

#include "app/desktop/SoundEffectOutput.h"

namespace {

class QtSoundEffectOutput final : public SoundEffectOutput {
public:
    ~QtSoundEffectOutput() override { delete effect_; }

    void play(const QUrl& source, std::function<void(bool)> outcome) override {
        if (effect_ != nullptr) {
            // This may run inside the old effect's own handler: it goes when control is back in the event loop.
            effect_->disconnect();
            effect_->stop();
            effect_->deleteLater();
        }
        auto* effect = new QSoundEffect;
        effect_ = effect;
        QObject::connect(effect, &QSoundEffect::statusChanged, effect, [effect, outcome = std::move(outcome)] {
            if (effect->status() == QSoundEffect::Ready) {
                effect->play();
                outcome(true);
            } else if (effect->status() == QSoundEffect::Error) {
                outcome(false);
            }
        });
        effect->setSource(source);
    }

private:
    QSoundEffect* effect_ = nullptr;
};

} // namespace

extern "C" __attribute__((visibility("default"))) SoundEffectOutput* ostrevo_sound_output() {
    return new (std::nothrow) QtSoundEffectOutput;
}
