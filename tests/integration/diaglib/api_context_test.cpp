#include <cstring>

#include "api_device_fixture.hpp"

using namespace diaglib;  // the library's own classes under test

namespace diaglib_test {
namespace {

using ContextTest = DeviceTest;

std::string Numbered(uint32_t number) {
  return "Vode_ResourceManager::CreateContext() - #" + std::to_string(number);
}

TEST_F(ContextTest, SamePortSharesOneHandleAndTheFirstDisconnectOnlyClosesThePort) {
  AddDevice(7);
  VODE_HANDLE first = VODE_ConnectServer(7);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(VODE_ConnectServer(7), first);
  EXPECT_TRUE(VODE_IsPhoneConnected(first));
  VODE_DisconnectServer(first);
  uint16_t port = 0;
  EXPECT_TRUE(VODE_GetContextPort(first, &port));
  EXPECT_EQ(port, 7);
  EXPECT_FALSE(Phone(first)->IsPortOpen());
  VODE_DisconnectServer(first);
  EXPECT_FALSE(VODE_GetContextPort(first, &port));
  EXPECT_FALSE(VODE_IsPhoneConnected(first));
}

TEST_F(ContextTest, AutoDetectReleasesEveryContextAndTheProbeUsesUpANumber) {
  AddDevice(7);
  VODE_HANDLE other = VODE_ConnectServer(9);  // no device there: a context all the same
  ASSERT_NE(other, nullptr);
  const uint32_t next = Vode_ResourceManager::Instance().ContextCounter();
  EXPECT_EQ(ContextName(other), Numbered(next - 1));
  VODE_HANDLE found = VODE_ConnectServer(VODE_PORT_AUTO_DETECT);
  ASSERT_NE(found, nullptr);
  uint16_t port = 0;
  EXPECT_FALSE(VODE_GetContextPort(other, &port));
  ASSERT_TRUE(VODE_GetContextPort(found, &port));
  EXPECT_EQ(port, 7);
  EXPECT_EQ(ContextName(found), Numbered(next + 1));
  EXPECT_EQ(Vode_ResourceManager::Instance().ContextsInUse(), 1);
}

TEST_F(ContextTest, FiftyContextsFillTheTable) {
  std::vector<VODE_HANDLE> handles;
  for (uint16_t port = 10; port < 60; ++port) handles.push_back(VODE_ConnectServer(port));
  EXPECT_EQ(std::count(handles.begin(), handles.end(), nullptr), 0);
  std::sort(handles.begin(), handles.end());
  EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end());
  EXPECT_EQ(VODE_ConnectServer(60), nullptr);
  EXPECT_NE(VODE_ConnectServer(33), nullptr);  // an open port is still shared
}

TEST_F(ContextTest, VersionFeaturesAndTheFtmCode) {
  char version[64];
  VODE_ReadLibraryVersion(version);
  EXPECT_STREQ(version, "VODE V5.3.32,DIRECTMS");
  uint8_t features[4] = {9, 9, 9, 9};
  VODE_QueryLibraryFeatures(&features[0], &features[1], &features[2], &features[3]);
  EXPECT_EQ(std::vector<uint8_t>(features, features + 4), (std::vector<uint8_t>{1, 1, 0, 0}));
  VODE_HANDLE handle = VODE_ConnectServer(VODE_PORT_NULL);
  uint32_t status = 77;
  uint16_t code = 0;
  EXPECT_FALSE(VODE_GetTovikPhoneStatus(handle, &status));
  EXPECT_EQ(status, 77u);
  EXPECT_TRUE(VODE_FTM_GET_COMMAND_CODE(handle, &code));
  EXPECT_EQ(code, 75);
  EXPECT_TRUE(VODE_IsPhoneConnected(handle));  // the null port needs no device
  EXPECT_FALSE(VODE_IsPhoneConnected(nullptr));
  VODE_CloseAllContexts();

  // The outside-server mode keeps the port time-outs to itself.
  VODE_SelectLibraryMode(1);
  VODE_ReadLibraryVersion(version);
  EXPECT_STREQ(version, "VODE V5.3.32,TOVIK");
  handle = VODE_ConnectServer(VODE_PORT_NULL);
  EXPECT_FALSE(Phone(handle)->ConfigureTimeOut(7, 500));
  EXPECT_EQ(Phone(handle)->GetTimeOut(8), 0);
  EXPECT_FALSE(VODE_FlushRxBuffer(handle));
}

TEST_F(ContextTest, TimeOutDefaultsInTheirOrderAndInvalidIds) {
  EnableLibraryLog();
  VODE_HANDLE handle = VODE_ConnectServer(VODE_PORT_NULL);
  std::vector<int> order;
  std::istringstream log(ReadFile("VODE_Log.txt"));
  for (std::string line; std::getline(log, line);) {
    const size_t at = line.find("VODE_ConfigureTimeOut( eTimeOutId = ");
    if (at != std::string::npos) order.push_back(std::atoi(line.c_str() + at + 36));
  }
  EXPECT_EQ(order, (std::vector<int>{0,  1,  2,  3,  4,  5,  6,  9,  10, 16,
                                     17, 18, 19, 11, 12, 13, 14, 15, 7,  8}));
  const int defaults[20] = {4000,  80,  200, 3000, 6000, 10000, 10000, 900,  900, 3000,
                            10000, 150, 140, 3000, 100,  100,   5000,  2000, 500, 10000};
  VODE_ConfigureLibraryTextLogCallBack(handle, &LogCapture::OnLine);
  LogCapture::Clear();
  EXPECT_FALSE(Phone(handle)->ConfigureTimeOut(20, 1));
  EXPECT_FALSE(Phone(handle)->ConfigureTimeOut(-1, 1));
  EXPECT_TRUE(LogCapture::Has("VODE_ConfigureTimeOut() -- Error, invalid ID."));
  EXPECT_EQ(Phone(handle)->GetTimeOut(20), 0);
  for (int id = 0; id < 20; ++id) EXPECT_EQ(Phone(handle)->GetTimeOut(id), defaults[id]) << id;
}

TEST_F(ContextTest, ConnectDelayIsReadCaseSensitively) {
  for (const auto& [text, delay] : {std::pair<const char*, int>{"ConnectDelay 300\n", 300},
                                    {"connectdelay 300\n", 0},
                                    {"Other 5\nConnectDelay 120\n", 120}}) {
    WriteFile("DUVUZUVConfig.txt", text);
    Diag_Phone* phone = Phone(VODE_ConnectServer(VODE_PORT_NULL));
    ASSERT_NE(phone, nullptr);
    EXPECT_EQ(phone->GetTimeOut(1), delay ? delay : 80) << text;
    EXPECT_EQ(phone->GetTimeOut(2), delay ? delay : 200) << text;
    VODE_CloseAllContexts();
  }
}

}  // namespace
}  // namespace diaglib_test
