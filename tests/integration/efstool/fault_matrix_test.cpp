// treesmith's KVX run while the device misbehaves on its file writes: a PASS verdict means the
// device holds exactly the expected tree, and every file the log calls written holds exactly
// its local bytes, whatever the fault.
#include <gtest/gtest.h>

#include <cstdio>

#include "device_faults.hpp"
#include "treesmith_fixture.hpp"

namespace efstool_test {
namespace {

class TreesmithFaults : public TreesmithDeviceTest,
                        public ::testing::WithParamInterface<testsupport::DeviceFault> {
 protected:
  TreesmithFaults() : TreesmithDeviceTest(60) {}
};

TEST_P(TreesmithFaults, PassMeansTheExpectedTree) {
  CopyExample("kvx", work_);
  StartDevice();
  device_->MisbehaveOnlyFor({0x4B, 0x13, 0x05, 0x00});
  GetParam().arm(*device_);

  Run({});
  const std::string verdict = ReadWork("Kvx_treesmith_Result.txt");
  std::printf("fault %-20s treesmith %s\n", GetParam().name.c_str(), verdict.c_str());

  ASSERT_TRUE(device_->DumpEfs(base_ + "/after"));
  const auto device_tree = ReadTree(base_ + "/after");
  const auto expected = ReadTree(ExamplePath("expected/kvx"));
  if (verdict == "PASS") {
    EXPECT_EQ(device_tree, expected);
  }
  EXPECT_TRUE(verdict == "PASS" || verdict == "FAIL");

  std::istringstream log(ReadWork("Kvx_treesmith.log"));
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
