#pragma once

#include <functional>

#include <QUrl>

// Alert sounds go out through Qt Multimedia from a module of its own: Multimedia brings Qt Network, PulseAudio and
// a row of codecs with it, which the program then loads at its first sound rather than at every start.
class SoundEffectOutput {
public:
    virtual ~SoundEffectOutput() = default;
    // Loads and starts `source` on the calling thread's event loop, then tells `outcome` whether it plays. A new
    // sound cuts off the one before, whose outcome is then never told.
    virtual void play(const QUrl& source, std::function<void(bool playing)> outcome) = 0;
};

// The module's one entry point; null when out of memory.
extern "C" {
using SoundEffectOutputFactory = SoundEffectOutput*();
}
inline constexpr const char* kSoundEffectOutputFactory = "ostrevo_sound_output";
inline constexpr const char* kSoundModule = "sound";
