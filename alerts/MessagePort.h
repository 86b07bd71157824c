#pragma once

#include <string>

// Modal boxes owned by the main window. Tests record the calls instead.
class MessagePort {
public:
    virtual ~MessagePort() = default;
    // Error box: error icon, one OK button; returns when the user has closed it.
    virtual void showError(const std::string& text, const std::string& caption) = 0;
};
