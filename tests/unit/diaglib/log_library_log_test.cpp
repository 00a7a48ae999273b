// The library log: line format, category names and indents, masks, the callback record, the
// hex dump limits and the automatic start in the working folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "diaglib/log/hex_dump.hpp"
#include "diaglib/log/library_log.hpp"
#include "log_capture.hpp"
#include "test_clock.hpp"

using namespace diaglib;  // the library's own classes under test

namespace transport_test {
namespace {

TEST(LogLines, CategoryNamesIndentsAndMasks) {
  EXPECT_STREQ(LogCategoryName(0), "LOG_IO");
  EXPECT_STREQ(LogCategoryName(0x0140), "LOG_FN_AHDLC");
  EXPECT_STREQ(LogCategoryName(0x8000), "LOG_NV_MANAGER_DEBUG");
  EXPECT_STREQ(LogCategoryName(0x10000), "INVALID LOG LEVEL");

  testsupport::TestClock clock;
  DataLogFileHandler handler(clock);
  LogCapture capture(&handler, LOG_IO | LOG_INF_AHDLC | LOG_FN_DEV);
  WriteLog(&handler, 0x0003, "either bit %d", 1);
  WriteLog(&handler, LOG_FN, "masked out");
  WriteLog(&handler, LOG_INF_AHDLC, "Device received 0 bytes");
  WriteLog(&handler, LOG_FN_DEV, "dev");
  WriteLog(&handler, LOG_FN_DEV | LOG_IO, "combined");
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"either bit 1", "  Device received 0 bytes",
                                                       "    dev", "combined"}));
}

TEST(LogLines, CallbackRecordLayout) {
  testsupport::TestClock clock;
  DataLogFileHandler handler(clock);
  LogCapture capture(&handler);
  handler.StopLog();  // a new time base
  clock.Advance(0x10203);
  WriteLog(&handler, 0x00010003, "abc");
  WriteLog(&handler, LOG_IO, "%s", std::string(1500, 'x').c_str());
  const std::vector<std::vector<uint8_t>> records = capture.Records();
  ASSERT_EQ(records.size(), 2u);
  ASSERT_EQ(records[0].size(), 1008u);
  EXPECT_EQ(
      std::vector<uint8_t>(records[0].begin(), records[0].begin() + 13),
      (std::vector<uint8_t>{0x03, 0x00, 0x00, 0x00, 0x03, 0x02, 0x01, 0x00, 'a', 'b', 'c', 0, 0}));
  EXPECT_EQ(std::count(records[0].begin() + 11, records[0].end(), 0), 1008 - 11);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(records[1].data() + 8)).size(), 999u);
}

TEST(LogLines, HexDumpIsUpperCasePairsBoundedAt3967Bytes) {
  const uint8_t bytes[] = {0x00, 0x0A, 0xFF, 0x7e};
  EXPECT_STREQ(HexDump(bytes, 4).c_str(), "00 0A FF 7E ");
  EXPECT_STREQ(HexDump(bytes, -3).c_str(), "");
  std::vector<uint8_t> many(5000, 0xAB);
  EXPECT_EQ(std::string(HexDump(many.data(), 5000).c_str()).size(), 3967u * 3);

  testsupport::TestClock clock;
  DataLogFileHandler handler(clock);
  LogCapture capture(&handler, LOG_IO);
  WriteHexLog(&handler, LOG_IO, "SYNC REC (%d bytes): %s", many.data(), 5000);
  EXPECT_TRUE(capture.HasPrefix("SYNC REC (5000 bytes): AB AB "));
}

// Each case runs in a fresh working folder, as the log files live there.
class LogFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/diaglib_log_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(folder_);
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(folder_);
  }

  testsupport::TestClock clock_;
  std::filesystem::path folder_, previous_;
};

TEST_F(LogFolderTest, WithoutTheTriggerNothingIsWrittenAnywhere) {
  LibraryLog log(clock_);
  static int calls;
  calls = 0;
  log.SetTextLogCallBack([](int, const void*, int) { ++calls; }, 1);
  EXPECT_FALSE(log.AutoStart());
  WriteLog(log.Handler(), LOG_ERR, "an error");
  log.StopLogging();
  EXPECT_FALSE(std::filesystem::exists("VODE_Log.txt"));
  EXPECT_EQ(calls, 0);
}

TEST_F(LogFolderTest, TheTriggerStartsTheFileWithItsHeaderAndStopEndsIt) {
  std::ofstream("VODE_auto_start_log.txt") << "x";
  clock_.Advance(3600000 + 14 * 60000 + 7000 + 532 - 1000000);  // 01:14:07.532
  LibraryLog log(clock_);
  ASSERT_TRUE(log.AutoStart());
  EXPECT_TRUE(log.LoggingActive());
  WriteLog(log.Handler(), 0x0003, "both");
  WriteLog(log.Handler(), LOG_INF_AHDLC, "not in the default mask");
  log.StopLogging();
  WriteLog(log.Handler(), LOG_ERR, "after the stop");

  std::ifstream in("VODE_Log.txt");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const std::string stamp = "14:07:532\t";
  EXPECT_EQ(lines, (std::vector<std::string>{
                       stamp + ",LOG_FN,Start Log", stamp + ",LOG_FN,12/07/26, 01:14:07",
                       stamp + ",LOG_FN,Enabled Log Flag Mask: 16927 (0x421F)",
                       stamp + ",LOG_FN,Log file: VODE_Log.txt", stamp + ",LOG_IO,both",
                       stamp + ",LOG_FN,VODE_StopLogging()", stamp + ",LOG_IO,Stop Log"}));
}

}  // namespace
}  // namespace transport_test
