#include <gtest/gtest.h>

#include <algorithm>

#include "fake_adapter.hpp"
#include "nvtool/diag_link.hpp"
#include "nvtool/nv_item.hpp"
#include "nvtool_harness.hpp"
#include "test_clock.hpp"

namespace {

using fake::Bytes;
using fake::Frame;

class DiagLinkTest : public ::testing::Test {
 protected:
  DiagLinkTest()
      : env_(testsupport::MakeNvToolEnvironment(
            rec_, clock_, discovery_,
            [this](platform::Clock& c) { return std::make_unique<fake::FakeComPort>(c, scripts_, log_); })),
        out_(env_),
        link_(clock_, env_.make_com_port, out_) {}

  void OpenAnswering(std::function<std::vector<Bytes>(const Bytes&)> answer) {
    scripts_[3].answer = std::move(answer);
    ASSERT_EQ(link_.OpenComPort(3), 0u);
  }
  int Count(const std::string& call) const { return static_cast<int>(std::count(log_.calls.begin(), log_.calls.end(), call)); }

  testsupport::NvToolRecorder rec_;
  testsupport::TestClock clock_;
  fake::FakeDiscovery discovery_;
  std::map<int, fake::PortScript> scripts_;
  fake::PortLog log_;
  nvtool::Environment env_;
  nvtool::OutputChannels out_;
  nvtool::DiagLink link_;
};

TEST_F(DiagLinkTest, OpenConfiguresThePortExactly) {
  scripts_[4] = {};
  ASSERT_EQ(link_.OpenComPort(4), 0u);
  EXPECT_EQ(log_.opened, std::vector<int>{4});
  EXPECT_EQ(log_.calls, (std::vector<std::string>{"Setup 4096 4096", "GetProperties 64", "SETRTS", "CLRDTR", "Purge 12"}));
  EXPECT_EQ(log_.timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(log_.timeouts.ReadTotalTimeoutMultiplier, 0xFFFFFFFFu);
  EXPECT_EQ(log_.timeouts.ReadTotalTimeoutConstant, 500u);
  EXPECT_EQ(log_.timeouts.WriteTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(log_.timeouts.WriteTotalTimeoutConstant, 50u);
  const platform::LineSettings& s = log_.line;
  EXPECT_EQ(s.BaudRate, 115200u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, platform::kNoParity);
  EXPECT_EQ(s.StopBits, platform::kOneStopBit);
  EXPECT_TRUE(s.fBinary);
  EXPECT_FALSE(s.fParity || s.fOutxCtsFlow || s.fOutxDsrFlow || s.fDsrSensitivity || s.fTXContinueOnXoff ||
               s.fOutX || s.fInX || s.fErrorChar || s.fNull || s.fAbortOnError);
  EXPECT_EQ(s.fDtrControl, platform::kDtrControlEnable);
  EXPECT_EQ(s.fRtsControl, platform::kRtsControlEnable);
  EXPECT_EQ(s.XonLim + s.XoffLim, 0);
  EXPECT_EQ(s.XonChar | s.XoffChar | s.ErrorChar | s.EofChar, 0);
  EXPECT_EQ(static_cast<uint8_t>(s.EvtChar), 0x7E);
}

TEST_F(DiagLinkTest, OpenFailuresLeaveNoPortOpen) {
  scripts_[4] = {};
  ASSERT_EQ(link_.OpenComPort(4), 0u);
  EXPECT_EQ(link_.OpenComPort(9), platform::kErrorFileNotFound);
  EXPECT_EQ(Count("Close"), 1) << "the open port is closed before the next open";
  EXPECT_FALSE(link_.IsOpen());

  scripts_[5].open_error = platform::kErrorAccessDenied;
  EXPECT_EQ(link_.OpenComPort(5), platform::kErrorAccessDenied);
  scripts_[6].capabilities = 0;
  EXPECT_NE(link_.OpenComPort(6), 0u);
  EXPECT_FALSE(link_.IsOpen());
  EXPECT_FALSE(link_.SendDiagFrame(Bytes{0}.data(), 1));
}

TEST_F(DiagLinkTest, FramesOnTheWire) {
  OpenAnswering(nullptr);
  ASSERT_TRUE(link_.SendDiagFrame(Bytes{0x00}.data(), 1));
  ASSERT_TRUE(link_.SendDiagFrame(Bytes{0x29, 0x01, 0x00}.data(), 3));
  ASSERT_TRUE(link_.SendDiagFrame(Bytes{0x29, 0x02, 0x00}.data(), 3));
  ASSERT_TRUE(link_.SendDiagFrame(Bytes{0x7E, 0x7D}.data(), 2));
  ASSERT_EQ(log_.frames.size(), 4u);
  EXPECT_EQ(log_.frames[0], (Bytes{0x00, 0x78, 0xF0, 0x7E}));
  EXPECT_EQ(log_.frames[1], (Bytes{0x29, 0x01, 0x00, 0x31, 0x40, 0x7E}));
  EXPECT_EQ(log_.frames[2], (Bytes{0x29, 0x02, 0x00, 0x59, 0x6A, 0x7E}));
  EXPECT_EQ(Bytes(log_.frames[3].begin(), log_.frames[3].begin() + 4), (Bytes{0x7D, 0x5E, 0x7D, 0x5D}));
}

TEST_F(DiagLinkTest, ReplySplitInTwoReadsIsOneReply) {
  const Bytes reply = Frame(Bytes(55, 0x41));
  OpenAnswering([&](const Bytes&) {
    return std::vector<Bytes>{Bytes(reply.begin(), reply.begin() + 20), Bytes(reply.begin() + 20, reply.end())};
  });
  EXPECT_TRUE(link_.DiagVersionRequest());
  EXPECT_EQ(rec_.console, "\n [Diag] Version Request ok\n");
  EXPECT_EQ(log_.reads, 2);
}

TEST_F(DiagLinkTest, AnAttemptEndsAfterItsTimeWithoutTheClosingFlag) {
  const Bytes reply = Frame(Bytes{0x29, 0x01, 0x00});
  OpenAnswering([&](const Bytes&) {
    // One piece, nothing more within the attempt: the next attempt finds the rest.
    return std::vector<Bytes>{Bytes(reply.begin(), reply.begin() + 2)};
  });
  uint8_t buffer[2048];
  size_t length = 0;
  const uint64_t start = clock_.NowMs();
  ASSERT_TRUE(link_.SendDiagFrame(Bytes{0x29, 0x01, 0x00}.data(), 3));
  EXPECT_FALSE(link_.ReceiveDiagFrame(buffer, sizeof buffer, &length));
  EXPECT_EQ(rec_.console, "\n diag crc error");
  EXPECT_LE(clock_.NowMs() - start, 1000u);
}

TEST_F(DiagLinkTest, FramingFaultsFailTheAttempt) {
  const Bytes good = Frame(Bytes{0x29, 0x01, 0x00});
  Bytes leading_flag = good;
  leading_flag.insert(leading_flag.begin(), 0x7E);
  Bytes bad_crc = good;
  bad_crc[3] ^= 0x01;
  Bytes two_replies = good;
  two_replies.insert(two_replies.end(), good.begin(), good.end());
  for (const Bytes& wire : {leading_flag, bad_crc, two_replies}) {
    rec_.console.clear();
    OpenAnswering([&](const Bytes&) { return std::vector<Bytes>{wire}; });
    uint8_t reply[3] = {};
    EXPECT_FALSE(link_.DiagTransact(Bytes{0x29, 0x01, 0x00}.data(), 3, reply, 3, 3));
    EXPECT_EQ(rec_.console, "\n diag crc error");
  }
  // A leading flag that arrives alone is still part of the reply.
  rec_.console.clear();
  OpenAnswering([&](const Bytes&) { return std::vector<Bytes>{Bytes{0x7E}, good}; });
  uint8_t reply[3] = {};
  EXPECT_FALSE(link_.DiagTransact(Bytes{0x29, 0x01, 0x00}.data(), 3, reply, 3, 1));
  EXPECT_EQ(rec_.console, "\n diag crc error");
}

TEST_F(DiagLinkTest, LongestReplyIsABound) {
  OpenAnswering([&](const Bytes&) { return std::vector<Bytes>{Frame(Bytes(55, 1)), Frame(Bytes(56, 1))}; });
  uint8_t reply[56] = {};
  size_t length = 0;
  EXPECT_TRUE(link_.DiagTransact(Bytes{0}.data(), 1, reply, 55, 50, &length));
  EXPECT_EQ(length, 55u);

  OpenAnswering([&](const Bytes&) { return std::vector<Bytes>{Frame(Bytes(56, 1)), Frame(Bytes(55, 1))}; });
  const int reads_before = log_.reads;
  EXPECT_FALSE(link_.DiagVersionRequest());
  EXPECT_EQ(log_.reads - reads_before, 1) << "an over-long reply ends the exchange at its first read";
}

TEST_F(DiagLinkTest, SilentDeviceCostsTheReadAttemptsOnly) {
  OpenAnswering(nullptr);
  EXPECT_FALSE(link_.DiagVersionRequest());
  EXPECT_EQ(log_.reads, 50);
  EXPECT_EQ(clock_.Pauses(), std::vector<uint32_t>(50, 1));
  EXPECT_EQ(log_.requests.size(), 1u) << "the exchange never sends again";
  EXPECT_EQ(rec_.console, "\n [Diag] Version Request fail\n");
}

TEST_F(DiagLinkTest, ModeChangeResendsUntilTheModeIsEchoed) {
  int sends = 0;
  OpenAnswering([&](const Bytes& request) {
    ++sends;
    if (sends == 1) return std::vector<Bytes>{Frame(Bytes{0x29, 0x02, 0x00})};  // another mode
    if (sends == 2) return std::vector<Bytes>{Frame(Bytes{0x13, 0x01, 0x00})};  // another code
    if (sends == 3) return std::vector<Bytes>{Frame(Bytes{0x29})};              // too short to tell
    return std::vector<Bytes>{Frame(request)};
  });
  EXPECT_TRUE(link_.ChangePhoneMode(1));
  EXPECT_EQ(sends, 4);

  sends = 0;
  OpenAnswering([&](const Bytes&) {
    ++sends;
    return std::vector<Bytes>{Frame(Bytes{0x29, 0x05, 0x00})};
  });
  EXPECT_FALSE(link_.ChangePhoneMode(1));
  EXPECT_EQ(sends, 5);
}

// SetNvItem against replies no device would give in order: the phases that lack an accepted
// reply must not write or pass.
class SetNvItemTest : public DiagLinkTest {
 protected:
  nvtool::NvValues values_{{0x01, 0x02, 0x03}};
  int Writes() const {
    return static_cast<int>(std::count_if(log_.requests.begin(), log_.requests.end(),
                                          [](const Bytes& r) { return !r.empty() && r[0] == 0x27; }));
  }
};

TEST_F(SetNvItemTest, NoAcceptedReadMeansNoWrite) {
  OpenAnswering([](const Bytes& request) {
    Bytes reply = request;
    reply[1] ^= 0x01;  // another item id
    return std::vector<Bytes>{Frame(reply)};
  });
  nvtool::NvValues zeros{};
  EXPECT_FALSE(nvtool::SetNvItem(link_, out_, 453, zeros));
  EXPECT_EQ(Writes(), 0);
  EXPECT_EQ(log_.requests.size(), 2u);
}

TEST_F(SetNvItemTest, MessagesOfAFailedReadPhase) {
  ASSERT_TRUE(out_.OpenLog("KVX_WriteNVItem_log.txt"));
  OpenAnswering([](const Bytes&) { return std::vector<Bytes>{}; });
  EXPECT_FALSE(nvtool::SetNvItem(link_, out_, 453, values_));
  EXPECT_EQ(rec_.Log(), "SetNvItem 453 +++\r\nSetNvItem_453 return false \r\n");
  EXPECT_EQ(Writes(), 0);
}

TEST_F(SetNvItemTest, VerifyNeedsAnAcceptedReplyHoldingTheValues) {
  ASSERT_TRUE(out_.OpenLog("KVX_WriteNVItem_log.txt"));
  int reads = 0;
  OpenAnswering([&](const Bytes& request) {
    if (request[0] == 0x27) return std::vector<Bytes>{Frame(request)};
    if (++reads == 1) return std::vector<Bytes>{Frame(request)};  // the item, all zeros
    return std::vector<Bytes>{};                                  // the read-back never comes
  });
  EXPECT_FALSE(nvtool::SetNvItem(link_, out_, 7, values_));
  EXPECT_EQ(Writes(), 1);
  const std::string& log = rec_.Log();
  EXPECT_NE(log.find("NV7 is written success \r\nSetNvItem_7 return false \r\n"), std::string::npos) << log;
}

TEST_F(SetNvItemTest, ShortReadReplyIsNotTheItem) {
  OpenAnswering([](const Bytes& request) { return std::vector<Bytes>{Frame(Bytes(request.begin(), request.begin() + 20))}; });
  EXPECT_FALSE(nvtool::SetNvItem(link_, out_, 9, values_));
  EXPECT_EQ(Writes(), 0);
}

}  // namespace
