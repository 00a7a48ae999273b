#include "station/record.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace station {
namespace {

namespace fs = std::filesystem;

constexpr size_t kProgramWidth = 9;  // treesmith
constexpr size_t kModeWidth = 11;    // write+reset
constexpr size_t kSecondsWidth = 6;
constexpr size_t kVerdictWidth = 9;  // NO DEVICE
constexpr size_t kSlotWidestWidth = 24;
constexpr size_t kSlotNarrowestWidth = 6;
constexpr size_t kStepNarrowestWidth = 10;
constexpr size_t kSerialWidestWidth = 20;
// Blanks between the six columns.
constexpr size_t kFixedWidth = kProgramWidth + kModeWidth + kSecondsWidth + kVerdictWidth + 5;

std::string Fit(const std::string& text, size_t width) {
  if (text.size() <= width) return text + std::string(width - text.size(), ' ');
  return text.substr(0, width - 1) + "~";
}

// Slots of one hub share their start and differ at the end.
std::string FitKeepingEnd(const std::string& text, size_t width) {
  if (text.size() <= width) return text + std::string(width - text.size(), ' ');
  return "~" + text.substr(text.size() - (width - 1));
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  return out + "\"";
}

std::string Stamp(const platform::LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

bool EndsAtLineEnd(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  char last = '\n';
  return !in.seekg(-1, std::ios::end) || !in.get(last) || last == '\n';
}

std::string Tenths(uint32_t tenths) {
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

}  // namespace

TableLayout LayoutFor(const std::vector<Row>& rows, int columns) {
  size_t longest = 4;  // SLOT
  size_t serial = 0;
  for (const Row& row : rows) {
    longest = std::max(longest, row.slot.size());
    serial = std::max(serial, row.serial.size());
  }
  TableLayout layout;
  // A serial column only where a device reported one; SERIAL is its heading.
  if (serial > 0) layout.serial = std::min(std::max<size_t>(serial, 6), kSerialWidestWidth);
  // One column short of the width: a line that fills it would wrap on some terminals.
  const size_t usable = columns > 1 ? static_cast<size_t>(columns) - 1 : 0;
  const size_t fixed = kFixedWidth + (layout.serial > 0 ? layout.serial + 1 : 0);
  const size_t room = usable > fixed ? usable - fixed : 0;
  layout.slot = std::min(longest, kSlotWidestWidth);
  if (room < layout.slot + kStepNarrowestWidth) {
    const size_t spare = room > kStepNarrowestWidth ? room - kStepNarrowestWidth : 0;
    layout.slot =
        std::max(std::min(layout.slot, kSlotNarrowestWidth), std::min(layout.slot, spare));
  }
  layout.step = std::max(kStepNarrowestWidth, room > layout.slot ? room - layout.slot : 0);
  return layout;
}

std::string TableHeader(const TableLayout& layout) {
  return Fit("SLOT", layout.slot) + " " +
         (layout.serial > 0 ? Fit("SERIAL", layout.serial) + " " : std::string()) +
         Fit("PROGRAM", kProgramWidth) + " " + Fit("MODE", kModeWidth) + " " +
         Fit("STEP / REASON", layout.step) + " " + "   SEC " + "VERDICT";
}

std::string FormatRow(const Row& row, const TableLayout& layout) {
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%6u", row.tenths / 10);
  const std::string& step = row.reason.empty() ? row.step : row.reason;
  std::string line = FitKeepingEnd(row.slot, layout.slot) + " " +
                     (layout.serial > 0 ? Fit(row.serial, layout.serial) + " " : std::string()) +
                     Fit(row.program, kProgramWidth) + " " + Fit(row.mode, kModeWidth) + " " +
                     Fit(step, layout.step) + " " + seconds + " " + row.verdict;
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::string CsvHeader() {
  return "start,end,slot,program,mode,verdict,seconds,reason,folder,serial";
}

std::string CsvLine(const Row& row) {
  return Stamp(row.start) + "," + Stamp(row.end) + "," + CsvField(row.slot) + "," + row.program +
         "," + row.mode + "," + row.verdict + "," + Tenths(row.tenths) + "," +
         CsvField(row.reason) + "," + CsvField(row.folder) + "," + CsvField(row.serial);
}

bool AppendCsv(const std::string& csv_file, const std::vector<Row>& rows) {
  std::error_code ec;
  const uintmax_t before = fs::exists(csv_file, ec) ? fs::file_size(csv_file, ec) : 0;
  std::string text;
  if (ec || before == 0) {
    text = CsvHeader() + "\n";
  } else if (!EndsAtLineEnd(csv_file)) {
    // An append cut short by a station that was killed: a record of its own comes after it,
    // never glued to it.
    text = "\n";
  }
  for (const Row& row : rows) text += CsvLine(row) + "\n";
  bool written = false;
  {
    std::ofstream csv(csv_file, std::ios::binary | std::ios::app);
    csv << text;
    csv.flush();
    written = static_cast<bool>(csv);
  }
  if (!written && !ec) {
    // Part of the lines may have landed (a full disk): they are no record, and would make the
    // next line the end of a cut one.
    std::error_code size_ec;
    const uintmax_t after = fs::file_size(csv_file, size_ec);
    if (!size_ec && after > before) fs::resize_file(csv_file, before, size_ec);
  }
  return written;
}

}  // namespace station
