#include <gtest/gtest.h>

#include "device_fixture.hpp"

namespace nvtest {
namespace {

devicesim::NvData Pattern(uint8_t seed) {
  devicesim::NvData data{};
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(seed + i * 7);
  return data;
}

std::vector<uint32_t> Repeat(std::vector<uint32_t> block, int times) {
  std::vector<uint32_t> out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), block.begin(), block.end());
  return out;
}

std::vector<uint32_t> FailedEjects() {
  std::vector<uint32_t> one(20, 2000);
  one.push_back(10000);
  return Repeat(one, 7);
}

TEST_F(DeviceRun, WholeRunWithReset) {
  devicesim::VirtualDevice& device = StartDevice();
  device.SetOperatingMode(5);
  device.SetNvItem(453, Pattern(3));
  rec_.list_text = "<the line's items\nNV453:1,2,ff<set by line 7\nnv10:0x7e,7d\n\nNV65547:5\n";
  EXPECT_EQ(Run(1), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  EXPECT_TRUE(testsupport::Eventually([&] { return device.ResetCount() == 1; }));

  devicesim::NvData want = Pattern(3);
  want[0] = 1, want[1] = 2, want[2] = 0xFF;
  std::fill(want.begin() + 3, want.begin() + 16, 0);
  EXPECT_EQ(device.NvItem(453), want) << "bytes 16 to 127 are the ones the device held";
  const devicesim::NvData item10 = device.NvItem(10);
  EXPECT_EQ(Bytes(item10.begin(), item10.begin() + 3), (Bytes{0x7E, 0x7D, 0}));
  EXPECT_EQ(device.NvItem(65547 & 0xFFFF)[0], 5)
      << "an item number above 65535 names its low 16 bits";
  EXPECT_EQ(device.NvWriteCount(453), 1);

  EXPECT_TRUE(LongPauses().empty()) << "a device present at start costs no wait";
  EXPECT_TRUE(InOrder(
      rec_.Log(),
      {"KVX_WriteNVItem version: 20120831 \r\n\r\n", "\r\n1. search com port before eject disk\r\n",
       "search com port before eject disk +++\r\n", "search com port before eject disk ---\r\n",
       "com port exist before eject disk _iComPort:7\r\n",
       "\r\n---- Change to offline mode nRetry_now:0 ----\r\n",
       "Change to offline mode ok \r\n\r\n", "\r\n5. *** start to burn nv item *** \r\n\r\n",
       "SetNvItem 453 +++\r\n",
       "NV453 option Read, data[0] = 0x3, data[1] = 0xa, data[2] = 0x11, data[3] = 0x18, ",
       "data[7] = 0x34,data[8] = 0x3b, ", "NV453 is written success \r\n",
       "NV453 option Read, data[0] = 0x1, data[1] = 0x2, data[2] = 0xff, data[3] = 0x0, ",
       "NV453 is  is written \r\n", "SetNvItem_453 ---\r\n", "SetNvItem 10 +++\r\n",
       "SetNvItem_10 ---\r\n", "SetNvItem 11 +++\r\n", "Reset phone ok \r\n\r\n"}))
      << rec_.Log();
  EXPECT_EQ(rec_.Log().find("Normal Mode"), std::string::npos);
  EXPECT_TRUE(
      InOrder(rec_.console, {"\n [Diag] Version Request ok\n", "Setting NV item: 453\r\n"}));
  EXPECT_EQ(rec_.window_shown, (std::vector<bool>{false, true}));
}

TEST_F(DeviceRun, ItemAlreadyHoldingItsValuesIsOnlyRead) {
  devicesim::VirtualDevice& device = StartDevice();
  devicesim::NvData held = Pattern(9);
  held[0] = 0xAB;
  held[1] = 0xCD;
  std::fill(held.begin() + 2, held.begin() + 16, 0);
  device.SetNvItem(20, held);
  rec_.list_text = "NV20:ab,cd\n";
  EXPECT_EQ(Run(2), 0) << "two arguments are no reset request";
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  EXPECT_EQ(RequestsOf(0x26), 1);
  EXPECT_EQ(RequestsOf(0x27), 0);
  EXPECT_EQ(device.NvItem(20), held);
  EXPECT_NE(rec_.Log().find("NV20 not need to modify \r\n"), std::string::npos);
  EXPECT_EQ(device.ResetCount(), 0);
}

TEST_F(SilentDeviceRun, UnansweredWriteVerifiedByReadBack) {
  devicesim::VirtualDevice& device = StartDevice();
  device.SetNvItem(30, Pattern(1));
  write_hook_ = [&](Bytes* packet) {
    if (packet->at(0) == 0x27) device.DropResponses(1);
  };
  rec_.list_text = "NV30:11,22,33\n";
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  EXPECT_EQ(RequestsOf(0x27), 2) << "the write phase sends twice";
  EXPECT_EQ(device.NvItem(30)[2], 0x33);
  EXPECT_EQ(rec_.Log().find("NV30 is written success"), std::string::npos);
  EXPECT_NE(rec_.Log().find("NV30 is  is written \r\nSetNvItem_30 ---\r\n"), std::string::npos);

  // The write lands but no read-back is answered: nothing confirms it, so the item fails.
  bool written = false;
  write_hook_ = [&](Bytes* packet) {
    if (packet->at(0) == 0x27) written = true;
    if (packet->at(0) == 0x26 && written) device.DropResponses(1);
  };
  rec_.list_text = "NV31:1\n";
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem FAIL]\r\n");
  EXPECT_EQ(device.NvItem(31)[0], 1);
  EXPECT_NE(rec_.Log().find("NV31 is written success \r\nSetNvItem_31 return false \r\n"),
            std::string::npos);
}

TEST_F(DeviceRun, ReplyForAnotherItemIsNotTheItem) {
  devicesim::VirtualDevice& device = StartDevice();
  device.SetNvItem(41, Pattern(5));
  int reads = 0;
  // The first read of item 40 reaches the device as a read of item 41.
  write_hook_ = [&](Bytes* packet) {
    if (packet->at(0) == 0x26 && packet->at(1) == 40 && ++reads == 1) packet->at(1) = 41;
  };
  rec_.list_text = "NV40:1\n";
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  EXPECT_EQ(device.NvItem(40)[0], 1);
  EXPECT_EQ(device.NvItem(41), Pattern(5));

  // Every read answered for another item: nothing is written and the item fails.
  write_hook_ = [&](Bytes* packet) {
    if (packet->at(0) == 0x26 && packet->at(1) == 50) packet->at(1) = 41;
  };
  device.ClearRequests();
  rec_.list_text = "NV50:0\n";
  EXPECT_EQ(Run(1), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem FAIL]\r\n");
  EXPECT_EQ(RequestsOf(0x27), 0);
  EXPECT_EQ(RequestsOf(0x26), 2);
  EXPECT_EQ(device.ResetCount(), 0);
  EXPECT_TRUE(InOrder(
      rec_.Log(), {"SetNvItem 50 +++\r\n", "SetNvItem_50 return false \r\n", "SetNvItem Fail \r\n",
                   "\r\n---- Write NV items NV50 fail ----\r\n\r\n\r\n"}))
      << rec_.Log();
}

// A list line of zeros, a common factory value, against each status a read can bring: only
// status 0 is an item the device holds. Whatever the verdict, a PASS means the device now holds
// the item with the listed bytes, and a status other than 0 is logged with what it means.
TEST_F(DeviceRun, OnlyAReadOfStatusZeroHoldsTheItem) {
  constexpr uint16_t kItem = 1002;
  const std::string not_active =
      "NV1002 reported with status 5, not active: the device holds no such item and uses its "
      "built-in default\r\n";
  const std::string not_read =
      "NV1002 reported with status 4, the device did not read the item: the data it sent are "
      "not the item's\r\n";
  // The answers to NV reads from the next one on carry status 4.
  auto status_four = [](devicesim::VirtualDevice& d) {
    d.MisbehaveOnlyFor({0x26});
    d.PatchResponses(1, 131, {4, 0});
  };
  struct Case {
    const char* name;
    std::function<void(devicesim::VirtualDevice&)> arrange;   // before the run
    std::function<void(devicesim::VirtualDevice&)> on_write;  // as the write goes out
    const char* verdict;
    int reads, writes;
    std::string status_line;  // "" when none
    int status_lines;
  };
  const devicesim::NvData zeros{};
  const Case cases[] = {
      {"held, status 0", [&](auto& d) { d.SetNvItem(kItem, zeros); }, nullptr, "PASS", 1, 0, "", 0},
      {"not active", [](auto& d) { d.SetNvItemInactive(kItem, true); }, nullptr, "PASS", 2, 1,
       not_active, 1},
      {"status 4",
       [&](auto& d) {
         d.SetNvItem(kItem, zeros);
         status_four(d);
       },
       nullptr, "PASS", 2, 1, not_read, 1},
      {"not active on the read-back too",
       [](auto& d) {
         d.SetNvItemInactive(kItem, true);
         d.IgnoreNvWrites(1);
       },
       nullptr, "FAIL", 2, 1, not_active, 2},
      {"status 4 on the read-back", [](auto& d) { d.SetNvItem(kItem, Pattern(1)); }, status_four,
       "FAIL", 2, 1, not_read, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device_.reset();
    devicesim::VirtualDevice& device = StartDevice();
    c.arrange(device);
    write_hook_ = [&](Bytes* packet) {
      if (packet->at(0) == 0x27 && c.on_write) c.on_write(device);
    };
    rec_.list_text = "NV1002:00\n";
    EXPECT_EQ(Run(0), 0);
    EXPECT_EQ(rec_.Result(), std::string("[WriteNVItem ") + c.verdict + "]\r\n");
    EXPECT_EQ(RequestsOf(0x26), c.reads);
    EXPECT_EQ(RequestsOf(0x27), c.writes);
    const std::string log = rec_.Log();
    size_t lines = 0;
    for (size_t at = 0;
         !c.status_line.empty() && (at = log.find(c.status_line, at)) != std::string::npos;
         at += c.status_line.size()) {
      ++lines;
    }
    EXPECT_EQ(lines, static_cast<size_t>(c.status_lines)) << log;
    EXPECT_EQ(log.find(" reported with status ") == std::string::npos, c.status_lines == 0) << log;
    if (std::string(c.verdict) == "PASS") {
      EXPECT_TRUE(device.HasNvItem(kItem));
      EXPECT_EQ(device.NvItem(kItem), zeros);
    }
  }
}

TEST_F(DeviceRun, RepliesSplitInTwo) {
  devicesim::VirtualDevice& device = StartDevice();
  device.SplitResponses(1000, 2, 3);
  rec_.list_text = "NV60:9,8,7\n";
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  EXPECT_EQ(device.NvItem(60)[2], 7);
  EXPECT_EQ(rec_.console.find("diag crc error"), std::string::npos);
  EXPECT_EQ(RequestsOf(0x00), 1) << "each request answered at its first send";
  EXPECT_EQ(RequestsOf(0x29), 1);
  EXPECT_EQ(RequestsOf(0x27), 1);
}

TEST_F(DeviceRun, OfflineFailingSevenTimes) {
  devicesim::VirtualDevice& device = StartDevice();
  write_hook_ = [&](Bytes* packet) {
    // Refused with an error answer: that answers the request. (An answer of another code is
    // no answer and is read past, as a device that stays silent.)
    if (packet->at(0) == 0x29) device.ErrorResponses(1, 0x18);
  };
  rec_.list_text = "NV70:1\n";
  EXPECT_EQ(Run(1), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem FAIL]\r\n");
  EXPECT_EQ(RequestsOf(0x29), 35);
  EXPECT_EQ(RequestsOf(0x26), 0);
  EXPECT_EQ(LongPauses(), std::vector<uint32_t>(7, 10000));
  EXPECT_TRUE(InOrder(
      rec_.Log(),
      {"---- Change to offline mode nRetry_now:0 ----\r\nChange to offline mode fail \r\n\r\n"
       "sleep 10sec +++\r\nsleep 10sec ---\r\n",
       "---- Change to offline mode nRetry_now:6 ----\r\nChange to offline mode fail \r\n\r\n"
       "sleep 10sec +++\r\nsleep 10sec ---\r\n"}));
  EXPECT_EQ(rec_.Log().find("nRetry_now:7"), std::string::npos);
}

TEST_F(DeviceRun, NoPortAfterSevenSearches) {
  StartDevice().Disappear();
  rec_.list_text = "NV70:1\n";
  EXPECT_EQ(Run(1), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem FAIL]\r\n");
  std::vector<uint32_t> expected = FailedEjects();
  const std::vector<uint32_t> searches(7, 10000);
  expected.insert(expected.end(), searches.begin(), searches.end());
  EXPECT_EQ(LongPauses(), expected);
  EXPECT_TRUE(device_->GoodRequests().empty());
  EXPECT_TRUE(InOrder(
      rec_.Log(),
      {"\r\n---- EjectDisk nRetry_now:6 ----\r\n",
       "EjectDisk ---\r\nsleep 10sec +++\r\n"
       "sleep 10sec ---\r\nEjectDisk fail\r\n",
       "\r\n---- search com port nRetry_now:0 ----\r\n",
       "\r\n---- search com port nRetry_now:6 ----\r\n\r\n4. search com port after eject disk\r\n"
       "search com port after eject disk +++\r\nsearch com port after eject disk ---\r\n"
       "com port not exist after eject disk\r\nsleep 10sec +++\r\nsleep 10sec ---\r\n"}))
      << rec_.Log();
}

// A pin that cannot name a slot hides the device that is there, and the log says why.
TEST_F(DeviceRun, RefusedPinSeesNothingAndSaysWhy) {
  StartDevice();
  rec_.list_text = "NV70:1\n";
  setenv("DIAG_USB_LOCATION", "", 1);
  EXPECT_EQ(Run(1), 0);
  unsetenv("DIAG_USB_LOCATION");
  EXPECT_EQ(rec_.Result(), "[WriteNVItem FAIL]\r\n");
  EXPECT_TRUE(device_->GoodRequests().empty());
  EXPECT_EQ(
      rec_.Log().find("KVX_WriteNVItem version: 20120831 \r\n\r\n[Error] DIAG_USB_LOCATION is set "
                      "but empty; this run sees no device \r\n"),
      0u)
      << rec_.Log();
}

TEST_F(DeviceRun, PortAppearingAfterSevenFailedEjects) {
  devicesim::VirtualDevice& device = StartDevice();
  device.Disappear();
  int ten_second_pauses = 0;
  hook_clock_.on_pause = [&](uint32_t ms) {
    // The eighth 10 s wait is the first one of the search after the eject.
    if (ms == 10000 && ++ten_second_pauses == 8) {
      device.Reappear();
      testsupport::Eventually([&] { return device.Present(); });
    }
  };
  rec_.list_text = "NV80:4\n";
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  std::vector<uint32_t> expected = FailedEjects();
  expected.push_back(10000);
  EXPECT_EQ(LongPauses(), expected);
  std::vector<std::string> banners;
  for (int i = 0; i < 7; ++i)
    banners.push_back("\r\n---- EjectDisk nRetry_now:" + std::to_string(i) + " ----\r\n");
  banners.push_back("EjectDisk fail\r\n");
  banners.push_back("\r\n---- search com port nRetry_now:0 ----\r\n");
  banners.push_back("com port not exist after eject disk\r\n");
  banners.push_back("\r\n---- search com port nRetry_now:1 ----\r\n");
  banners.push_back("search com port after eject disk ---\r\nNormal Mode _iComPort:7\r\n\r\n\r\n");
  EXPECT_TRUE(InOrder(rec_.Log(), banners)) << rec_.Log();
  EXPECT_NE(nvtool::Narrow(rec_.wide_console)
                .find("\nEnumerate device : No.0\r\nGet no more device items.\r\n"
                      "Cannot find specific Disk and Re-Enumrate : 20th times\n"),
            std::string::npos);
  EXPECT_EQ(device.NvItem(80)[0], 4);
}

TEST_F(DeviceRun, UnopenableCdromBeforeTheDevice) {
  options_.start_as_cdrom = true;
  options_.cdrom_index = 1;
  ASSERT_TRUE(devicesim::VirtualDevice::AddUnopenableCdrom(root_, 0, "Optical", "DVD writer"));
  devicesim::VirtualDevice& device = StartDevice();
  hook_clock_.on_pause = [&](uint32_t ms) {
    if (ms == 10000) testsupport::Eventually([&] { return device.Present(); });
  };
  rec_.list_text = "NV90:5\n";
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  EXPECT_TRUE(device.EjectReceived());
  EXPECT_EQ(LongPauses(), (std::vector<uint32_t>{1000, 10000}));
  const std::string wide = nvtool::Narrow(rec_.wide_console);
  EXPECT_TRUE(InOrder(wide, {std::string(70, '='),
                             "\nEnumerate device : No.0\r\nGetDeviceProperty - CreateFile failed "
                             "with error: 2\r\n",
                             "\nEnumerate device : No.1\r\nVID : KVX",
                             "[Notice] Device match, send eject SCSI command\r\n"
                             "[Notice]Send eject SCSI command successfully\r\n",
                             "\nEnumerate device : No.2\r\nGet no more device items.\r\n"}))
      << wide;
  EXPECT_TRUE(
      InOrder(rec_.Log(), {"\r\n---- EjectDisk nRetry_now:0 ----\r\n",
                           "Find KVX Mass storage \r\n"
                           "Send eject SCSI command successfully \r\n",
                           "EjectDisk ---\r\nEjectDisk success\r\nsleep for reboot 10sec +++\r\n"
                           "sleep for reboot 10sec ---\r\n",
                           "Normal Mode _iComPort:7\r\n"}))
      << rec_.Log();
  EXPECT_EQ(device.NvItem(90)[0], 5);
}

TEST_F(DeviceRun, TovikServerRunningSendsNothing) {
  devicesim::VirtualDevice& device = StartDevice();
  rec_.processes = {L"init", L"TovikServer.exe"};
  rec_.list_text = "NV95:1\n";
  EXPECT_EQ(Run(1), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem FAIL]\r\n");
  EXPECT_TRUE(device.RawReceived().empty());
  EXPECT_EQ(rec_.Log(),
            "KVX_WriteNVItem version: 20120831 \r\n\r\n[Error] TovikApplicationExist \r\n");
}

}  // namespace
}  // namespace nvtest
