// Runs the tool's steps in a fresh temporary working folder against the scripted library, with
// a console that records what was printed and a clock that never really waits.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "efstool/connection.hpp"
#include "efstool/delete_sets.hpp"
#include "efstool/library_handlers.hpp"
#include "efstool/run_context.hpp"
#include "efstool/treesmith.hpp"
#include "efstool/write_sets.hpp"
#include "fake_vode.hpp"
#include "test_clock.hpp"

namespace efstool_test {

class RecordingConsole final : public efstool::Console {
 public:
  void Write(const std::string& text) override {
    if (on_write) on_write();
    printed += text;
  }
  bool KeyWaiting() override { return key_after_polls >= 0 && polls++ >= key_after_polls; }
  void ReadKey() override { ++keys_read; }

  std::function<void()> on_write;  // a look at the working folder while the run prints
  std::string printed;
  int key_after_polls = -1;  // a key is waiting from this poll on (-1: never)
  int polls = 0;
  int keys_read = 0;
};

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A file below the working folder, with its folders; "\\" in the path as the tool writes it.
  void MakeLocalFile(const std::string& tool_path, const std::string& content = "x");
  void MakeLocalFolder(const std::string& tool_path);
  std::string ReadFile(const std::string& name) const;
  bool FileExists(const std::string& name) const;
  // The run log so far (the tool keeps it open; every line is flushed).
  std::string Log() const { return ReadFile("Kvx_treesmith.log"); }

  // Built on first use, logging to Kvx_treesmith.log; the library's handlers report to it.
  efstool::RunContext& Context();
  int Run(const std::vector<std::wstring>& args);

  testsupport::TestClock clock_{5};
  RecordingConsole console_;
  std::string work_dir_;

 private:
  void DropContext();

  std::string previous_dir_;
  std::unique_ptr<efstool::RunContext> context_;
  std::unique_ptr<efstool::ActiveRunContext> active_;
};

}  // namespace efstool_test
