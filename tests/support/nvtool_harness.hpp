// An Environment for driving the NV writer in a test: console text, window calls, output files
// and the list file are kept in memory; the clock, COM port factory and discovery are the
// test's.
#pragma once

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "nvtool/environment.hpp"

namespace testsupport {

struct NvToolRecorder {
  std::string console;
  std::wstring wide_console;
  std::vector<bool> window_shown;
  std::map<std::string, std::string> files;  // output files by name, as written so far
  std::string list_text;
  std::vector<std::wstring> processes;
  // Files that stay when removed, and files whose writes stop after `room` bytes in all.
  std::set<std::string> unremovable;
  std::map<std::string, size_t> room;
  std::set<std::string> failing_close;

  std::string Log() const { return File("KVX_WriteNVItem_log.txt"); }
  std::string Result() const { return File("KVX_WriteNVItem_result.txt"); }
  std::string File(const std::string& name) const {
    auto it = files.find(name);
    return it == files.end() ? std::string() : it->second;
  }
};

class MemoryOutputFile final : public platform::OutputFile {
 public:
  MemoryOutputFile(std::string* text, size_t room, bool close_fails)
      : text_(text), room_(room), close_fails_(close_fails) {}
  bool Write(const void* bytes, size_t count) override {
    const size_t fits = std::min(count, room_ - std::min(room_, text_->size()));
    text_->append(static_cast<const char*>(bytes), fits);
    return fits == count;
  }
  bool Close() override { return !close_fails_; }

 private:
  std::string* text_;
  size_t room_;
  bool close_fails_;
};

inline nvtool::Environment MakeNvToolEnvironment(NvToolRecorder& rec, platform::Clock& clock,
                                                 platform::DeviceDiscovery* discovery,
                                                 nvtool::PortFactory make_port) {
  nvtool::Environment env;
  env.clock = &clock;
  env.make_com_port = std::move(make_port);
  env.discovery = discovery;
  env.list_process_names = [&rec](std::vector<std::wstring>* names) {
    return *names = rec.processes, true;
  };
  env.show_console_window = [&rec](bool show) { rec.window_shown.push_back(show); };
  env.console_write = [&rec](const std::string& text) { rec.console += text; };
  env.console_write_wide = [&rec](const std::wstring& text) { rec.wide_console += text; };
  env.create_output_file =
      [&rec](const std::string& name) -> std::unique_ptr<platform::OutputFile> {
    if (rec.unremovable.count(name) != 0) return nullptr;
    rec.files[name].clear();
    const auto room = rec.room.find(name);
    return std::make_unique<MemoryOutputFile>(
        &rec.files[name], room == rec.room.end() ? std::string::npos : room->second,
        rec.failing_close.count(name) != 0);
  };
  env.remove_file = [&rec](const std::string& name) {
    if (rec.unremovable.count(name) != 0) return false;
    rec.files.erase(name);
    return true;
  };
  env.open_stream = [&rec](const std::string&, const char*) {
    std::FILE* file = std::tmpfile();
    if (file) std::fwrite(rec.list_text.data(), 1, rec.list_text.size(), file), std::rewind(file);
    return file;
  };
  return env;
}

}  // namespace testsupport
