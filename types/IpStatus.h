#pragma once

#include <cstdint>

// IP status codes of the echo layer (0 success, 11000 + n failures).
namespace IpStatus {
constexpr std::int32_t Success = 0;
constexpr std::int32_t BufferTooSmall = 11001;
constexpr std::int32_t DestNetUnreachable = 11002;
constexpr std::int32_t DestHostUnreachable = 11003;
constexpr std::int32_t DestProtocolUnreachable = 11004;
constexpr std::int32_t DestPortUnreachable = 11005;
constexpr std::int32_t NoResources = 11006;
constexpr std::int32_t BadOption = 11007;
constexpr std::int32_t HardwareError = 11008;
constexpr std::int32_t PacketTooBig = 11009;
constexpr std::int32_t RequestTimedOut = 11010;
constexpr std::int32_t BadRequest = 11011;
constexpr std::int32_t BadRoute = 11012;
constexpr std::int32_t TtlExpiredTransit = 11013;
constexpr std::int32_t TtlExpiredReassembly = 11014;
constexpr std::int32_t ParameterProblem = 11015;
constexpr std::int32_t SourceQuench = 11016;
constexpr std::int32_t OptionTooBig = 11017;
constexpr std::int32_t BadDestination = 11018;
constexpr std::int32_t GeneralFailure = 11050;
} // namespace IpStatus
