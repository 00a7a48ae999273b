// The record file read back, for views that serve the records written so far, this station's
// and those of earlier ones on the same file.
#pragma once

#include <string>
#include <vector>

namespace station {

using CsvFields = std::vector<std::string>;

// The lines of `text` that are whole (ended by a line end outside quotes), split into fields: a
// quoted field keeps its commas and line ends, and a doubled quote in it is one quote. A last
// line still being written is left out, and so are empty lines.
std::vector<CsvFields> ParseCsv(const std::string& text);

// The records of the file, the header left out; record n (from 1) is the n-th of them. None when
// the file is missing or unreadable.
std::vector<CsvFields> ReadCsvRecords(const std::string& csv_file);

}  // namespace station
