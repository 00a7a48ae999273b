// treesmith's KVX run while the device misbehaves: on its file writes, and on each EFS2
// sub-command alone, with the device handing out the lowest free descriptor (so every file is
// written through the same one). A PASS verdict means the device holds exactly the expected
// tree, every file the log calls written holds exactly its local bytes, and the run took no
// longer than its exchanges' time-outs allow, whatever the fault.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "device_faults.hpp"
#include "treesmith_fixture.hpp"

namespace efstool_test {
namespace {

class TreesmithFaults : public TreesmithDeviceTest,
                        public ::testing::WithParamInterface<testsupport::DeviceFault> {
 protected:
  TreesmithFaults() : TreesmithDeviceTest(60) {}
};

// A file of three writes beside the example's one-write files.
constexpr char kBigFile[] = "db/index.html";
constexpr size_t kBigFileSize = 1300;
// One exchange's worst case: its time-out and the port's reopening after it.
constexpr uint64_t kExchangeBoundMs = 2000 + 500;

TEST_P(TreesmithFaults, PassMeansTheExpectedTree) {
  CopyExample("kvx", work_);
  std::string big(kBigFileSize, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + (i * 7 + i / 512) % 26);
  std::ofstream(work_ + "/" + kBigFile, std::ios::binary) << big;
  StartDevice();
  device_->MisbehaveOnlyFor({0x4B, 0x13, 0x05, 0x00});
  GetParam().arm(*device_);

  clock_.ClearPauses();
  const uint64_t start = clock_.NowMs();
  Run({});
  const uint64_t took = clock_.NowMs() - start;
  uint64_t paused = 0;  // the tool's own pauses: between connection attempts, after a switch
  for (const uint32_t pause : clock_.Pauses()) paused += pause;
  const std::string verdict = ReadWork("Kvx_treesmith_Result.txt");
  std::printf("fault %-28s treesmith %s\n", GetParam().name.c_str(), verdict.c_str());
  EXPECT_LE(took, paused + (device_->GoodRequests().size() + 1) * kExchangeBoundMs)
      << "longer than its exchanges allow";

  ASSERT_TRUE(device_->DumpEfs(base_ + "/after"));
  const auto device_tree = ReadTree(base_ + "/after");
  auto expected = ReadTree(ExamplePath("expected/kvx"));
  expected[kBigFile] = big;
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
INSTANTIATE_TEST_SUITE_P(Efs2, TreesmithFaults,
                         ::testing::ValuesIn(testsupport::Efs2SubCommandFaults(200)),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace efstool_test
