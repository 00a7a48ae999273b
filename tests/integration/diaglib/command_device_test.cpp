#include <cstring>
#include <numeric>

#include "api_device_fixture.hpp"

namespace diaglib_test {
namespace {

using Bytes = std::vector<uint8_t>;
using CommandTest = DeviceTest;

bool Sent(const devicesim::VirtualDevice& device, const Bytes& request) {
  const auto requests = device.Requests();
  return std::find(requests.begin(), requests.end(), request) != requests.end();
}

TEST_F(CommandTest, PresencePingIsLoopbackThenVersion) {
  auto& device = AddDevice(7);
  VODE_HANDLE handle = VODE_ConnectServer(7);
  ASSERT_NE(handle, nullptr);
  device.ClearRequests();
  EXPECT_TRUE(VODE_IsPhoneConnected(handle));
  EXPECT_EQ(device.Requests(),
            (std::vector<Bytes>{{0x7B, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {0x00}}));

  // A phone that answers with another command code is no phone.
  device.ReplaceCommandCode(1, 0x7C);
  EXPECT_FALSE(VODE_IsPhoneConnected(handle));
  EXPECT_TRUE(VODE_IsPhoneConnected(handle));
}

TEST_F(CommandTest, OfflineSwitchFollowsTheDevice) {
  devicesim::Options options;
  options.mode_follow_delay_ms = 0;
  auto& device = AddDevice(7, options);
  VODE_HANDLE handle = VODE_ConnectServer(7);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(VODE_DIAG_CONTROL_F(handle, 0x11));
  EXPECT_TRUE(Sent(device, Bytes{0x29, 0x01, 0x00}));
  EXPECT_GE(device.OperatingMode(), 2);
  EXPECT_LE(device.OperatingMode(), 4);
  ASSERT_FALSE(clock_.Pauses().empty());
  EXPECT_EQ(clock_.Pauses()[0], 3000u);
  uint32_t mode = 0;
  EXPECT_TRUE(VODE_GetPhoneMode(handle, &mode));
  EXPECT_EQ(mode, static_cast<uint32_t>(device.OperatingMode()));
}

TEST_F(CommandTest, OfflineSwitchToADeviceStuckOnlineFailsAfterDelayAndPolling) {
  auto& device = AddDevice(7);
  device.NeverReachMode(true);
  VODE_HANDLE handle = VODE_ConnectServer(7);
  ASSERT_NE(handle, nullptr);
  clock_.ClearPauses();
  const uint64_t start = clock_.NowMs();
  EXPECT_FALSE(VODE_DIAG_CONTROL_F(handle, 1));
  EXPECT_EQ(device.OperatingMode(), 5);
  const std::vector<uint32_t> pauses = clock_.Pauses();
  ASSERT_GE(pauses.size(), 2u);
  EXPECT_EQ(pauses[0], 3000u);
  const std::vector<uint32_t> polls(pauses.begin() + 1, pauses.end());
  for (uint32_t pause : polls) EXPECT_EQ(pause, 100u);
  // Polling lasts 500 ms of clock time; the exchanges themselves take a little real time.
  const uint32_t polled = std::accumulate(polls.begin(), polls.end(), 0u);
  EXPECT_GE(polled, 400u);
  EXPECT_LE(polled, 500u);
  EXPECT_GE(clock_.NowMs() - start, 3500u);
  EXPECT_LT(clock_.NowMs() - start, 3500u + 2000u);
}

TEST_F(CommandTest, ResetIsNotReadBack) {
  auto& device = AddDevice(7);
  VODE_HANDLE handle = VODE_ConnectServer(7);
  ASSERT_NE(handle, nullptr);
  device.ClearRequests();
  clock_.ClearPauses();
  EXPECT_TRUE(VODE_DIAG_CONTROL_F(handle, 2));
  EXPECT_EQ(device.Requests(), (std::vector<Bytes>{{0x29, 0x02, 0x00}}));
  EXPECT_TRUE(clock_.Pauses().empty());
}

TEST_F(CommandTest, NvReadOfAnInactiveItem) {
  auto& device = AddDevice(7);
  devicesim::NvData stored{};
  stored[0] = 1;
  device.SetNvItem(453, stored);
  VODE_HANDLE handle = VODE_ConnectServer(7);
  ASSERT_NE(handle, nullptr);
  uint8_t data[1] = {0x5A};
  uint16_t status = 0;
  EXPECT_TRUE(VODE_DIAG_NV_READ_F(handle, 453, data, 1, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(data[0], 1);

  device.SetNvItemInactive(453, true);
  data[0] = 0x5A;
  EXPECT_TRUE(VODE_DIAG_NV_READ_F(handle, 453, data, 1, &status));
  EXPECT_EQ(status, 5);
  EXPECT_EQ(data[0], 0x5A);
}

TEST_F(CommandTest, VersionAndBuildIdFields) {
  devicesim::Options options;
  options.software_revision = std::string(40, 'S');
  auto& device = AddDevice(7, options);
  VODE_HANDLE handle = VODE_ConnectServer(7);
  ASSERT_NE(handle, nullptr);
  for (bool longer : {false, true}) {
    device.LongVersionReply(longer);
    char compile_date[12], compile_time[9], release_date[12], release_time[9], directory[9];
    uint8_t scm = 0, cai = 0, model = 0, slot = 0, major = 0, minor = 9;
    uint16_t firmware = 0;
    ASSERT_TRUE(VODE_DIAG_VERNO_F(handle, compile_date, compile_time, release_date, release_time,
                                  directory, &scm, &cai, &model, &firmware, &slot, &major, &minor));
    EXPECT_STREQ(compile_date, "Dec 07 2026");
    EXPECT_STREQ(compile_time, "12:00:00");
    EXPECT_STREQ(release_date, "Nov 30 2026");
    EXPECT_STREQ(release_time, "09:30:00");
    EXPECT_STREQ(directory, "KVX1000 ");
    EXPECT_EQ((std::vector<int>{scm, cai, model, firmware, slot, major, minor}),
              (std::vector<int>{0x0A, 6, 0x9C, 1234, 2, 1, 0}));
  }

  uint32_t chip = 0, mobile = 0;
  char revision[512], short_model[4];
  ASSERT_TRUE(VODE_DIAG_EXT_BUILD_ID_F(handle, &chip, &mobile, revision, sizeof(revision),
                                       short_model, sizeof(short_model)));
  EXPECT_EQ(chip, 0x00C1E0E1u);
  EXPECT_EQ(mobile, 0x9Cu);
  EXPECT_EQ(std::string(revision), std::string(40, 'S'));
  EXPECT_STREQ(short_model, "KVX");
}

}  // namespace
}  // namespace diaglib_test
