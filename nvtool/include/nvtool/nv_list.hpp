// The NV item list: one entry per line, "NV<number>:<hex>,<hex>,..." with '<' opening a comment.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "nvtool/output_channels.hpp"

namespace nvtool {

// A line longer than this is no list line: the run fails on it rather than cut it up.
inline constexpr size_t kListLineMax = 65536;
inline constexpr size_t kTagNumberMax = 19;  // characters kept after the NV letters
inline constexpr size_t kNvValueCount = 16;

using NvValues = std::array<uint8_t, kNvValueCount>;

struct NvEntry {
  std::string tag;  // as written, for example NV453
  uint16_t item_id = 0;
  NvValues values{};
};

enum class ListRead { kLine, kEnd, kError, kTooLong, kNotText };

// Reads the list line by line, each line whole with its line end (LF, CR LF or a lone CR). A
// UTF-8 byte order mark at the start of the file is not part of the first line. kError when the
// file cannot be read on, kNotText for a NUL byte or a UTF-16 byte order mark (whatever was read
// of that line is dropped in both cases), kTooLong for a line of more than kListLineMax
// characters, its line end included.
class NvListReader {
 public:
  explicit NvListReader(std::FILE* file) : file_(file) {}
  ListRead Next(std::string* line);
  int line_number() const { return line_number_; }

 private:
  std::FILE* file_;
  int line_number_ = 0;
};

// The item number of a tag, echoed on the console; 0 when the tag names no item.
int ParseNvTag(const std::string& tag, OutputChannels& out);

// True when the line carries an entry, which is then in *entry.
bool ParseNvLine(const std::string& line, OutputChannels& out, NvEntry* entry);

// Text-to-number conversions as the C library does them, with the Windows 32-bit limits so
// that a list gives the same items on every build.
long DecimalValue(const std::string& text);
unsigned long HexValue(const std::string& text);

}  // namespace nvtool
