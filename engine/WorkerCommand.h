#pragma once

#include <variant>

#include "engine/RunSettings.h"

// Requests from the window thread to the probe worker.
struct StartCommand {
    RunSettings run; // a start during a run begins a fresh one with these
};
// End the run; the worker answers with runEnded().
struct StopCommand {
    bool afterRequestUnderWay = false; // the hub: let the request under way count first (a worker always does)
};
struct ResetCommand {}; // clear the counters of the run
struct QuitCommand {};  // leave the thread for good, without an answer
// The event log failed and switched itself off: post no more records. A notice, not a request: it takes
// no turn of the worker's loop.
struct LoggingOffCommand {};

using WorkerCommand = std::variant<StartCommand, StopCommand, ResetCommand, QuitCommand, LoggingOffCommand>;

// Whether a command cuts the pause after a probe short.
[[nodiscard]] inline bool endsRun(const WorkerCommand& command) {
    return std::holds_alternative<StopCommand>(command) || std::holds_alternative<QuitCommand>(command);
}
