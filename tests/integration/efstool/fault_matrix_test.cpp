// treesmith's KVX run while the device misbehaves on its file writes: a PASS verdict means the
// device holds exactly the expected tree, and every file the log calls written holds exactly
// its local bytes, whatever the fault.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "device_faults.hpp"
#include "devicesim/virtual_device.hpp"
#include "efs_tree.hpp"
#include "efstool/treesmith.hpp"
#include "test_clock.hpp"

namespace efstool_test {
namespace {

namespace fs = std::filesystem;

class SilentConsole final : public efstool::Console {
 public:
  void Write(const std::string&) override {}
  bool KeyWaiting() override { return true; }
  void ReadKey() override {}
};

class TreesmithFaults : public ::testing::TestWithParam<testsupport::DeviceFault> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/treesmith-faults-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    fs::create_directories(base_ + "/root");
    fs::create_directories(base_ + "/work");
    setenv("DIAG_DEVICE_ROOT", (base_ + "/root").c_str(), 1);
    previous_dir_ = fs::current_path();
    fs::current_path(base_ + "/work");
  }
  void TearDown() override {
    VODE_CloseAllContexts();
    VODE_UseClock(platform::RealClock());
    device_.reset();
    fs::current_path(previous_dir_);
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  testsupport::TestClock clock_{60};
  SilentConsole console_;
  std::string base_;
  fs::path previous_dir_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
};

TEST_P(TreesmithFaults, PassMeansTheExpectedTree) {
  CopyExample("kvx", base_ + "/work");
  devicesim::Options options;
  options.root = base_ + "/root";
  options.com_number = 9;
  device_ = std::make_unique<devicesim::VirtualDevice>(options);
  ASSERT_TRUE(device_->Start()) << device_->Error();
  ASSERT_TRUE(device_->LoadEfs(ExamplePath("device-before")));
  device_->MisbehaveOnlyFor({0x4B, 0x13, 0x05, 0x00});
  GetParam().arm(*device_);

  efstool::RunTreesmith({}, clock_, console_);
  std::ifstream result("Kvx_treesmith_Result.txt");
  std::string verdict;
  result >> verdict;
  std::printf("fault %-20s treesmith %s\n", GetParam().name.c_str(), verdict.c_str());

  ASSERT_TRUE(device_->DumpEfs(base_ + "/after"));
  const auto device_tree = ReadTree(base_ + "/after");
  const auto expected = ReadTree(ExamplePath("expected/kvx"));
  if (verdict == "PASS") {
    EXPECT_EQ(device_tree, expected);
  }
  EXPECT_TRUE(verdict == "PASS" || verdict == "FAIL");

  std::ifstream log("Kvx_treesmith.log");
  const std::string passed = "VODE_EfsWrite: PASS, ";
  int written = 0;
  for (std::string line; std::getline(log, line);) {
    if (line.compare(0, passed.size(), passed) != 0) continue;
    std::string path = line.substr(passed.size());
    while (!path.empty() && path[0] == '/') path.erase(0, 1);
    ++written;
    const auto stored = device_tree.find(path);
    ASSERT_NE(stored, device_tree.end()) << path;
    EXPECT_EQ(stored->second, expected.at(path)) << path << " is called written but differs";
  }
  if (verdict == "PASS") {
    EXPECT_GT(written, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Each, TreesmithFaults, ::testing::ValuesIn(testsupport::DeviceFaults(200)),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace efstool_test
