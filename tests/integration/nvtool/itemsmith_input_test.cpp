// What the NV writer makes of the list files and the flags a line meets: every line is read
// whole and once, a list that cannot be read to its end gives no verdict, and flags in front
// of a reply are no part of it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "device_fixture.hpp"
#include "failing_stream.hpp"
#include "nvtool/wide_text.hpp"
#include "platform/files.hpp"

namespace nvtest {
namespace {

devicesim::NvData Held(uint8_t seed) {
  devicesim::NvData data{};
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(seed ^ (i * 5));
  return data;
}

TEST_F(DeviceRun, ListLinesAreTakenWholeAndTheMarkIsSkipped) {
  devicesim::VirtualDevice& device = StartDevice();
  device.SetNvItem(11, Held(0x11));
  std::string sixteen = "NV453:";
  for (int v = 1; v <= 16; ++v)
    sixteen += std::string(v == 1 ? " " : ", ") + nvtool::Format("0x%02x", v);
  ASSERT_GT(sixteen.size(), 99u);
  const std::string comment = "NV10:01<" + std::string(95, '-') + " was NV11:05 before\n";
  rec_.list_text = "\xEF\xBB\xBFNV100:7\n" + sixteen + "\n" + comment;
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");

  EXPECT_EQ(device.NvItem(100)[0], 7) << "the first item, behind the byte order mark";
  const devicesim::NvData item453 = device.NvItem(453);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(item453[i], i + 1) << "byte " << i;
  EXPECT_EQ(device.NvItem(10)[0], 1);
  EXPECT_EQ(device.NvItem(11), Held(0x11)) << "text after '<' is a comment, however long the line";
  EXPECT_EQ(device.NvWriteCount(11), 0);
  EXPECT_EQ(rec_.console.find("Setting NV item: 11"), std::string::npos);
}

TEST_F(DeviceRun, OverlongLineFailsTheRunWhereItStands) {
  devicesim::VirtualDevice& device = StartDevice();
  rec_.list_text = "NV1:1\nNV2:" + std::string(65536, '2') + "\nNV3:3\n";
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem FAIL]\r\n");
  EXPECT_EQ(device.NvItem(1)[0], 1);
  EXPECT_FALSE(device.HasNvItem(2));
  EXPECT_FALSE(device.HasNvItem(3));
  EXPECT_NE(
      rec_.Log().find(
          "SetNvItem_1 ---\r\n\r\n---- KVX_nvitem.txt line 2 longer than 65536 characters ----"
          "\r\n\r\n\r\n"),
      std::string::npos)
      << rec_.Log();
}

TEST_F(DeviceRun, ListThatCannotBeReadToItsEndLeavesNoVerdict) {
  devicesim::VirtualDevice& device = StartDevice();
  const std::string fifo = root_ + "/list-fifo";
  const std::string zero = root_ + "/list-zero";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  struct Case {
    const char* name;
    std::function<std::FILE*()> open;
    const char* line;
  };
  const auto real = [](const std::string& path) {
    return [path] { return platform::OpenRegularFileStream(path, "r"); };
  };
  const Case cases[] = {
      // A folder opens as a stream on Linux; its first read fails.
      {"folder read", [this] { return std::fopen(root_.c_str(), "r"); },
       "\r\nread KVX_ntitem file fail...\n\r\n"},
      {"error after a line", [] { return testsupport::StreamFailingAfter("NV1:5\nNV2:"); },
       "\r\nread KVX_ntitem file fail...\n\r\n"},
      {"folder", real(root_), "\r\nopen KVX_ntitem file fail...\n\r\n"},
      {"pipe", real(fifo), "\r\nopen KVX_ntitem file fail...\n\r\n"},
      {"link to /dev/zero", real(zero), "\r\nopen KVX_ntitem file fail...\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec_.files[nvtool::kResultFileName] = "[WriteNVItem PASS]\r\n";
    env_.open_stream = [&c](const std::string&, const char*) { return c.open(); };
    EXPECT_EQ(Run(0), 1);
    EXPECT_EQ(rec_.files.count(nvtool::kResultFileName), 0u) << "not even the previous verdict";
    const std::string last = std::string(c.line) + "\r\n";
    const std::string log = rec_.Log();
    EXPECT_TRUE(log.size() > last.size() &&
                log.compare(log.size() - last.size(), last.size(), last) == 0)
        << log;
  }
  EXPECT_EQ(RequestsOf(0x27), 1) << "only the item read before the error";
  EXPECT_EQ(device.NvItem(1)[0], 5);
  EXPECT_FALSE(device.HasNvItem(2));
}

TEST_F(DeviceRun, EveryLineEndEndsALineAndANulMakesTheListUnreadable) {
  struct Case {
    const char* name;
    std::string list;
    int exit_code;
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> items;  // wanted first bytes
    std::vector<uint16_t> untouched;
  };
  const Case cases[] = {
      {"lone CR",
       "NV1001:11,12\rNV1002:21,22\rNV1003:31,32\r",
       0,
       {{1001, {0x11, 0x12, 0}}, {1002, {0x21, 0x22, 0}}, {1003, {0x31, 0x32, 0}}},
       {}},
      {"LF CR",
       "NV1004:41\n\rNV1005:51\n\rNV1006:61",
       0,
       {{1004, {0x41, 0}}, {1005, {0x51, 0}}, {1006, {0x61, 0}}},
       {}},
      {"CR LF and a Ctrl-Z inside",
       "NV1007:71\r\n\x1a\r\nNV1008:81\r\n",
       0,
       {{1007, {0x71, 0}}, {1008, {0x81, 0}}},
       {}},
      {"UTF-16 without its mark",
       std::string("N\0V\0"
                   "1\0"
                   "0\0"
                   "9\0:\0"
                   "1\0\n\0",
                   16),
       1,
       {},
       {109}},
      {"NUL block after a line",
       std::string("NV1010:1\n\0\0\0\0NV1011:2\n", 22),
       1,
       {{1010, {0x01}}},
       {1011}},
  };
  devicesim::VirtualDevice& device = StartDevice();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec_.list_text = c.list;
    rec_.files[nvtool::kResultFileName] = "[WriteNVItem PASS]\r\n";
    EXPECT_EQ(Run(0), c.exit_code);
    if (c.exit_code == 0) {
      EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
    } else {
      EXPECT_EQ(rec_.files.count(nvtool::kResultFileName), 0u);
      EXPECT_NE(rec_.Log().find("is no text: save the list as plain text ----"), std::string::npos)
          << rec_.Log();
    }
    for (const auto& item : c.items) {
      const devicesim::NvData held = device.NvItem(item.first);
      EXPECT_TRUE(std::equal(item.second.begin(), item.second.end(), held.begin()))
          << "item " << item.first;
    }
    for (uint16_t id : c.untouched) EXPECT_FALSE(device.HasNvItem(id)) << "item " << id;
  }
}

TEST_F(DeviceRun, ListIsOpenedAsBytes) {
  // A text-mode read ends a list at a Ctrl-Z on Windows, and the builds would differ.
  StartDevice();
  std::string mode;
  env_.open_stream = [&mode](const std::string&, const char* m) {
    mode = m;
    return std::tmpfile();
  };
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(mode, "rb");
}

TEST_F(DeviceRun, VerdictFileThatCannotBeClearedOrWrittenExitsWithTwo) {
  using nvtool::kResultFileName;
  struct Case {
    const char* name;
    std::function<void(testsupport::NvToolRecorder&)> arrange;
    bool device_touched;
    const char* line;
  };
  const Case cases[] = {
      {"previous verdict stays", [](auto& r) { r.unremovable.insert(kResultFileName); }, false,
       "[Error] KVX_WriteNVItem_result.txt cannot be removed, no device is touched \r\n"},
      {"short write", [](auto& r) { r.room[kResultFileName] = 10; }, true,
       "[Error] KVX_WriteNVItem_result.txt cannot be written, no verdict is left \r\n"},
      {"close fails", [](auto& r) { r.failing_close.insert(kResultFileName); }, true,
       "[Error] KVX_WriteNVItem_result.txt cannot be written, no verdict is left \r\n"},
  };
  devicesim::VirtualDevice& device = StartDevice();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec_ = testsupport::NvToolRecorder();
    rec_.files[kResultFileName] = "[WriteNVItem PASS]\r\n";
    rec_.list_text = "NV130:1\n";
    c.arrange(rec_);
    const size_t requests_before = device.GoodRequests().size();
    EXPECT_EQ(Run(0), 2);
    EXPECT_NE(rec_.console.find(c.line), std::string::npos) << rec_.console;
    if (c.device_touched) {
      EXPECT_EQ(rec_.files.count(kResultFileName), 0u) << "nothing of the verdict is left";
    } else {
      EXPECT_EQ(device.GoodRequests().size(), requests_before);
      EXPECT_FALSE(device.HasNvItem(130));
      EXPECT_NE(rec_.Log().find(c.line), std::string::npos) << rec_.Log();
    }
  }
}

TEST_F(DeviceRun, PreviousVerdictGoesFirstWhateverFailsAfter) {
  StartDevice();
  rec_.files[nvtool::kResultFileName] = "[WriteNVItem PASS]\r\n";
  rec_.unremovable.insert(nvtool::kLogFileName);  // the log cannot be created
  env_.open_stream = [](const std::string&, const char*) { return nullptr; };
  EXPECT_EQ(Run(0), 1);
  EXPECT_EQ(rec_.files.count(nvtool::kResultFileName), 0u);
}

TEST_F(DeviceRun, FlagsInFrontOfRepliesAreSkipped) {
  devicesim::VirtualDevice& device = StartDevice();
  // A lone flag, and the reply 20 ms later.
  write_hook_ = [&](Bytes* packet) {
    if (packet->at(0) != 0x26 && packet->at(0) != 0x27) return;
    device.SendRaw({0x7E});
    device.DelayResponses(1, 20);
  };
  rec_.list_text = "NV120:1,2\n";
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  EXPECT_EQ(device.NvItem(120)[1], 2);

  // Flags and reply in one write, for every exchange.
  write_hook_ = nullptr;
  device.NoiseBeforeResponses(1000, {0x7E, 0x7E});
  rec_.list_text = "NV121:3\n";
  EXPECT_EQ(Run(1), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  EXPECT_EQ(device.NvItem(121)[0], 3);
  EXPECT_EQ(RequestsOf(0x26), 2 + 2) << "each read answered at its first send";
  EXPECT_EQ(rec_.console.find("diag crc error"), std::string::npos);
}

}  // namespace
}  // namespace nvtest
