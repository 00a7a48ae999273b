// The DIAG link against a port whose every read is scripted: the settings it opens with and
// the frame rules, which the virtual device never breaks on its own.
#include <gtest/gtest.h>

#include <deque>

#include "common/device_names.hpp"
#include "common/diag_frame.hpp"
#include "nvtool/diag_link.hpp"
#include "nvtool/discovery.hpp"
#include "nvtool_harness.hpp"
#include "test_clock.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(const Bytes& packet) {
  Bytes out(packet.size() * 2 + 8);
  out.resize(common::EncodeFrame(packet.data(), packet.size(), out.data(), out.size()));
  return out;
}

// Each written frame queues the chunks `answer` gives; each Read hands out one chunk, or
// waits out the read time-out in test time when none is left.
struct ScriptedPort final : platform::ComPort {
  ScriptedPort(platform::Clock& c, ScriptedPort** seen) : clock(c) { *seen = this; }
  uint32_t Open(int n, platform::IoMode) override {
    return n == 3 ? (open = true, 0u) : platform::kErrorFileNotFound;
  }
  void Close() override { open = false; }
  bool IsOpen() const override { return open; }
  bool Setup(uint32_t in, uint32_t out) override { return queues = in + out, true; }
  bool GetProperties(platform::CommProperties* p) override {
    packet_length = p->wPacketLength;
    p->dwProvCapabilities = capabilities;
    return true;
  }
  bool GetTimeouts(platform::CommTimeouts*) override { return true; }
  bool SetTimeouts(const platform::CommTimeouts& t) override {
    read_constants.push_back(t.ReadTotalTimeoutConstant);
    return timeouts = t, true;
  }
  bool GetState(platform::LineSettings* s) override {
    s->BaudRate = 9600, s->fOutX = s->fInX = s->fOutxCtsFlow = true, s->XonChar = 0x11,
    s->XonLim = 9;
    return true;
  }
  bool SetState(const platform::LineSettings& s) override { return line = s, true; }
  bool Escape(platform::CommFunction f) override { return escapes.push_back(f), true; }
  bool Purge(uint32_t) override { return pending.clear(), true; }
  bool Read(uint8_t* buffer, uint32_t, uint32_t* got) override {
    ++reads;
    *got = 0;
    if (pending.empty())
      return clock.Wait(timeouts.ReadTotalTimeoutConstant, [](uint32_t) { return false; }), true;
    std::copy(pending.front().begin(), pending.front().end(), buffer);
    *got = static_cast<uint32_t>(pending.front().size());
    pending.pop_front();
    if (read_delay_ms) clock.Pause(read_delay_ms);  // a slow line: the bytes took this long
    return true;
  }
  bool Write(const uint8_t* b, uint32_t n, uint32_t* written) override {
    frames.emplace_back(b, b + n);
    for (Bytes& chunk : answer()) pending.push_back(chunk);
    return *written = n, true;
  }
  bool QueueStatus(uint32_t*, uint32_t*) override { return false; }
  bool WaitReadable(uint32_t) override { return false; }
  bool WaitReadableOrWoken() override { return false; }
  void Wake() override {}
  uint32_t LastError() const override { return 0; }

  platform::Clock& clock;
  bool open = false;
  uint32_t capabilities = platform::kPcfIntTimeouts, queues = 0;
  uint16_t packet_length = 0;
  platform::CommTimeouts timeouts;
  std::vector<uint32_t> read_constants;
  platform::LineSettings line;
  std::vector<platform::CommFunction> escapes;
  std::function<std::vector<Bytes>()> answer = [] { return std::vector<Bytes>{}; };
  std::deque<Bytes> pending;
  std::vector<Bytes> frames;
  int reads = 0;
  uint32_t read_delay_ms = 0;
};

class DiagLinkTest : public ::testing::Test {
 protected:
  DiagLinkTest()
      : env_(testsupport::MakeNvToolEnvironment(
            rec_, clock_, nullptr,
            [this](platform::Clock& c) { return std::make_unique<ScriptedPort>(c, &port_); })),
        out_(env_),
        link_(clock_, env_.make_com_port, out_) {
    EXPECT_EQ(link_.OpenComPort(3), 0u);
  }
  void Answer(std::vector<Bytes> chunks) {
    port_->answer = [chunks] { return chunks; };
  }
  bool Transact(size_t longest = 3, int attempts = 3) {
    uint8_t reply[64];
    return link_.DiagTransact(Bytes{0x29, 0x01, 0x00}.data(), 3, reply, longest, attempts);
  }

  testsupport::NvToolRecorder rec_;
  testsupport::TestClock clock_;
  ScriptedPort* port_ = nullptr;
  nvtool::Environment env_;
  nvtool::OutputChannels out_;
  nvtool::DiagLink link_;
};

TEST_F(DiagLinkTest, OpensWithTheLinkSettings) {
  EXPECT_EQ(port_->queues, 8192u);
  EXPECT_EQ(port_->packet_length, 64);
  const platform::CommTimeouts& t = port_->timeouts;
  EXPECT_EQ(std::vector<uint32_t>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                   t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                   t.WriteTotalTimeoutConstant}),
            std::vector<uint32_t>({0xFFFFFFFFu, 0xFFFFFFFFu, 500, 1, 50}));
  const platform::LineSettings& s = port_->line;
  EXPECT_EQ(s.BaudRate, 115200u);
  EXPECT_TRUE(s.fBinary);
  EXPECT_FALSE(s.fOutX || s.fInX || s.fOutxCtsFlow);
  EXPECT_EQ(s.XonChar + s.XonLim, 0);
  EXPECT_EQ(s.fDtrControl, platform::kDtrControlEnable);
  EXPECT_EQ(s.fRtsControl, platform::kRtsControlEnable);
  EXPECT_EQ(static_cast<uint8_t>(s.EvtChar), 0x7E);
  EXPECT_EQ(port_->escapes, (std::vector<platform::CommFunction>{platform::CommFunction::kSetRts,
                                                                 platform::CommFunction::kClrDtr}));

  EXPECT_EQ(link_.OpenComPort(4), platform::kErrorFileNotFound);
  EXPECT_FALSE(link_.IsOpen());
  env_.make_com_port = [this](platform::Clock& c) {
    auto port = std::make_unique<ScriptedPort>(c, &port_);
    port->capabilities = 0;
    return port;
  };
  nvtool::DiagLink without_interval_timeouts(clock_, env_.make_com_port, out_);
  EXPECT_NE(without_interval_timeouts.OpenComPort(3), 0u);
  EXPECT_FALSE(without_interval_timeouts.IsOpen());
}

TEST_F(DiagLinkTest, FramesOnTheWire) {
  for (const Bytes& packet :
       {Bytes{0x00}, Bytes{0x29, 0x01, 0x00}, Bytes{0x29, 0x02, 0x00}, Bytes{0x7E, 0x7D}}) {
    ASSERT_TRUE(link_.SendDiagFrame(packet.data(), packet.size()));
  }
  EXPECT_EQ(port_->frames[0], (Bytes{0x00, 0x78, 0xF0, 0x7E}));
  EXPECT_EQ(port_->frames[1], (Bytes{0x29, 0x01, 0x00, 0x31, 0x40, 0x7E}));
  EXPECT_EQ(port_->frames[2], (Bytes{0x29, 0x02, 0x00, 0x59, 0x6A, 0x7E}));
  EXPECT_EQ(Bytes(port_->frames[3].begin(), port_->frames[3].begin() + 4),
            (Bytes{0x7D, 0x5E, 0x7D, 0x5D}));
}

TEST_F(DiagLinkTest, ReplyInPiecesWithinOneAttempt) {
  const Bytes reply = Frame(Bytes{0x29, 0x01, 0x00});
  Answer({Bytes(reply.begin(), reply.begin() + 2), Bytes(reply.begin() + 2, reply.end())});
  EXPECT_TRUE(Transact(3, 1));
  EXPECT_EQ(port_->reads, 2);

  // The rest never comes: the attempt ends after its 500 ms with what it has.
  Answer({Bytes(reply.begin(), reply.begin() + 2)});
  port_->read_delay_ms = 200;
  port_->read_constants.clear();
  const uint64_t start = clock_.NowMs();
  EXPECT_FALSE(Transact(3, 1));
  EXPECT_EQ(rec_.console, "\n diag crc error");
  EXPECT_EQ(clock_.NowMs() - start, 500u + 1u) << "the attempt, then the 1 ms before the next";
  EXPECT_EQ(port_->read_constants, (std::vector<uint32_t>{300, 500}))
      << "the wait for the rest, then the link's own";
}

TEST_F(DiagLinkTest, FlagsBeforeTheReplyAreSkipped) {
  const Bytes good = Frame(Bytes{0x29, 0x01, 0x00});
  Bytes flagged = good;
  flagged.insert(flagged.begin(), {0x7E, 0x7E});
  for (const std::vector<Bytes>& wire : std::vector<std::vector<Bytes>>{
           {flagged}, {Bytes{0x7E}, good}, {Bytes{0x7E}, Bytes{0x7E}, flagged}}) {
    Answer(wire);
    EXPECT_TRUE(Transact(3, 1)) << wire.size();
  }
  // Flags alone are no reply, and no damaged one either.
  Answer({Bytes{0x7E, 0x7E}});
  EXPECT_FALSE(Transact(3, 1));
  EXPECT_EQ(rec_.console, "");
}

TEST_F(DiagLinkTest, FramingFaultsFailTheirAttempt) {
  const Bytes good = Frame(Bytes{0x29, 0x01, 0x00});
  Bytes bad_crc = good;
  bad_crc[3] ^= 0x01;
  Answer({bad_crc});
  EXPECT_FALSE(Transact(3, 1));
  EXPECT_EQ(rec_.console, "\n diag crc error");
  Answer({bad_crc, good});
  EXPECT_TRUE(Transact(3, 1)) << "the attempt reads on past a damaged frame";
}

// A device with logging on: log and event packets, late answers to other requests and damaged
// frames around the reply, in the read that brings it or in reads of their own. Each frame is
// judged alone; only the one that answers is taken.
TEST_F(DiagLinkTest, TheReplyIsTakenOutOfAReadOfSeveralFrames) {
  const uint8_t request[3] = {0x26, 0x34, 0x12};  // NV read of item 0x1234
  const Bytes reply = Frame(Bytes{0x26, 0x34, 0x12, 0xAB});
  const Bytes log = Frame(Bytes{0x10, 0x00, 0x04, 0x00, 1, 2, 3, 4});
  const Bytes other_item = Frame(Bytes{0x26, 0x35, 0x12, 0xCD});
  const Bytes event = Frame(Bytes{0x60, 0x02, 0x00, 9, 9});
  Bytes damaged = log;
  damaged[2] ^= 0x40;
  auto join = [](std::vector<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  struct Case {
    const char* name;
    std::vector<Bytes> wire;
    bool damaged;
  };
  const std::vector<Case> cases = {
      {"log packet in the same read", {join({log, reply})}, false},
      {"log packet in a read of its own", {log, reply}, false},
      {"another item's answer, an event and a damaged frame first",
       {join({other_item, event}), join({damaged, reply})},
       true},
      {"reply split after a log packet",
       {join({log, Bytes(reply.begin(), reply.begin() + 3)}),
        Bytes(reply.begin() + 3, reply.end())},
       false},
  };
  for (const Case& c : cases) {
    rec_.console.clear();
    Answer(c.wire);
    uint8_t got[64] = {};
    size_t length = 0;
    ASSERT_TRUE(link_.DiagTransact(request, sizeof request, got, sizeof got, 1, &length,
                                   nvtool::AnswersRequest(request, 3)))
        << c.name;
    EXPECT_EQ(Bytes(got, got + length), (Bytes{0x26, 0x34, 0x12, 0xAB})) << c.name;
    EXPECT_NE(rec_.console.find("dropped, not the reply"), std::string::npos) << c.name;
    EXPECT_EQ(rec_.console.find("\n diag crc error") != std::string::npos, c.damaged) << c.name;
  }

  // Only frames that do not answer: the attempt ends with its time, not at the first read.
  Answer({log, join({other_item, log})});
  const uint64_t start = clock_.NowMs();
  uint8_t got[64];
  EXPECT_FALSE(link_.DiagTransact(request, sizeof request, got, sizeof got, 1, nullptr,
                                  nvtool::AnswersRequest(request, 3)));
  EXPECT_EQ(clock_.NowMs() - start, 500u + 1u) << "the attempt's time, then the 1 ms pause";
}

TEST_F(DiagLinkTest, LongestReplyAndAttempts) {
  Bytes version(55, 1), too_long(56, 1);
  version[0] = too_long[0] = 0x00;
  Answer({Frame(version)});
  EXPECT_TRUE(link_.DiagVersionRequest());
  Answer({Frame(too_long), Frame(version)});
  const int reads = port_->reads;
  EXPECT_FALSE(link_.DiagVersionRequest());
  EXPECT_EQ(port_->reads - reads, 1) << "an over-long reply ends the exchange at once";
  EXPECT_EQ(rec_.console, "\n [Diag] Version Request ok\n\n [Diag] Version Request fail\n");

  Answer({});
  clock_.ClearPauses();
  EXPECT_FALSE(link_.ChangePhoneMode(1));
  EXPECT_EQ(port_->frames.size(), 2u + 5u) << "five sends, never more";
  EXPECT_EQ(clock_.Pauses(), std::vector<uint32_t>(500, 1));

  int sends = 0;
  port_->answer = [&] {
    ++sends;
    return std::vector<Bytes>{Frame(sends == 1   ? Bytes{0x29, 0x02, 0x00}
                                    : sends == 2 ? Bytes{0x29}
                                                 : Bytes{0x29, 0x01, 0x00})};
  };
  EXPECT_TRUE(link_.ChangePhoneMode(1));
  EXPECT_EQ(sends, 3) << "another mode, and a reply too short to tell, are refused";
}

TEST(DiscoveryNames, DescriptionsAndFriendlyNames) {
  EXPECT_TRUE(common::DescriptionNamesDiagPort(L"Modem USB Download port"));
  EXPECT_FALSE(common::DescriptionNamesDiagPort(L"KVX diagnostics"));
  EXPECT_EQ(nvtool::PortNumberFromFriendlyName(L"KVX Diagnostics Interface (COM12)"), 12);
  EXPECT_EQ(nvtool::PortNumberFromFriendlyName(L"(COM12)"), 0);
  EXPECT_EQ(nvtool::PortNumberFromFriendlyName(L"Diag (a) (COM3)"), 0);
  EXPECT_EQ(nvtool::PortNumberFromFriendlyName(L"7 Diag (COM12) x"), 7);
}

TEST(DiscoveryNames, DescriptorStringsStayInsideTheReturnedBytes) {
  std::vector<uint8_t> d(512, 0);
  d[12] = 40, d[16] = 60;
  const std::string vendor(200, 'V');
  std::copy(vendor.begin(), vendor.begin() + 19, d.begin() + 40);
  EXPECT_EQ(nvtool::DescriptorString(d, 512, 12), std::wstring(19, L'V'));
  EXPECT_EQ(nvtool::DescriptorString(d, 43, 12), L"VVV");
  EXPECT_EQ(nvtool::DescriptorString(d, 512, 16), L"");
  std::copy(vendor.begin(), vendor.end(), d.begin() + 40);
  EXPECT_EQ(nvtool::DescriptorString(d, 512, 12).size(), 127u);
  d[13] = 0x7F;
  EXPECT_EQ(nvtool::DescriptorString(d, 512, 12), L"") << "an offset past the data gives nothing";
}

}  // namespace
