#pragma once

#include <string>

// Plays an alert sound in the background. Called on the worker thread: play() must return at once.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    virtual void play(const std::string& file) = 0;
};
