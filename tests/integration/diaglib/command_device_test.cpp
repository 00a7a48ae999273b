#include <numeric>

#include "api_device_fixture.hpp"

namespace diaglib_test {
namespace {

using Bytes = std::vector<uint8_t>;

class CommandTest : public DeviceTest {
 protected:
  devicesim::VirtualDevice& Connect(devicesim::Options options = {}) {
    auto& device = AddDevice(7, options);
    handle_ = VODE_ConnectServer(7);
    EXPECT_NE(handle_, nullptr);
    device.ClearRequests();
    clock_.ClearPauses();
    return device;
  }
  VODE_HANDLE handle_ = nullptr;
};

TEST_F(CommandTest, PingAndModeRequestsOnTheWire) {
  auto& device = Connect();
  EXPECT_TRUE(VODE_IsPhoneConnected(handle_));
  EXPECT_TRUE(VODE_DIAG_CONTROL_F(handle_, 0x12));  // reset: no delay, no read-back
  EXPECT_EQ(device.Requests(),
            (std::vector<Bytes>{{0x7B, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {0x00}, {0x29, 0x02, 0x00}}));
  EXPECT_TRUE(clock_.Pauses().empty());
  device.ReplaceCommandCode(1, 0x7C);
  EXPECT_FALSE(VODE_IsPhoneConnected(handle_));
}

TEST_F(CommandTest, OfflineSwitchWaitsThenPollsUntilTheDeviceIsOffline) {
  auto& device = Connect();
  EXPECT_TRUE(VODE_DIAG_CONTROL_F(handle_, 0x11));
  EXPECT_EQ(device.Requests().front(), (Bytes{0x29, 0x01, 0x00}));
  uint32_t mode = 0;
  EXPECT_TRUE(VODE_GetPhoneMode(handle_, &mode));
  EXPECT_EQ(mode, static_cast<uint32_t>(device.OperatingMode()));
  EXPECT_TRUE(mode >= 2 && mode <= 4) << mode;
  EXPECT_EQ(clock_.Pauses(), (std::vector<uint32_t>{3000}));
}

TEST_F(CommandTest, OfflineSwitchToADeviceStuckOnlineFailsAfterDelayAndPolling) {
  auto& device = Connect();
  device.NeverReachMode(true);
  const uint64_t start = clock_.NowMs();
  EXPECT_FALSE(VODE_DIAG_CONTROL_F(handle_, 1));
  const std::vector<uint32_t> pauses = clock_.Pauses();
  ASSERT_GE(pauses.size(), 2u);
  EXPECT_EQ(pauses[0], 3000u);
  EXPECT_TRUE(std::all_of(pauses.begin() + 1, pauses.end(), [](uint32_t p) { return p == 100; }));
  // 500 ms of polling on the clock, of which the exchanges themselves take a little.
  const uint32_t polled = std::accumulate(pauses.begin() + 1, pauses.end(), 0u);
  EXPECT_TRUE(polled >= 400 && polled <= 500) << polled;
  EXPECT_GE(clock_.NowMs() - start, 3500u);
  EXPECT_EQ(device.OperatingMode(), 5);
}

TEST_F(CommandTest, NvReadOfAnInactiveItemKeepsTheCallersData) {
  auto& device = Connect();
  device.SetNvItem(453, devicesim::NvData{1});
  uint8_t data[1] = {0x5A};
  uint16_t status = 0;
  EXPECT_TRUE(VODE_DIAG_NV_READ_F(handle_, 453, data, 1, &status));
  EXPECT_EQ(data[0], 1);
  device.SetNvItemInactive(453, true);
  data[0] = 0x5A;
  EXPECT_TRUE(VODE_DIAG_NV_READ_F(handle_, 453, data, 1, &status));
  EXPECT_EQ(status, 5);
  EXPECT_EQ(data[0], 0x5A);
}

TEST_F(CommandTest, VersionFieldsAndBuildIdStrings) {
  devicesim::Options options;
  options.software_revision = std::string(40, 'S');
  auto& device = Connect(options);
  for (bool longer : {false, true}) {
    device.LongVersionReply(longer);
    char date[12], time[9], release_date[12], release_time[9], directory[9];
    uint8_t scm = 0, cai = 0, model = 0, slot = 0, major = 0, minor = 9;
    uint16_t firmware = 0;
    ASSERT_TRUE(VODE_DIAG_VERNO_F(handle_, date, time, release_date, release_time, directory, &scm,
                                  &cai, &model, &firmware, &slot, &major, &minor));
    EXPECT_EQ(
        std::string(date) + "|" + time + "|" + release_date + "|" + release_time + "|" + directory,
        "Dec 07 2026|12:00:00|Nov 30 2026|09:30:00|KVX1000 ");
    EXPECT_EQ((std::vector<int>{scm, cai, model, firmware, slot, major, minor}),
              (std::vector<int>{0x0A, 6, 0x9C, 1234, 2, 1, 0}));
  }
  uint32_t chip = 0, mobile = 0;
  char revision[512], short_model[4];
  ASSERT_TRUE(VODE_DIAG_EXT_BUILD_ID_F(handle_, &chip, &mobile, revision, sizeof(revision),
                                       short_model, sizeof(short_model)));
  EXPECT_EQ(chip, 0x00C1E0E1u);
  EXPECT_EQ(std::string(revision), std::string(40, 'S'));
  EXPECT_STREQ(short_model, "KVX");
}

}  // namespace
}  // namespace diaglib_test
