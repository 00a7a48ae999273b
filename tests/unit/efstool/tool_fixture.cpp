#include "tool_fixture.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace efstool_test {
namespace fs = std::filesystem;

namespace {
std::string Native(const std::string& tool_path) {
  std::string path = tool_path;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}
}  // namespace

void ToolTest::SetUp() {
  ResetFake();
  char pattern[] = "/tmp/treesmith-unit-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  work_dir_ = pattern;
  previous_dir_ = fs::current_path().string();
  fs::current_path(work_dir_);
}

void ToolTest::TearDown() {
  DropContext();
  fs::current_path(previous_dir_);
  std::error_code ignored;
  fs::remove_all(work_dir_, ignored);
}

void ToolTest::MakeLocalFile(const std::string& tool_path, const std::string& content) {
  const fs::path path = Native(tool_path);
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

void ToolTest::MakeLocalFolder(const std::string& tool_path) {
  fs::create_directories(Native(tool_path));
}

std::string ToolTest::ReadFile(const std::string& name) const {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ToolTest::FileExists(const std::string& name) const { return fs::exists(name); }

efstool::RunContext& ToolTest::Context() {
  if (!context_) {
    context_ = std::make_unique<efstool::RunContext>(FakeApi(), clock_, console_);
    active_ = std::make_unique<efstool::ActiveRunContext>(*context_);
    context_->log.Open("Kvx_treesmith.log");
  }
  return *context_;
}

void ToolTest::DropContext() {
  active_.reset();
  context_.reset();
}

int ToolTest::Run(const std::vector<std::wstring>& args) {
  DropContext();
  return efstool::RunTreesmith(args, clock_, console_, FakeApi());
}

}  // namespace efstool_test
