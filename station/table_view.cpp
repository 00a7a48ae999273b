#include "station/table_view.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace station {

void TableView::Show(const std::vector<SlotView>& slots, const std::vector<std::string>& below) {
  const std::vector<Row> rows = RowsOf(slots);
  if (outside_.live) {
    const TableLayout layout = LayoutFor(rows, outside_.columns);
    std::string text;
    if (drawn_lines_ > 0) text += "\x1b[" + std::to_string(drawn_lines_) + "A";
    text += "\r\x1b[K" + TableHeader(layout) + "\n";
    for (const Row& row : rows) text += "\r\x1b[K" + FormatRow(row, layout) + "\n";
    for (const std::string& line : below) text += "\r\x1b[K" + line + "\n";
    outside_.write(text);
    drawn_lines_ = rows.size() + 1 + below.size();
    return;
  }
  if (shown_.size() != rows.size()) shown_.assign(rows.size(), Row{});
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    if (row.step == shown_[i].step && row.verdict == shown_[i].verdict &&
        row.serial == shown_[i].serial)
      continue;
    shown_[i] = row;
    std::string line = row.slot + (row.serial.empty() ? "" : " " + row.serial) + " " + row.program +
                       ": " + row.step;
    if (!row.verdict.empty()) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, " (%u.%u s)", row.tenths / 10, row.tenths % 10);
      line += " -> " + row.verdict + seconds + (row.reason.empty() ? "" : ": " + row.reason);
    }
    outside_.write(line + "\n");
  }
}

void TableView::Final(const std::vector<SlotView>& slots, const std::vector<std::string>& below) {
  if (outside_.live) return;
  const std::vector<Row> rows = RowsOf(slots);
  const TableLayout layout = LayoutFor(rows, outside_.columns);
  std::string table = "\n" + TableHeader(layout) + "\n";
  for (const Row& row : rows) table += FormatRow(row, layout) + "\n";
  for (const std::string& line : below) table += line + "\n";
  outside_.write(table);
}

}  // namespace station
