// What one read from the DIAG port may hold: several frames, each closed by a flag, and the
// start of one still to come. A device with logging on sends its log packets between the
// answers, in the same write as an answer or in one of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace nvtool {

// Calls `frame` for each complete frame in bytes[0, count): the bytes before a closing flag,
// still escaped and with their CRC; flags with nothing before them are skipped. Stops early
// when `frame` returns true. Returns how many bytes were used up (through the last closing flag
// handled); the rest is a frame still to be completed.
size_t ForEachCompleteFrame(const uint8_t* bytes, size_t count,
                            const std::function<bool(const uint8_t* frame, size_t length)>& frame);

// Unescapes one frame (without its closing flag) and checks its CRC; on true `packet` holds the
// packet without the CRC. False for a bad CRC, a frame of less than a CRC, or a packet longer
// than `capacity`.
bool DecodeFrame(const uint8_t* frame, size_t length, uint8_t* packet, size_t capacity,
                 size_t* packet_length);

}  // namespace nvtool
