// Framing on the way out and the de-framer's rules on the way in.
#include <gtest/gtest.h>

#include "common/diag_frame.hpp"
#include "diaglib/transport/hdlc_deframer.hpp"
#include "diaglib/transport/prot_ahdlc.hpp"
#include "diaglib/transport/serial_port.hpp"
#include "log_capture.hpp"
#include "serial_fake_com_port.hpp"

using namespace diaglib;  // the library's own classes under test

namespace transport_test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

Bytes Unescape(const Bytes& frame) {  // without the closing flag
  Bytes out(frame.size());
  out.resize(common::UnescapeBytes(frame.data(), frame.size() - 1, out.data(), out.size()));
  return out;
}

// Known answers: the check value of CRC-16/X-25, and DIAG requests as they go on the wire (the
// two CRC bytes low first, before the closing flag).
TEST(AhdlcCrc, MatchesKnownAnswers) {
  struct Case {
    Bytes bytes;
    uint32_t bits;
    uint16_t crc;
  };
  const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  const Case cases[] = {
      {check, 72, 0x906E}, {{0x00}, 8, 0xF078},  // version request: 00 78 F0 7E
      {{0x0C}, 8, 0x3A14},                       // status request: 0C 14 3A 7E
      {{0x1D}, 8, 0x3B1C},                       // time stamp request: 1D 1C 3B 7E
      {check, 3, 0x260C},  // bits that are not whole bytes come from the low end
      {check, 15, 0x6559}, {check, 33, 0xBA76},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ComputeCrc16(c.bytes.data(), c.bits), c.crc) << c.bits << " bits";
  }
}

TEST(AhdlcCrc, CoversLongPacketsWhole) {
  for (size_t n : {8191u, 8192u, 8193u, 16381u}) {
    const Bytes bytes = Pattern(n);
    EXPECT_EQ(ComputeCrc16(bytes.data(), static_cast<uint32_t>(8 * n)),
              common::Crc16(bytes.data(), n))
        << n;
  }
}

class AhdlcSendTest : public ::testing::Test {
 protected:
  AhdlcSendTest()
      : serial_(clock_, std::make_unique<FakeComPort>(&state_, &clock_)),
        ahdlc_(clock_),
        log_(clock_),
        capture_(&log_) {
    serial_.Open(3);
    ahdlc_.SetPort(&serial_);
    ahdlc_.SetLogHandler(&log_);
  }

  testsupport::TestClock clock_;
  FakeComState state_;
  CSerialPort serial_;
  CProtAHDLC ahdlc_;
  DataLogFileHandler log_;
  LogCapture capture_;
};

TEST_F(AhdlcSendTest, VersionRequestGoesOutAsItsKnownFrame) {
  const uint8_t request = 0x00;
  EXPECT_EQ(ahdlc_.Send(&request, 1, 4000, 0), 1);
  EXPECT_EQ(state_.written, (Bytes{0x00, 0x78, 0xF0, 0x7E}));
  EXPECT_TRUE(capture_.Has("  CProtAHDLC::Send(iSize=1, iTimeout=4000)"));
  EXPECT_TRUE(capture_.Has("  CProtAHDLC::Send(_iALen=4) ... OK"));
}

TEST_F(AhdlcSendTest, SizeLimitsHoldAndLargeFramesCarryAGoodCrc) {
  Bytes packet = Pattern(16382);
  EXPECT_EQ(ahdlc_.Send(packet.data(), 16382, 0, 0), 0);
  EXPECT_TRUE(capture_.Has("  Error. String size exceeds maximum buffer size."));
  EXPECT_TRUE(state_.written.empty());

  packet.assign(9000, 0x11);
  ASSERT_EQ(ahdlc_.Send(packet.data(), 9000, 0, 0), 1);
  const Bytes unescaped = Unescape(state_.written);
  ASSERT_EQ(unescaped.size(), 9002u);
  EXPECT_TRUE(common::CrcResidueGood(unescaped.data(), unescaped.size()));

  // 16381 bytes pass the size check, but not when escaping doubles them past the frame area.
  packet.assign(16381, 0x01);
  EXPECT_EQ(ahdlc_.Send(packet.data(), 16381, 0, 0), 1);
  state_.written.clear();
  capture_.Clear();
  packet.assign(16381, 0x7E);
  EXPECT_EQ(ahdlc_.Send(packet.data(), 16381, 0, 0), 0);
  EXPECT_TRUE(capture_.Has("  Error. String size exceeds maximum buffer size."));
  EXPECT_TRUE(state_.written.empty());
}

TEST_F(AhdlcSendTest, Data2DmTriesTheAtCommandTwiceAndRestoresTheRate) {
  ASSERT_TRUE(serial_.SetBaudRate(57600));
  EXPECT_EQ(ahdlc_.Data2DM(4), 0);  // nobody answers
  const std::string written(state_.written.begin(), state_.written.end());
  EXPECT_EQ(written, "~AT$VXDMG\rAT$VXDMG\r~");
  EXPECT_EQ(state_.state.BaudRate, 57600u);
  for (char c : std::string("\r\nOK\r\n")) state_.input.push_back(static_cast<uint8_t>(c));
  EXPECT_EQ(ahdlc_.Data2DM(4), 1);
  EXPECT_EQ(clock_.Pauses(), (std::vector<uint32_t>{50}));
}

class DeframerTest : public ::testing::Test {
 protected:
  DeframerTest()
      : log_(clock_), capture_(&log_), deframer_([this](int size, const uint8_t* bytes) {
          packets_.emplace_back(bytes, bytes + size);
        }) {
    deframer_.SetLogHandler(&log_);
  }

  static Bytes WithCrc(Bytes packet) {
    const uint16_t crc = common::Crc16(packet.data(), packet.size());
    packet.push_back(static_cast<uint8_t>(crc & 0xFF));
    packet.push_back(static_cast<uint8_t>(crc >> 8));
    return packet;
  }
  // Bytes that already carry their CRC (good or not), escaped and closed by a flag.
  static Bytes RawFrame(const Bytes& bytes) {
    Bytes frame(bytes.size() * 2 + 1);
    size_t n = 0;
    common::EscapeBytes(bytes.data(), bytes.size(), frame.data(), frame.size(), &n);
    frame.resize(n);
    frame.push_back(0x7E);
    return frame;
  }
  static Bytes Frame(const Bytes& packet) { return RawFrame(WithCrc(packet)); }
  void Feed(const Bytes& bytes) { deframer_.DeframeChunk(bytes.data(), bytes.size()); }

  testsupport::TestClock clock_;
  DataLogFileHandler log_;
  LogCapture capture_;
  std::vector<Bytes> packets_;
  HdlcDeframer deframer_;
};

TEST_F(DeframerTest, FramesAreCutAtFlagsWithinAndAcrossChunks) {
  const Bytes a = {0x00, 0x01, 0x7E, 0x7D};
  const Bytes b = {0x4B, 0x13, 0x05, 0x00};
  Bytes chunk = Frame(a);
  const Bytes fb = Frame(b);
  chunk.insert(chunk.end(), fb.begin(), fb.end());
  Feed(chunk);
  EXPECT_EQ(packets_, (std::vector<Bytes>{WithCrc(a), WithCrc(b)}));
  EXPECT_TRUE(capture_.HasPrefix("SYNC REC (6 bytes): 00 01 7E 7D "));

  packets_.clear();
  const Bytes f = Frame({0x4B, 0x0F, 0x7E, 0x00, 0x10, 0x20});
  Feed(Bytes(f.begin(), f.begin() + 3));  // ends inside the escape of 0x7E
  Feed(Bytes(f.begin() + 3, f.begin() + 5));
  EXPECT_TRUE(packets_.empty());
  Feed(Bytes(f.begin() + 5, f.end()));
  EXPECT_EQ(packets_, std::vector<Bytes>{WithCrc({0x4B, 0x0F, 0x7E, 0x00, 0x10, 0x20})});

  Feed({0x7E, 0x7E, 0x7E});
  EXPECT_EQ(packets_.size(), 1u);
}

TEST_F(DeframerTest, UncheckedKindsPassWithABadCrcWhileResponsesAreDropped) {
  Bytes log_packet = WithCrc({0x10, 0x00, 0x12, 0x00, 0x34});
  log_packet.back() ^= 0xFF;
  Feed(RawFrame(log_packet));
  EXPECT_EQ(packets_, std::vector<Bytes>{log_packet});
  EXPECT_TRUE(capture_.Texts().empty());

  Bytes response = log_packet;
  response[0] = 0x13;
  Feed(RawFrame(response));
  Feed(Frame({0x92, 0x01, 0x02}));
  EXPECT_EQ(packets_.size(), 1u);
  EXPECT_TRUE(capture_.HasPrefix("ERROR SYNC REC (7 bytes): 13 00 12 00 34 "));
}

TEST_F(DeframerTest, OverlongDataIsDiscardedAtTheFrameLimit) {
  Bytes run(4094, 0x41);
  run.push_back(0x42);  // overflows and is dropped
  run.push_back(0x43);  // storing starts over here
  Feed(run);
  EXPECT_TRUE(capture_.Has("ERROR THREAD READ---NON-HDLC data (4094 bytes), data is discarded"));
  EXPECT_EQ(deframer_.PendingCount(), 1u);

  deframer_.DropPartialFrame();
  Feed(RawFrame(WithCrc(Bytes(4092, 0x22))));  // 4094 with its CRC: too long to check
  EXPECT_TRUE(packets_.empty());
  EXPECT_TRUE(
      capture_.Has("Maximum Packet Size reached, 4094 bytes, suspected invalid packet is skipped"));
  Feed(RawFrame(WithCrc(Bytes(4091, 0x22))));
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0].size(), 4093u);
}

TEST_F(DeframerTest, AllZeroRemaindersAreErasedAndAnEscapeOutlivesAFlag) {
  Feed({0x00, 0x00, 0x00});
  EXPECT_EQ(deframer_.PendingCount(), 0u);
  EXPECT_TRUE(capture_.Has("Packet is being erased because it is all zeros"));
  capture_.Clear();
  Feed({0x00, 0x05, 0x00});
  EXPECT_EQ(deframer_.PendingCount(), 3u);
  EXPECT_TRUE(capture_.Texts().empty());
  deframer_.DropPartialFrame();

  Bytes chunk = Frame({0x7B, 0x01});
  chunk.push_back(0x7D);
  chunk.push_back(0x7E);  // still ends a (here empty) frame
  Feed(chunk);
  Bytes next = Frame({0x7B, 0x02});
  next[0] = 0x5B;  // the pending escape turns it back into 0x7B
  Feed(next);
  EXPECT_EQ(packets_, (std::vector<Bytes>{WithCrc({0x7B, 0x01}), WithCrc({0x7B, 0x02})}));
}

}  // namespace
}  // namespace transport_test
