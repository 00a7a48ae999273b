#include <algorithm>
#include <cstring>

#include "api_device_fixture.hpp"
#include "diaglib/log/library_log.hpp"

namespace diaglib_test {
namespace {

using ContextTest = DeviceTest;

TEST_F(ContextTest, SamePortSharesOneHandleAndTheFirstDisconnectOnlyClosesThePort) {
  AddDevice(7);
  VODE_HANDLE first = VODE_ConnectServer(7);
  ASSERT_NE(first, nullptr);
  VODE_HANDLE second = VODE_ConnectServer(7);
  EXPECT_EQ(first, second);
  EXPECT_EQ(Vode_ResourceManager::Instance().ReferenceCount(first), 2);
  EXPECT_TRUE(VODE_IsPhoneConnected(first));

  VODE_DisconnectServer(first);
  uint16_t port = 0;
  EXPECT_TRUE(VODE_GetContextPort(first, &port));
  EXPECT_EQ(port, 7);
  EXPECT_FALSE(Phone(first)->IsPortOpen());

  VODE_DisconnectServer(second);
  EXPECT_FALSE(VODE_GetContextPort(first, &port));
  EXPECT_FALSE(VODE_IsPhoneConnected(first));
}

TEST_F(ContextTest, AutoDetectReleasesEveryContextAndTheProbesUseUpNumbers) {
  AddDevice(7);
  VODE_HANDLE other = VODE_ConnectServer(9);  // no device there: a context all the same
  ASSERT_NE(other, nullptr);
  const uint32_t before = Vode_ResourceManager::Instance().ContextCounter();
  EXPECT_EQ(ContextName(other),
            "Vode_ResourceManager::CreateContext() - #" + std::to_string(before - 1));

  VODE_HANDLE found = VODE_ConnectServer(VODE_PORT_AUTO_DETECT);
  ASSERT_NE(found, nullptr);
  uint16_t port = 0;
  EXPECT_FALSE(VODE_GetContextPort(other, &port));
  ASSERT_TRUE(VODE_GetContextPort(found, &port));
  EXPECT_EQ(port, 7);
  // The probe of COM7 took one number, the context handed out the next.
  EXPECT_EQ(ContextName(found),
            "Vode_ResourceManager::CreateContext() - #" + std::to_string(before + 1));
  EXPECT_EQ(Vode_ResourceManager::Instance().ContextsInUse(), 1);
  EXPECT_TRUE(VODE_IsPhoneConnected(found));
}

TEST_F(ContextTest, FiftyContextsFillTheTable) {
  std::vector<VODE_HANDLE> handles;
  for (uint16_t port = 10; port < 60; ++port) {
    VODE_HANDLE handle = VODE_ConnectServer(port);
    ASSERT_NE(handle, nullptr) << port;
    EXPECT_EQ(std::count(handles.begin(), handles.end(), handle), 0);
    handles.push_back(handle);
  }
  EXPECT_EQ(VODE_ConnectServer(60), nullptr);
  EXPECT_EQ(VODE_ConnectServer(33), handles[23]);  // an open port is still shared
  VODE_DisconnectServer(handles[0]);
  VODE_HANDLE reused = VODE_ConnectServer(60);
  ASSERT_NE(reused, nullptr);
  EXPECT_EQ(std::count(handles.begin(), handles.end(), reused), 0);
  VODE_CloseAllContexts();
  EXPECT_EQ(Vode_ResourceManager::Instance().ContextsInUse(), 0);
}

TEST_F(ContextTest, UnknownHandlesDoNothing) {
  VODE_HANDLE unknown = reinterpret_cast<VODE_HANDLE>(static_cast<uintptr_t>(0x7FFFFFF0));
  for (VODE_HANDLE handle : {static_cast<VODE_HANDLE>(nullptr), unknown}) {
    uint16_t port = 1;
    uint32_t value = 3;
    uint16_t code = 0;
    EXPECT_FALSE(VODE_GetContextPort(handle, &port));
    EXPECT_FALSE(VODE_IsPhoneConnected(handle));
    EXPECT_FALSE(VODE_FlushRxBuffer(handle));
    EXPECT_FALSE(VODE_GetPhoneMode(handle, &value));
    EXPECT_FALSE(VODE_DIAG_CONTROL_F(handle, 1));
    EXPECT_FALSE(VODE_FTM_GET_COMMAND_CODE(handle, &code));
    EXPECT_FALSE(VODE_EfsMkDir(handle, "a"));
    VODE_DisconnectServer(handle);
    EXPECT_EQ(port, 1);
    EXPECT_EQ(value, 3u);
  }
  EXPECT_EQ(Vode_ResourceManager::Instance().ContextsInUse(), 0);
}

TEST_F(ContextTest, VersionFeaturesAndOutsideServerQueries) {
  char version[64];
  std::memset(version, 'x', sizeof(version));
  VODE_ReadLibraryVersion(version);
  EXPECT_STREQ(version, "VODE V5.3.32,DIRECTMS");
  uint8_t diag = 9, efs = 9, download = 9, tovik = 9;
  VODE_QueryLibraryFeatures(&diag, &efs, &download, &tovik);
  EXPECT_EQ((std::vector<int>{diag, efs, download, tovik}), (std::vector<int>{1, 1, 0, 0}));

  VODE_HANDLE handle = VODE_ConnectServer(VODE_PORT_NULL);
  ASSERT_NE(handle, nullptr);
  uint32_t status = 77;
  EXPECT_FALSE(VODE_GetTovikPhoneStatus(handle, &status));
  EXPECT_EQ(status, 77u);
  uint16_t code = 0;
  EXPECT_TRUE(VODE_FTM_GET_COMMAND_CODE(handle, &code));
  EXPECT_EQ(code, 75);
  // The null port needs no device.
  EXPECT_TRUE(VODE_IsPhoneConnected(handle));
}

TEST_F(ContextTest, TimeOutTableDefaultsInOrderAndInvalidIds) {
  EnableLibraryLog();
  VODE_HANDLE handle = VODE_ConnectServer(7);
  ASSERT_NE(handle, nullptr);
  Diag_Phone* phone = Phone(handle);
  std::vector<int> order;
  for (const std::string& text : LibraryLogTexts()) {
    int id = 0, value = 0;
    if (std::sscanf(text.c_str(), "VODE_ConfigureTimeOut( eTimeOutId = %d, iNewValue_ms = %d)", &id,
                    &value) == 2) {
      order.push_back(id);
    }
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 9, 10, 16, 17, 18, 19, 11, 12, 13, 14,
                                     15, 7, 8}));
  const int expected[20] = {4000, 80,  200,  3000, 6000, 10000, 10000, 900,  900,  3000,
                            10000, 150, 140, 3000, 100,  100,   5000,  2000, 500, 10000};
  for (int id = 0; id < 20; ++id) EXPECT_EQ(phone->GetTimeOut(id), expected[id]) << id;

  LogCapture::Clear();
  VODE_ConfigureLibraryTextLogCallBack(handle, &LogCapture::OnLine);
  EXPECT_FALSE(phone->ConfigureTimeOut(20, 1));
  EXPECT_FALSE(phone->ConfigureTimeOut(-1, 1));
  EXPECT_TRUE(LogCapture::Has("VODE_ConfigureTimeOut() -- Error, invalid ID."));
  EXPECT_EQ(phone->GetTimeOut(20), 0);
  EXPECT_EQ(phone->GetTimeOut(-1), 0);
  EXPECT_TRUE(LogCapture::Has("VODE_GetTimeOut() -- Error, invalid ID."));
  for (int id = 0; id < 20; ++id) EXPECT_EQ(phone->GetTimeOut(id), expected[id]) << id;
}

TEST_F(ContextTest, ConnectDelayIsReadCaseSensitively) {
  struct Case {
    const char* text;
    int ping, connect;
  };
  for (const Case c : {Case{"ConnectDelay 300\n", 300, 300}, Case{"connectdelay 300\n", 80, 200},
                       Case{"Other 5\nConnectDelay 120\n", 120, 120}}) {
    WriteWorkFile("DUVUZUVConfig.txt", c.text);
    VODE_HANDLE handle = VODE_ConnectServer(VODE_PORT_NULL);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Phone(handle)->GetTimeOut(1), c.ping) << c.text;
    EXPECT_EQ(Phone(handle)->GetTimeOut(2), c.connect) << c.text;
    EXPECT_EQ(Phone(handle)->GetTimeOut(0), 4000);
    VODE_CloseAllContexts();
  }
}

TEST_F(ContextTest, WithoutTheTriggerFileNothingIsLogged) {
  AddDevice(7);
  LogCapture::Clear();
  VODE_HANDLE handle = VODE_ConnectServer(7);
  VODE_ConfigureLibraryTextLogCallBack(handle, &LogCapture::OnLine);
  EXPECT_TRUE(VODE_IsPhoneConnected(handle));
  EXPECT_TRUE(LogCapture::Lines().empty());
  EXPECT_FALSE(std::filesystem::exists(work_ + "/VODE_Log.txt"));
}

}  // namespace
}  // namespace diaglib_test
