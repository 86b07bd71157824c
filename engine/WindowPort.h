#pragma once

#include <cstdint>
#include <string>

#include "engine/EchoReply.h"
#include "engine/HostStatus.h"

enum class Label : std::uint8_t { Host, Status, Total, Lost, Min, Max, Avg };

// How a run ended: stopped on request, or it could not begin because no echo handle opened.
enum class RunEnd : std::uint8_t { Stopped, ChannelFailed };

// What the worker thread asks of the window. Every call except runEnded() returns at once; the window
// thread carries the requests out in the order they were made.
class WindowPort {
public:
    virtual ~WindowPort() = default;

    virtual void setLabel(Label label, std::string text) = 0;

    // The good reply whose line comes next echoed other data than was sent. The window counts and shows it
    // like any reply; a console says so on the line.
    virtual void replyDataDiffers(const WrongData& /*wrong*/) {}

    // Application icon of the status, and the tray icon when one is shown.
    virtual void showStatusIcon(HostStatus status) = 0;

    // One log record (the window writes it to the event log).
    virtual void postLog(HostStatus status, std::string text) = 0;

    // The answer to a stop, or to a start that failed. Returns once the window has handled it (so the
    // worker begins no other run before), or at once when the program is shutting down.
    virtual void runEnded(RunEnd end) = 0;
};
