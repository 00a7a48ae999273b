#include "station/csv_reader.hpp"

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace station {

std::vector<CsvFields> ParseCsv(const std::string& text) {
  std::vector<CsvFields> lines;
  CsvFields fields(1);
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != '"') {
        fields.back().push_back(c);
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        fields.back().push_back('"');
        ++i;
      } else {
        quoted = false;
      }
      continue;
    }
    if (c == '\n') {
      if (!fields.back().empty() && fields.back().back() == '\r') fields.back().pop_back();
      if (fields.size() > 1 || !fields.back().empty()) lines.push_back(fields);
      fields.assign(1, std::string());
      continue;
    }
    if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  return lines;
}

std::vector<CsvFields> ReadCsvRecords(const std::string& csv_file) {
  std::ifstream in(csv_file, std::ios::binary);
  if (!in) return {};
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<CsvFields> lines = ParseCsv(text);
  if (!lines.empty()) lines.erase(lines.begin());
  return lines;
}

}  // namespace station
