#include "nvtool/nv_list.hpp"

#include <cstdint>
#include <vector>

#include "nvtool/wide_text.hpp"

namespace nvtool {
namespace {

constexpr int64_t kLongMax = 0x7FFFFFFF;
constexpr uint64_t kUlongMax = 0xFFFFFFFFu;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Splits like strtok: runs of the delimiter count as one, and empty fields do not exist.
std::vector<std::string> Fields(const std::string& text, char delimiter) {
  std::vector<std::string> fields;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && text[pos] == delimiter) ++pos;
    if (pos >= text.size()) break;
    const size_t end = text.find(delimiter, pos);
    fields.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return fields;
}

}  // namespace

long DecimalValue(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Magnitudes past 2^31 all saturate the same way, so the sum is capped there.
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kLongMax + 1) value = kLongMax + 1;
  }
  if (negative) value = -value;
  if (value > kLongMax) value = kLongMax;
  return static_cast<long>(value);
}

unsigned long HexValue(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // "0x" with no digit after it reads as the number 0, the same as skipping it.
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
  uint64_t value = 0;
  bool overflow = false;
  for (; i < text.size() && HexDigit(text[i]) >= 0; ++i) {
    value = value * 16 + static_cast<uint64_t>(HexDigit(text[i]));
    if (value > kUlongMax) overflow = true, value = kUlongMax;
  }
  if (overflow) return static_cast<unsigned long>(kUlongMax);
  if (negative) value = (kUlongMax + 1 - value) & kUlongMax;
  return static_cast<unsigned long>(value);
}

ListRead NvListReader::Next(std::string* line) {
  line->clear();
  ++line_number_;
  for (int c = std::getc(file_); c != EOF; c = std::getc(file_)) {
    if (line->size() == kListLineMax) return ListRead::kTooLong;
    // No text list holds a NUL: the file is UTF-16 without its mark, or was cut by a power
    // loss, and which items it meant cannot be told.
    if (c == '\0') return ListRead::kNotText;
    line->push_back(static_cast<char>(c));
    if (c == '\n') break;
    if (c == '\r') {
      // LF, CR LF and a lone CR each end a line, whichever editor saved the list.
      const int next = std::getc(file_);
      if (next == '\n') {
        if (line->size() == kListLineMax) return ListRead::kTooLong;
        line->push_back('\n');
      } else if (next != EOF) {
        std::ungetc(next, file_);
      }
      break;
    }
  }
  if (std::ferror(file_)) return ListRead::kError;
  if (line->empty()) return ListRead::kEnd;
  if (line_number_ == 1) {
    // An editor saving "as UTF-8" may put these three bytes in front of the first tag.
    if (line->compare(0, 3, "\xEF\xBB\xBF") == 0) line->erase(0, 3);
    // A list saved as UTF-16 holds no line this reader could take for a tag: every item would
    // be skipped and the run pass with nothing written.
    if (line->compare(0, 2, "\xFF\xFE") == 0 || line->compare(0, 2, "\xFE\xFF") == 0) {
      return ListRead::kNotText;
    }
  }
  return ListRead::kLine;
}

int ParseNvTag(const std::string& tag, OutputChannels& out) {
  if (tag.size() < 2 || (tag[0] != 'N' && tag[0] != 'n') || (tag[1] != 'V' && tag[1] != 'v'))
    return 0;
  // The number has a 20-character buffer: anything past its 19th character is dropped.
  const std::string number = tag.substr(2, kTagNumberMax);
  out.Console(Format("Setting NV item: %s\r\n", number.c_str()));
  return static_cast<int>(DecimalValue(number));
}

bool ParseNvLine(const std::string& line, OutputChannels& out, NvEntry* entry) {
  entry->values.fill(0);

  const std::vector<std::string> comment_split = Fields(line, '<');
  if (comment_split.empty()) return false;
  const std::string& text = comment_split.front();

  size_t tag_start = 0;
  while (tag_start < text.size() && text[tag_start] == ':') ++tag_start;
  if (tag_start >= text.size()) return false;
  const size_t colon = text.find(':', tag_start);
  const std::string tag =
      text.substr(tag_start, colon == std::string::npos ? std::string::npos : colon - tag_start);

  const int number = ParseNvTag(tag, out);
  if (number == 0 || colon == std::string::npos) return false;

  const std::vector<std::string> values = Fields(text.substr(colon + 1), ',');
  if (values.empty()) return false;
  // The entry holds sixteen values; further ones in the line are not for this item.
  for (size_t i = 0; i < values.size() && i < kNvValueCount; ++i) {
    entry->values[i] = static_cast<uint8_t>(HexValue(values[i]) & 0xFF);
  }
  entry->tag = tag;
  entry->item_id = static_cast<uint16_t>(static_cast<unsigned>(number) & 0xFFFF);
  return true;
}

}  // namespace nvtool
