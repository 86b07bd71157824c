#pragma once

#include <cstdint>

// Requests from the window thread to the worker, with their fixed message numbers.
enum class WorkerMessage : std::uint32_t { Quit = 18, PingStart = 2034, PingStop = 2035, PingReset = 2044 };
