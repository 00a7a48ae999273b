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

}  // namespace
}  // namespace nvtest
