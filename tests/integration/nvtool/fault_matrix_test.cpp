// itemsmith while the device misbehaves on its NV reads or writes: every write the device
// receives carries the wanted first 16 bytes and the item's own bytes 16 to 127, so an item is
// at every moment its old value or the wanted one; a PASS means every item is the wanted one;
// and the run always ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

#include "device_faults.hpp"
#include "device_fixture.hpp"

namespace nvtest {
namespace {

devicesim::NvData Original(uint8_t seed) {
  devicesim::NvData data{};
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(seed + i * 11);
  return data;
}

using FaultOn =
    std::tuple<testsupport::DeviceFault, uint8_t>;  // the fault, the request code it strikes

class ItemsmithFaults : public SilentDeviceRun, public ::testing::WithParamInterface<FaultOn> {};

TEST_P(ItemsmithFaults, EveryItemIsItsOldValueOrTheWantedOne) {
  const auto& [fault, code] = GetParam();
  devicesim::VirtualDevice& device = StartDevice();
  const std::map<uint16_t, devicesim::NvData> original = {{30, Original(1)}, {31, Original(2)}};
  devicesim::NvData wanted30 = original.at(30), wanted31 = original.at(31);
  std::fill(wanted30.begin(), wanted30.begin() + 16, 0);
  std::fill(wanted31.begin(), wanted31.begin() + 16, 0);
  wanted30[0] = 0x11, wanted30[1] = 0x7E;
  wanted31[0] = 0x22;
  const std::map<uint16_t, devicesim::NvData> wanted = {{30, wanted30}, {31, wanted31}};
  for (const auto& [id, data] : original) device.SetNvItem(id, data);
  device.MisbehaveOnlyFor({code});
  fault.arm(device);

  rec_.list_text = "NV30:11,7e\nNV31:22\n";
  EXPECT_EQ(Run(0), 0);
  const bool passed = rec_.Result() == "[WriteNVItem PASS]\r\n";
  std::printf("fault %-18s on 0x%02X itemsmith %s\n", fault.name.c_str(), code,
              passed ? "PASS" : "FAIL");

  for (const Bytes& request : device.GoodRequests()) {
    if (request.empty() || request[0] != 0x27) continue;
    ASSERT_GE(request.size(), 3u + 128u);
    const uint16_t id = static_cast<uint16_t>(request[1] | (request[2] << 8));
    ASSERT_EQ(wanted.count(id), 1u) << "a write to item " << id << ", which is not listed";
    EXPECT_TRUE(std::equal(request.begin() + 3, request.begin() + 3 + 128, wanted.at(id).begin()))
        << "item " << id << " was sent another value than the wanted one";
  }
  for (const auto& [id, data] : wanted) {
    if (passed) {
      EXPECT_EQ(device.NvItem(id), data) << id;
    } else {
      EXPECT_TRUE(device.NvItem(id) == data || device.NvItem(id) == original.at(id)) << id;
    }
  }
}

std::vector<FaultOn> NvFaults() {
  std::vector<FaultOn> cases;
  for (const testsupport::DeviceFault& fault : testsupport::DeviceFaults(200)) {
    if (fault.efs_write_only) continue;
    for (uint8_t code : {0x26, 0x27}) cases.emplace_back(fault, code);
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Each, ItemsmithFaults, ::testing::ValuesIn(NvFaults()),
                         [](const auto& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) == 0x26 ? "_on_read" : "_on_write");
                         });

// A device with logging left on: a log packet before every answer, in the write that carries
// the answer or in one of its own. Each item must still be read, written and read back exactly.
class ItemsmithLogging : public SilentDeviceRun, public ::testing::WithParamInterface<bool> {};

TEST_P(ItemsmithLogging, EveryItemIsWrittenExactly) {
  devicesim::VirtualDevice& device = StartDevice();
  device.MisbehaveOnlyFor({});
  device.UnsolicitedBeforeResponses(1 << 20, {0x10, 0x00, 0x0C, 0x00, 0x34, 0x12, 0x7E, 0x7D, 1, 2},
                                    GetParam(), 2);
  rec_.list_text = "NV30:11,7e\nNV31:22\nNV453:0,1,2,3,4,5,6,7,8,9,a,b,c,d,e,f\n";
  const uint64_t start = clock_.NowMs();
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  EXPECT_EQ(device.NvItem(30)[0], 0x11);
  EXPECT_EQ(device.NvItem(30)[1], 0x7E);
  EXPECT_EQ(device.NvItem(31)[0], 0x22);
  for (uint8_t i = 0; i < 16; ++i) EXPECT_EQ(device.NvItem(453)[i], i);
  EXPECT_NE(rec_.console.find("dropped, not the reply"), std::string::npos);
  std::printf("log packets %s: itemsmith took %llu ms of test time\n",
              GetParam() ? "in writes of their own" : "in the answer's write",
              static_cast<unsigned long long>(clock_.NowMs() - start));
}

INSTANTIATE_TEST_SUITE_P(BeforeEveryAnswer, ItemsmithLogging, ::testing::Bool(),
                         [](const auto& info) {
                           return std::string(info.param ? "separate_write" : "same_write");
                         });

}  // namespace
}  // namespace nvtest
