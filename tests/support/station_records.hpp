// What a station run leaves for a test to read: its CSV records, and the NV items a virtual
// device reports when it stops.
#pragma once

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// The CSV lines after the header, each split into its fields; a quoted field keeps its commas
// (no field the station writes holds a quote itself).
inline std::vector<std::vector<std::string>> CsvRecords(const std::string& file,
                                                        std::string* header = nullptr) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  if (header != nullptr) *header = line;
  std::vector<std::vector<std::string>> records;
  while (std::getline(in, line)) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (const char c : line) {
      if (c == '"') {
        quoted = !quoted;
      } else if (c == ',' && !quoted) {
        fields.emplace_back();
      } else {
        fields.back().push_back(c);
      }
    }
    records.push_back(fields);
  }
  return records;
}

// "diagsim: NV<id> <16 bytes>" lines of diagsim --report, by item id.
inline std::map<int, std::string> ReportedItems(const std::string& output) {
  std::map<int, std::string> items;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 11, "diagsim: NV") != 0) continue;
    const size_t space = line.find(' ', 11);
    items[std::stoi(line.substr(11, space - 11))] = line.substr(space + 1);
  }
  return items;
}

}  // namespace testsupport
