// The rows as the operator's table and the CSV record show them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.hpp"

namespace station {

// The row of one slot and program, as the table and the CSV file show it.
struct Row {
  std::string slot, program, mode, step, verdict, reason, folder;
  std::string serial;   // the device's USB serial number; "" when it reports none
  uint32_t tenths = 0;  // seconds elapsed, in tenths
  platform::LocalTime start, end;
};

// The live table in `columns` terminal columns: the slot column keeps the end of a long
// location (where the slots of one hub differ), the step or reason column takes what is left.
struct TableLayout {
  size_t slot = 0, step = 0;
  size_t serial = 0;  // 0: no serial column (no row has a serial number)
};
TableLayout LayoutFor(const std::vector<Row>& rows, int columns);
std::string TableHeader(const TableLayout& layout);
std::string FormatRow(const Row& row, const TableLayout& layout);

// start,end,slot,program,mode,verdict,seconds,reason,folder,serial; fields quoted where they
// need it. The serial comes last so that the columns before it read as they always did.
std::string CsvHeader();
std::string CsvLine(const Row& row);

// Appends the rows to the CSV file, with the header first when the file is new or empty;
// false when they could not be written whole.
bool AppendCsv(const std::string& csv_file, const std::vector<Row>& rows);

}  // namespace station
