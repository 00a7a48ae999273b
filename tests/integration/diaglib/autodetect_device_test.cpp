#include <ctime>

#include "api_device_fixture.hpp"
#include "diaglib/transport/port_autodetect.hpp"

namespace diaglib_test {
namespace {

using AutoDetectTest = DeviceTest;

TEST(PortListEntryTest, NumberAfterThreeLettersLowEightBits) {
  EXPECT_EQ(diaglib::PortNumberFromListEntry("COM7"), 7);
  EXPECT_EQ(diaglib::PortNumberFromListEntry("COM12"), 12);
  EXPECT_EQ(diaglib::PortNumberFromListEntry("COM300"), 44);
  EXPECT_EQ(diaglib::PortNumberFromListEntry("COM256"), 0);
  EXPECT_EQ(diaglib::PortNumberFromListEntry("COMx"), 0);
  EXPECT_EQ(diaglib::PortNumberFromListEntry("CO"), 0);
}

TEST_F(AutoDetectTest, ListFollowsTheOrderPortsAppearedIn) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  auto& late = AddDevice(3);
  auto& early = AddDevice(300);
  ASSERT_TRUE(late.SetComLinkTime(now - 10));
  ASSERT_TRUE(early.SetComLinkTime(now - 100));
  ASSERT_TRUE(diaglib::EnumerateSerialPorts());
  EXPECT_EQ(diaglib::SerialPortList(), (std::vector<uint16_t>{44, 3}));
}

TEST_F(AutoDetectTest, FirstPortInListOrderWithAPhoneWins) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  auto& low = AddDevice(4);
  auto& high = AddDevice(9);
  ASSERT_TRUE(low.SetComLinkTime(now - 10));
  ASSERT_TRUE(high.SetComLinkTime(now - 100));
  VODE_HANDLE handle = VODE_ConnectServer(VODE_PORT_AUTO_DETECT);
  ASSERT_NE(handle, nullptr);
  uint16_t port = 0;
  ASSERT_TRUE(VODE_GetContextPort(handle, &port));
  EXPECT_EQ(port, 9);
  EXPECT_TRUE(low.Requests().empty());
}

TEST_F(AutoDetectTest, SilentPortIsClosedAndReleasedBeforeTheNext) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  auto& silent = AddDevice(4);
  auto& phone = AddDevice(6);
  ASSERT_TRUE(silent.SetComLinkTime(now - 100));
  ASSERT_TRUE(phone.SetComLinkTime(now - 10));
  silent.DropResponses(1000);
  const uint32_t before = Vode_ResourceManager::Instance().ContextCounter();
  VODE_HANDLE handle = VODE_ConnectServer(VODE_PORT_AUTO_DETECT);
  ASSERT_NE(handle, nullptr);
  uint16_t port = 0;
  ASSERT_TRUE(VODE_GetContextPort(handle, &port));
  EXPECT_EQ(port, 6);
  EXPECT_FALSE(silent.Requests().empty());
  EXPECT_EQ(Vode_ResourceManager::Instance().ContextsInUse(), 1);
  // Two probes and the context handed out.
  EXPECT_EQ(Vode_ResourceManager::Instance().ContextCounter(), before + 3);
}

TEST_F(AutoDetectTest, NoSerialPortsReleasesEverythingAndFindsNothing) {
  VODE_HANDLE existing = VODE_ConnectServer(VODE_PORT_NULL);
  ASSERT_NE(existing, nullptr);
  EXPECT_EQ(VODE_ConnectServer(VODE_PORT_AUTO_DETECT), nullptr);
  uint16_t port = 0;
  EXPECT_FALSE(VODE_GetContextPort(existing, &port));
  EXPECT_EQ(Vode_ResourceManager::Instance().ContextsInUse(), 0);
  EXPECT_TRUE(diaglib::SerialPortList().empty());
}

}  // namespace
}  // namespace diaglib_test
