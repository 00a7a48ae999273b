#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "failing_stream.hpp"
#include "nvtool/nv_list.hpp"
#include "nvtool_harness.hpp"
#include "test_clock.hpp"

namespace {

class NvListTest : public ::testing::Test {
 protected:
  NvListTest()
      : env_(testsupport::MakeNvToolEnvironment(rec_, clock_, nullptr, nullptr)), out_(env_) {}

  bool Parse(const std::string& piece) { return nvtool::ParseNvLine(piece, out_, &entry_); }
  nvtool::NvValues Values(std::initializer_list<uint8_t> first) {
    nvtool::NvValues v{};
    std::copy(first.begin(), first.end(), v.begin());
    return v;
  }

  testsupport::NvToolRecorder rec_;
  testsupport::TestClock clock_;
  nvtool::Environment env_;
  nvtool::OutputChannels out_;
  nvtool::NvEntry entry_;
};

TEST_F(NvListTest, ExampleLineSetsThreeValuesAndZerosTheRest) {
  ASSERT_TRUE(Parse("NV453:1,2,ff<set by line 7\n"));
  EXPECT_EQ(entry_.tag, "NV453");
  EXPECT_EQ(entry_.item_id, 453);
  EXPECT_EQ(entry_.values, Values({0x01, 0x02, 0xFF}));
  EXPECT_EQ(rec_.console, "Setting NV item: 453\r\n");
}

TEST_F(NvListTest, TagLettersAndNumberRules) {
  EXPECT_TRUE(Parse("nv453:1\n"));
  EXPECT_EQ(entry_.item_id, 453);
  EXPECT_TRUE(Parse("nV7:1\n"));

  rec_.console.clear();
  EXPECT_FALSE(Parse(" NV453:1\n"));
  EXPECT_FALSE(Parse("XV453:1\n"));
  EXPECT_EQ(rec_.console, "") << "a line that is no NV tag is not echoed";

  EXPECT_FALSE(Parse("NV0:1\n"));
  EXPECT_FALSE(Parse("NVx:1\n"));
  EXPECT_EQ(rec_.console, "Setting NV item: 0\r\nSetting NV item: x\r\n");

  ASSERT_TRUE(Parse("NV65989:1\n"));
  EXPECT_EQ(entry_.item_id, 65989 & 0xFFFF);
  ASSERT_TRUE(Parse("NV-1:1\n"));
  EXPECT_EQ(entry_.item_id, 0xFFFF);
  ASSERT_TRUE(Parse("NV 12abc:1\n"));
  EXPECT_EQ(entry_.item_id, 12);
}

TEST_F(NvListTest, ValueConversion) {
  ASSERT_TRUE(Parse("NV10:1FF,0x7e,0XAB,zz,-1, 5,3q\n"));
  EXPECT_EQ(entry_.values, Values({0xFF, 0x7E, 0xAB, 0x00, 0xFF, 0x05, 0x03}));
  ASSERT_TRUE(Parse("NV10:,,1,,,2,\n"));
  EXPECT_EQ(entry_.values, Values({0x01, 0x02})) << "runs of commas are one separator";
  ASSERT_TRUE(Parse("NV10:123456789\n")) << "past 32 bits a value saturates";
  EXPECT_EQ(entry_.values[0], 0xFF);
  ASSERT_TRUE(Parse("NV10:100000000\n"));
  EXPECT_EQ(entry_.values[0], 0xFF);
}

TEST_F(NvListTest, CommentsAndColons) {
  ASSERT_TRUE(Parse("NV10:01,02<NV11:03\n"));
  EXPECT_EQ(entry_.item_id, 10);
  EXPECT_EQ(entry_.values, Values({1, 2}));
  ASSERT_TRUE(Parse("<<<NV12:04\n")) << "a leading run of '<' does not comment the line out";
  EXPECT_EQ(entry_.item_id, 12);
  ASSERT_TRUE(Parse("::NV13:05\n"));
  EXPECT_EQ(entry_.item_id, 13);
  EXPECT_FALSE(Parse("NV14\n")) << "no ':' carries no entry";
  EXPECT_FALSE(Parse("NV15:,,,<x\n")) << "only commas after the ':' carries no entry";
  EXPECT_TRUE(Parse("NV15:,,,\n")) << "a line end after the commas is a value";
  EXPECT_EQ(entry_.values, nvtool::NvValues{});
  EXPECT_FALSE(Parse("NV16:<1,2\n"));
  EXPECT_FALSE(Parse("\n"));
  EXPECT_FALSE(Parse("<comment only\n"));
}

TEST_F(NvListTest, EmptyValueAfterColonDependsOnTheLineEnd) {
  entry_.values.fill(0xAA);
  ASSERT_TRUE(Parse("NV5:\n"));
  EXPECT_EQ(entry_.values, nvtool::NvValues{});
  EXPECT_FALSE(Parse("NV5:")) << "the file's last characters, with no line end";
}

TEST_F(NvListTest, LongTagAndTooManyValuesStayInTheirBuffers) {
  const std::string digits = "1234567890123456789012345";
  ASSERT_TRUE(Parse("NV" + digits + ":1\n"));
  EXPECT_EQ(rec_.console, "Setting NV item: " + digits.substr(0, 19) + "\r\n");
  EXPECT_EQ(entry_.item_id, 0xFFFF) << "the 19 digits saturate";

  ASSERT_TRUE(Parse("NV20:1,2,3,4,5,6,7,8,9,a,b,c,d,e,f,10,11,12,13\n"));
  EXPECT_EQ(entry_.values, Values({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
}

std::FILE* Holding(const std::string& text) {
  std::FILE* file = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), file);
  std::rewind(file);
  return file;
}

TEST(NvListReaderTest, LinesComeWholeOnceEach) {
  using nvtool::ListRead;
  struct Case {
    const char* name;
    std::FILE* file;
    std::vector<std::string> lines;
    ListRead last;
  };
  const std::string long_line = "NV30:" + std::string(94, '1') + "NV31:2\n";
  const std::string longest(nvtool::kListLineMax - 1, 'a');
  const Case cases[] = {
      {"long line", Holding(long_line + "NV32:3"), {long_line, "NV32:3"}, ListRead::kEnd},
      {"mark only at the start",
       Holding("\xEF\xBB\xBFNV1:1\n\xEF\xBB\xBFNV2:2\n"),
       {"NV1:1\n", "\xEF\xBB\xBFNV2:2\n"},
       ListRead::kEnd},
      {"NUL is no text",
       Holding(std::string("NV4:0\nNV5:1\0NV6:2\nNV7:3\n", 24)),
       {"NV4:0\n"},
       ListRead::kNotText},
      {"every line end",
       Holding("NV1:1\rNV2:2\r\nNV3:3\n\rNV4:4"),
       {"NV1:1\r", "NV2:2\r\n", "NV3:3\n", "\r", "NV4:4"},
       ListRead::kEnd},
      {"CR LF across the longest line", Holding(longest + "\r\n"), {}, ListRead::kTooLong},
      {"longest line",
       Holding(longest + "\n" + longest + "bc"),
       {longest + "\n"},
       ListRead::kTooLong},
      {"error after a line",
       testsupport::StreamFailingAfter("NV1:1\nNV2:"),
       {"NV1:1\n"},
       ListRead::kError},
      {"folder", std::fopen(".", "r"), {}, ListRead::kError},
      {"UTF-16, little end first",
       Holding(std::string("\xFF\xFEN\0V\0001\0:\0001\0", 12)),
       {},
       ListRead::kNotText},
      {"UTF-16, big end first",
       Holding(std::string("\xFE\xFF\0N\0V\0001\0:\0001", 12)),
       {},
       ListRead::kNotText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.file, nullptr);
    nvtool::NvListReader reader(c.file);
    std::string line;
    for (const std::string& expected : c.lines) {
      ASSERT_EQ(reader.Next(&line), ListRead::kLine);
      EXPECT_EQ(line, expected);
    }
    EXPECT_EQ(reader.Next(&line), c.last);
    EXPECT_EQ(reader.line_number(), static_cast<int>(c.lines.size()) + 1);
    std::fclose(c.file);
  }
}

}  // namespace
