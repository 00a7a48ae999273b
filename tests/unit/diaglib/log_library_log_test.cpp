// The library log: line format, category names and indents, masks, the callback record, the
// hex dump limits and the automatic start in the working folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/hex_dump.hpp"
#include "diaglib/log/library_log.hpp"
#include "diaglib/log/log_categories.hpp"
#include "log_capture.hpp"
#include "test_clock.hpp"

namespace transport_test {
namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Runs each test in a fresh working folder, as the log files live there.
class LogFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/diaglib_log_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    previous_ = cwd;
    ASSERT_EQ(chdir(folder_.c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(previous_.c_str()), 0);
    std::system(("rm -rf " + folder_).c_str());
  }
  bool Exists(const char* name) const { return access((folder_ + "/" + name).c_str(), F_OK) == 0; }
  std::vector<std::string> LogLines() const { return ReadLines(folder_ + "/VODE_Log.txt"); }

  testsupport::TestClock clock_;
  std::string folder_;
  std::string previous_;
};

TEST(LogCategories, NamesComeFromTheLowestSetBit) {
  EXPECT_STREQ(LogCategoryName(0), "LOG_IO");
  EXPECT_STREQ(LogCategoryName(0x0003), "LOG_IO");
  EXPECT_STREQ(LogCategoryName(0x0140), "LOG_FN_AHDLC");
  EXPECT_STREQ(LogCategoryName(LOG_C_HIGH_LEVEL_STOP), "LOG_C_HIGH_LEVEL_STOP");
  EXPECT_STREQ(LogCategoryName(0x8000), "LOG_NV_MANAGER_DEBUG");
  EXPECT_STREQ(LogCategoryName(0x10000), "INVALID LOG LEVEL");
  EXPECT_STREQ(LogCategoryName(0x80000000u), "LOG_IO");
}

TEST(LogLines, IndentMaskAndCallbackRecord) {
  testsupport::TestClock clock;
  DataLogFileHandler handler(clock);
  LogCapture capture(&handler, LOG_IO | LOG_INF_AHDLC | LOG_FN_DEV);
  WriteLog(&handler, 0x0003, "either bit %d", 1);
  WriteLog(&handler, LOG_FN, "masked out");
  WriteLog(&handler, LOG_INF_AHDLC, "Device received 0 bytes");
  WriteLog(&handler, LOG_FN_DEV, "dev");
  WriteLog(&handler, LOG_FN_DEV | LOG_IO, "combined");
  WriteLog(nullptr, LOG_IO, "no handler");
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"either bit 1", "  Device received 0 bytes",
                                                        "    dev", "combined"}));

  capture.Clear();
  handler.StopLog();  // new time base
  clock.Advance(1234);
  WriteLog(&handler, LOG_IO, "abc");
  ASSERT_EQ(capture.Records().size(), 1u);
  const std::vector<uint8_t> record = capture.Records()[0];
  ASSERT_EQ(record.size(), 1008u);
  EXPECT_EQ(record[0], 0x01);
  EXPECT_EQ(record[1], 0x00);
  EXPECT_EQ(record[2], 0x00);
  EXPECT_EQ(record[3], 0x00);
  EXPECT_EQ(capture.Lines()[0].milliseconds, 1234u);
  EXPECT_EQ(std::string(record.begin() + 8, record.begin() + 12), std::string("abc\0", 4));
  for (size_t i = 12; i < record.size(); ++i) ASSERT_EQ(record[i], 0) << i;
  EXPECT_EQ(capture.context_seen(), 77);

  capture.Clear();
  WriteLog(&handler, LOG_IO, "%s", std::string(1500, 'x').c_str());
  ASSERT_EQ(capture.Records().size(), 1u);
  EXPECT_EQ(capture.Lines()[0].text.size(), 999u);
  EXPECT_EQ(capture.Records()[0][8 + 999], 0);
}

TEST(LogHexDump, UpperCasePairsBoundedAt3967Bytes) {
  const uint8_t bytes[] = {0x00, 0x0A, 0xFF, 0x7e};
  EXPECT_STREQ(HexDump(bytes, 4).c_str(), "00 0A FF 7E ");
  EXPECT_STREQ(HexDump(bytes, 0).c_str(), "");
  EXPECT_STREQ(HexDump(bytes, -3).c_str(), "");
  std::vector<uint8_t> many(5000, 0xAB);
  EXPECT_EQ(std::string(HexDump(many.data(), 3967).c_str()).size(), 3967u * 3);
  EXPECT_EQ(std::string(HexDump(many.data(), 5000).c_str()).size(), 3967u * 3);

  testsupport::TestClock clock;
  DataLogFileHandler handler(clock);
  LogCapture capture(&handler, LOG_IO);
  WriteHexLog(&handler, LOG_IO, "SYNC REC (%d bytes): %s", many.data(), 5000);
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0].text.substr(0, 28), "SYNC REC (5000 bytes): AB AB");
}

TEST_F(LogFolderTest, WithoutTheTriggerNothingIsWrittenAnywhere) {
  LibraryLog log(clock_);
  int calls = 0;
  static int* counter;
  counter = &calls;
  log.SetTextLogCallBack([](int, const void*, int) { ++*counter; }, 1);
  EXPECT_FALSE(log.AutoStart());
  WriteLog(log.Handler(), LOG_ERR, "an error");
  log.StopLogging();
  EXPECT_FALSE(Exists("VODE_Log.txt"));
  EXPECT_EQ(calls, 0);
}

TEST_F(LogFolderTest, TheTriggerStartsTheFileWithItsHeaderAndStopEndsIt) {
  { std::ofstream("VODE_auto_start_log.txt") << "x"; }
  clock_.Advance(3600000 + 14 * 60000 + 7000 + 532 - 1000000);  // 01:14:07.532
  LibraryLog log(clock_);
  ASSERT_TRUE(log.AutoStart());
  EXPECT_TRUE(log.LoggingActive());
  EXPECT_EQ(log.LogFlags(), 0x421Fu);
  WriteLog(log.Handler(), 0x0003, "both");
  WriteLog(log.Handler(), LOG_INF_AHDLC, "not in the default mask");
  log.StopLogging();
  WriteLog(log.Handler(), LOG_ERR, "after the stop");

  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "14:07:532\t,LOG_FN,Start Log");
  EXPECT_EQ(lines[1].substr(9), "\t,LOG_FN,12/07/26, 01:14:07");
  EXPECT_EQ(lines[2].substr(9), "\t,LOG_FN,Enabled Log Flag Mask: 16927 (0x421F)");
  EXPECT_EQ(lines[3].substr(9), "\t,LOG_FN,Log file: VODE_Log.txt");
  EXPECT_EQ(lines[4].substr(9), "\t,LOG_IO,both");
  EXPECT_EQ(lines[5].substr(9), "\t,LOG_FN,VODE_StopLogging()");
  EXPECT_EQ(lines[6].substr(9), "\t,LOG_IO,Stop Log");
}

TEST_F(LogFolderTest, SetLogFlagsAloneFeedsTheCallbackButNoFile) {
  LibraryLog log(clock_);
  LogCapture capture(log.Handler(), 0);
  log.SetLogFlags(LOG_ERR);
  EXPECT_EQ(log.Handler()->Mask(), LOG_ERR);
  WriteLog(log.Handler(), LOG_ERR, "kept");
  WriteLog(log.Handler(), LOG_FN, "dropped");
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"kept"}));
  EXPECT_FALSE(Exists("VODE_Log.txt"));
}

}  // namespace
}  // namespace transport_test
