#include <ctime>

#include "api_device_fixture.hpp"
#include "diaglib/api/port_autodetect.hpp"

using namespace diaglib;  // the library's own classes under test

namespace diaglib_test {
namespace {

using AutoDetectTest = DeviceTest;

TEST_F(AutoDetectTest, ListEntriesKeepTheirLowEightBitsInTheOrderPortsAppeared) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  ASSERT_TRUE(AddDevice(3).SetComLinkTime(now - 10));
  ASSERT_TRUE(AddDevice(300).SetComLinkTime(now - 100));
  ASSERT_TRUE(diaglib::EnumerateSerialPorts());
  EXPECT_EQ(diaglib::SerialPortList(), (std::vector<uint16_t>{44, 3}));
}

TEST_F(AutoDetectTest, FirstPortInListOrderWithAPhoneWinsAfterSilentOnesAreReleased) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  auto& silent = AddDevice(4);
  auto& first = AddDevice(9);
  auto& later = AddDevice(5);
  ASSERT_TRUE(silent.SetComLinkTime(now - 300));
  ASSERT_TRUE(first.SetComLinkTime(now - 200));
  ASSERT_TRUE(later.SetComLinkTime(now - 100));
  silent.DropResponses(1000);
  const uint32_t before = Vode_ResourceManager::Instance().ContextCounter();
  VODE_HANDLE handle = VODE_ConnectServer(VODE_PORT_AUTO_DETECT);
  uint16_t port = 0;
  ASSERT_TRUE(VODE_GetContextPort(handle, &port));
  EXPECT_EQ(port, 9);
  EXPECT_FALSE(silent.Requests().empty());
  EXPECT_TRUE(later.Requests().empty());
  EXPECT_EQ(Vode_ResourceManager::Instance().ContextsInUse(), 1);
  EXPECT_EQ(Vode_ResourceManager::Instance().ContextCounter(),
            before + 3);  // two probes, one context
}

TEST_F(AutoDetectTest, NoSerialPortsReleasesEverythingAndFindsNothing) {
  VODE_HANDLE existing = VODE_ConnectServer(VODE_PORT_NULL);
  ASSERT_NE(existing, nullptr);
  EXPECT_EQ(VODE_ConnectServer(VODE_PORT_AUTO_DETECT), nullptr);
  EXPECT_EQ(Vode_ResourceManager::Instance().ContextsInUse(), 0);
}

}  // namespace
}  // namespace diaglib_test
