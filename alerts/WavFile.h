#pragma once

#include <chrono>
#include <optional>

#include <QString>

// What the program needs to know of a WAV file before it plays it.
namespace WavFile {

// Playing time of a RIFF/WAVE file with uncompressed PCM samples (also a Qt resource path such as
// ":/sounds/alert.wav"); nothing when the file is missing, not WAV, or damaged.
[[nodiscard]] std::optional<std::chrono::milliseconds> duration(const QString& path);

} // namespace WavFile
