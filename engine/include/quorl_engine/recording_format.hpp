#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The recording file format, version 2, as the package's writer, its bulk
// reader and the engine's recorder all read and write it. Every number is
// little-endian. The format's full description (fields, marks, how a cut-off
// file reads) is the docstring of quorl_sdk.recording.
namespace quorl_engine::recording_format {

// The first eight bytes of every recording.
inline constexpr std::array<char, 8> MAGIC{'Q', 'U', 'O', 'R', 'L', 'R', 'E', 'C'};

// The version written; every earlier one still reads.
inline constexpr std::uint16_t VERSION = 2;

// Header: magic, version, reserved, wall-clock start (ns since the Unix
// epoch, signed), then from version 2 the monotonic start (ns, signed).
inline constexpr std::size_t HEADER_SIZE_V1 = 20;
inline constexpr std::size_t HEADER_SIZE = 28;

// Each record: time (ns since the monotonic start, unsigned 64), payload
// length (unsigned 32), then the payload.
inline constexpr std::size_t RECORD_HEADER_SIZE = 12;

// A payload that starts with this byte is a mark, which no frame is; the
// next byte says which.
inline constexpr std::uint8_t MARK = 0;
inline constexpr std::uint8_t MARK_LOST = 1;
inline constexpr std::uint8_t MARK_RECONNECTED = 2;

}  // namespace quorl_engine::recording_format
