// File writes through the library while the device misbehaves: whatever the outcome, a write
// reported as done left exactly the local bytes on the device, no call outlasts the time-outs
// of the exchanges it made, and the context still works afterwards.
#include "api_device_fixture.hpp"
#include "device_faults.hpp"
#include "eventually.hpp"

#include <chrono>
#include <cstdio>
#include <thread>

namespace diaglib_test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kCapMs = 60;
constexpr uint32_t kLateMs = 200;
// One exchange: the EFS2 time-out, and the port's reopening after a time-out.
constexpr uint64_t kExchangeBoundMs = 2000 + 500;

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13 + i / 256);
  return bytes;
}

class LibraryFaults : public DeviceTest,
                      public ::testing::WithParamInterface<testsupport::DeviceFault> {
 protected:
  LibraryFaults() : DeviceTest(kCapMs) {}

  // Uploads `content` and checks the invariants; returns the library's answer.
  bool Upload(devicesim::VirtualDevice& device, VODE_HANDLE handle, const Bytes& content) {
    std::ofstream("data.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    const size_t before = device.GoodRequests().size();
    const uint64_t start = clock_.NowMs();
    const bool ok = VODE_EfsWrite(handle, "data.bin", "/cfg/data.bin");
    const uint64_t exchanges = device.GoodRequests().size() - before + 1;
    EXPECT_LE(clock_.NowMs() - start, exchanges * kExchangeBoundMs)
        << "longer than its exchanges allow";
    if (ok) {
      Bytes stored;
      EXPECT_TRUE(device.EfsReadFile("/cfg/data.bin", &stored));
      EXPECT_EQ(stored, content) << "a write reported as done holds exactly the local bytes";
    }
    return ok;
  }
};

TEST_P(LibraryFaults, AWriteThatPassesHoldsTheLocalBytes) {
  devicesim::VirtualDevice& device = AddDevice(7);
  ASSERT_TRUE(device.EfsMkdir("/cfg"));
  VODE_HANDLE handle = VODE_ConnectServer(7);
  ASSERT_NE(handle, nullptr);

  device.MisbehaveOnlyFor({0x4B, 0x13, 0x05, 0x00});
  GetParam().arm(device);
  const bool passed = Upload(device, handle, Pattern(1300, 1));
  std::printf("fault %-20s VODE_EfsWrite %s\n", GetParam().name.c_str(), passed ? "PASS" : "FAIL");

  // Whatever the fault left queued or half-done, the next file goes through whole.
  device.RefuseEfsWrites(0, 0);
  device.ShortEfsWrites(0, 0);
  ASSERT_TRUE(testsupport::Eventually([&device] { return device.Present(); }));
  EXPECT_TRUE(Upload(device, handle, Pattern(1700, 9)));
}

INSTANTIATE_TEST_SUITE_P(Each, LibraryFaults,
                         ::testing::ValuesIn(testsupport::DeviceFaults(kLateMs)),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace diaglib_test
