// The NV item list: one entry per line, "NV<number>:<hex>,<hex>,..." with '<' opening a comment.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "nvtool/output_channels.hpp"

namespace nvtool {

inline constexpr size_t kListLineBuffer = 100;  // one read takes at most 99 characters
inline constexpr size_t kTagNumberMax = 19;     // characters kept after the NV letters
inline constexpr size_t kNvValueCount = 16;

using NvValues = std::array<uint8_t, kNvValueCount>;

struct NvEntry {
  std::string tag;  // as written, for example NV453
  uint16_t item_id = 0;
  NvValues values{};
};

// The next piece of the list: up to 99 characters, ending after a line end when one comes
// first. False at the end of the file.
bool ReadListPiece(std::FILE* file, std::string* piece);

// The item number of a tag, echoed on the console; 0 when the tag names no item.
int ParseNvTag(const std::string& tag, OutputChannels& out);

// True when the piece carries an entry, which is then in *entry.
bool ParseNvLine(const std::string& piece, OutputChannels& out, NvEntry* entry);

// Text-to-number conversions as the C library does them, with the Windows 32-bit limits so
// that a list gives the same items on every build.
long DecimalValue(const std::string& text);
unsigned long HexValue(const std::string& text);

}  // namespace nvtool
