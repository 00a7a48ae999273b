#include <gtest/gtest.h>

#include <algorithm>

#include "fake_adapter.hpp"
#include "nvtool/run_sequence.hpp"
#include "nvtool/text_format.hpp"
#include "nvtool_harness.hpp"
#include "test_clock.hpp"

namespace {

using fake::Bytes;

class RunSequenceTest : public ::testing::Test {
 protected:
  RunSequenceTest()
      : env_(testsupport::MakeNvToolEnvironment(
            rec_, clock_, devices_,
            [this](platform::Clock& c) { return std::make_unique<fake::FakeComPort>(c, scripts_, log_); })) {
    devices_.com_devices = {{L"KVX Diagnostics Interface", L"KVX Diagnostics Interface (COM4)"}};
    scripts_[4].answer = [this](const Bytes& r) { return device_.Answer(r); };
    rec_.list_text = "NV10:1,2\n";
    rec_.files["KVX_WriteNVItem_result.txt"] = "old";
  }
  int Run(int arguments) { return nvtool::RunItemsmith(arguments, env_); }
  int Sent(uint8_t code, uint8_t second) const {
    return static_cast<int>(std::count_if(log_.requests.begin(), log_.requests.end(), [&](const Bytes& r) {
      return r.size() >= 2 && r[0] == code && r[1] == second;
    }));
  }

  testsupport::NvToolRecorder rec_;
  testsupport::TestClock clock_;
  fake::FakeDiscovery devices_;
  fake::AnsweringDevice device_;
  std::map<int, fake::PortScript> scripts_;
  fake::PortLog log_;
  nvtool::Environment env_;
};

TEST_F(RunSequenceTest, OneArgumentShowsTheWindowAndResets) {
  EXPECT_EQ(Run(1), 0);
  EXPECT_EQ(rec_.window_shown, (std::vector<bool>{false, true}));
  EXPECT_EQ(Sent(0x29, 0x02), 1);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  EXPECT_EQ(device_.items[10][0], 1);
  EXPECT_NE(rec_.Log().find("Reset phone ok \r\n\r\n"), std::string::npos);
  EXPECT_EQ(rec_.Log().find("KVX_WriteNVItem version: 20120831 \r\n\r\n"), 0u);
  EXPECT_EQ(std::count(rec_.removed.begin(), rec_.removed.end(), "KVX_WriteNVItem_result.txt"), 1);
}

TEST_F(RunSequenceTest, NoneOrSeveralArgumentsNeverReset) {
  for (int arguments : {0, 2, 3}) {
    log_.requests.clear();
    rec_.window_shown.clear();
    EXPECT_EQ(Run(arguments), 0);
    EXPECT_EQ(rec_.window_shown, std::vector<bool>{false});
    EXPECT_EQ(Sent(0x29, 0x02), 0);
    EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  }
}

TEST_F(RunSequenceTest, PortPresentAtStartSkipsTheEject) {
  EXPECT_EQ(Run(0), 0);
  const std::string& log = rec_.Log();
  EXPECT_EQ(log.find("EjectDisk"), std::string::npos);
  EXPECT_EQ(log.find("Normal Mode"), std::string::npos);
  EXPECT_EQ(devices_.log.cdrom_sets, 0);
  EXPECT_NE(log.find("search com port before eject disk ---\r\ncom port exist before eject disk _iComPort:4\r\n"
                     "\r\n---- Change to offline mode nRetry_now:0 ----\r\nChange to offline mode ok \r\n\r\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(clock_.Pauses().empty());
}

TEST_F(RunSequenceTest, TovikServerRunningTouchesNoDevice) {
  rec_.processes = {L"explorer.exe", L"TovikServer.exe"};
  EXPECT_EQ(Run(1), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem FAIL]\r\n");
  EXPECT_EQ(rec_.Log(), "KVX_WriteNVItem version: 20120831 \r\n\r\n[Error] TovikApplicationExist \r\n");
  EXPECT_TRUE(log_.opened.empty());

  for (const wchar_t* other : {L"tovikserver.exe", L"TovikServer.exe.bak", L"TovikServer"}) {
    rec_.processes = {other};
    EXPECT_FALSE(nvtool::TovikApplicationExist(env_)) << nvtool::Narrow(other);
  }
  rec_.processes = {L"TovikServer.exe"};
  rec_.process_snapshot = false;
  EXPECT_FALSE(nvtool::TovikApplicationExist(env_));
}

TEST_F(RunSequenceTest, MissingListFileExitsWithOneAndNoVerdict) {
  rec_.list_present = false;
  EXPECT_EQ(Run(1), nvtool::kExitListFileMissing);
  EXPECT_FALSE(rec_.HasResult());
  EXPECT_EQ(Sent(0x29, 0x01), 1) << "the device was switched offline first";
  EXPECT_EQ(Sent(0x29, 0x02), 0);
  const std::string& log = rec_.Log();
  const std::string tail = "Change to offline mode ok \r\n\r\n\r\nopen KVX_ntitem file fail...\n\r\n\r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST_F(RunSequenceTest, WithoutALogTheOldResultIsOnlyReplacedAtTheEnd) {
  rec_.log_creatable = false;
  EXPECT_EQ(Run(0), 0);
  EXPECT_TRUE(rec_.removed.empty());
  EXPECT_EQ(rec_.Result(), "[WriteNVItem PASS]\r\n");
  EXPECT_NE(rec_.console.find("Change to offline mode ok \r\n\r\n"), std::string::npos);
}

TEST_F(RunSequenceTest, FirstFailingItemEndsTheRun) {
  rec_.list_text = "NV10:1\nNV11:2\nNV12:3\n";
  scripts_[4].answer = [this](const Bytes& r) {
    if (r.size() == 133 && r[0] == 0x27 && r[1] == 11) return std::vector<Bytes>{};  // never stored
    return device_.Answer(r);
  };
  EXPECT_EQ(Run(1), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem FAIL]\r\n");
  EXPECT_EQ(device_.items.count(12), 0u);
  EXPECT_EQ(Sent(0x29, 0x02), 0);
  const std::string& log = rec_.Log();
  EXPECT_NE(log.find("SetNvItem_11 return false \r\nSetNvItem Fail \r\n\r\n---- Write NV items NV11 fail ----\r\n"
                     "\r\n\r\n"),
            std::string::npos);
}

TEST_F(RunSequenceTest, OfflineFailingSevenTimes) {
  scripts_[4].answer = [this](const Bytes& r) {
    if (r[0] == 0x29) return std::vector<Bytes>{fake::Frame(Bytes{0x29, 0x04, 0x00})};
    return device_.Answer(r);
  };
  EXPECT_EQ(Run(0), 0);
  EXPECT_EQ(rec_.Result(), "[WriteNVItem FAIL]\r\n");
  EXPECT_EQ(Sent(0x29, 0x01), 35);
  std::vector<uint32_t> long_pauses;
  for (uint32_t p : clock_.Pauses()) if (p > 1) long_pauses.push_back(p);
  EXPECT_EQ(long_pauses, std::vector<uint32_t>(7, 10000));
  EXPECT_NE(rec_.Log().find("---- Change to offline mode nRetry_now:6 ----\r\nChange to offline mode fail \r\n"
                            "\r\nsleep 10sec +++\r\nsleep 10sec ---\r\n"),
            std::string::npos);
}

}  // namespace
