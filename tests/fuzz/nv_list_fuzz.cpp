// The NV list file: any content, read line by line and each line parsed as itemsmith does.
// Reading must end, every line must come from the file, and an entry taken must be one the
// line really carries.
#include <cstdio>
#include <string>

#include "fuzz_support.hpp"
#include "fuzz_targets.hpp"
#include "nvtool/nv_list.hpp"
#include "nvtool/output_channels.hpp"

namespace fuzz {

int FuzzNvList(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // an empty file is one the suite covers; fmemopen wants bytes
  std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  FUZZ_CHECK(file != nullptr);

  nvtool::Environment env;
  std::string console;
  env.console_write = [&console](const std::string& text) { console += text; };
  env.console_write_wide = [](const std::wstring&) {};
  nvtool::OutputChannels out(env);

  nvtool::NvListReader reader(file);
  std::string line;
  size_t consumed = 0;
  for (;;) {
    const nvtool::ListRead read = reader.Next(&line);
    if (read != nvtool::ListRead::kLine) break;
    FUZZ_CHECK(static_cast<size_t>(reader.line_number()) <= size);
    FUZZ_CHECK(line.size() <= nvtool::kListLineMax);
    consumed += line.size();
    FUZZ_CHECK(consumed <= size);

    nvtool::NvEntry entry;
    console.clear();
    if (nvtool::ParseNvLine(line, out, &entry)) {
      // The tag is the line's own text and names an item in the N V form.
      FUZZ_CHECK(entry.tag.size() >= 2 && (entry.tag[0] | 0x20) == 'n' &&
                 (entry.tag[1] | 0x20) == 'v');
      // ... and stands before the comment that a '<' after the leading ones opens.
      const size_t start = line.find_first_not_of('<');
      FUZZ_CHECK(start != std::string::npos);
      const std::string entry_text = line.substr(start, line.find('<', start) - start);
      FUZZ_CHECK(entry_text.find(entry.tag) != std::string::npos);
      FUZZ_CHECK(console.rfind("Setting NV item: ", 0) == 0);
    }
  }
  std::fclose(file);

  // The number conversions on the raw text as well: the Windows 32-bit limits hold.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const long decimal = nvtool::DecimalValue(text);
  FUZZ_CHECK(decimal >= -0x7FFFFFFFL - 1 && decimal <= 0x7FFFFFFFL);
  FUZZ_CHECK(nvtool::HexValue(text) <= 0xFFFFFFFFul);
  return 0;
}

}  // namespace fuzz

FUZZ_ENTRY(fuzz::FuzzNvList)
