// Framing on the way out and the de-framer's rules on the way in.
#include <gtest/gtest.h>

#include <numeric>

#include "common/diag_frame.hpp"
#include "diaglib/transport/hdlc_deframer.hpp"
#include "diaglib/transport/prot_ahdlc.hpp"
#include "diaglib/transport/serial_port.hpp"
#include "log_capture.hpp"
#include "serial_fake_com_port.hpp"

namespace transport_test {
namespace {

using Bytes = std::vector<uint8_t>;

// Bit-serial CRC-16/X-25 as a reference independent of the table.
uint16_t BitwiseCrc(const Bytes& bytes, size_t bits) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < bits; ++i) {
    const int bit = (bytes[i / 8] >> (i % 8)) & 1;
    const bool differs = ((crc ^ bit) & 1) != 0;
    crc = static_cast<uint16_t>(crc >> 1);
    if (differs) crc ^= 0x8408;
  }
  return static_cast<uint16_t>(~crc);
}

Bytes Pattern(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

TEST(AhdlcCrc, CountsBitsBeyondSixteenBitsAndTheRemainingBitsRule) {
  for (size_t n : {1u, 2u, 100u, 8191u, 8192u, 8193u, 16381u}) {
    const Bytes bytes = Pattern(n);
    EXPECT_EQ(ComputeCrc16(bytes.data(), static_cast<uint32_t>(8 * n)), common::Crc16(bytes.data(), n))
        << n << " bytes";
  }
  const Bytes bytes = Pattern(5);
  for (uint32_t bits : {3u, 9u, 15u, 33u}) {
    EXPECT_EQ(ComputeCrc16(bytes.data(), bits), BitwiseCrc(bytes, bits)) << bits << " bits";
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
    state_.written.clear();
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

TEST_F(AhdlcSendTest, FlagAndEscapeBytesAreEscapedAndALeadingFlagIsOptional) {
  const Bytes packet = {0x4B, 0x7E, 0x7D, 0x01};
  ASSERT_EQ(ahdlc_.Send(packet.data(), 4, 0, 1), 1);
  ASSERT_GE(state_.written.size(), 8u);
  EXPECT_EQ(state_.written.front(), 0x7E);
  EXPECT_EQ(Bytes(state_.written.begin() + 1, state_.written.begin() + 6),
            (Bytes{0x4B, 0x7D, 0x5E, 0x7D, 0x5D}));
  EXPECT_EQ(state_.written.back(), 0x7E);
  Bytes unescaped(20);
  const size_t n = common::UnescapeBytes(state_.written.data() + 1, state_.written.size() - 2,
                                         unescaped.data(), unescaped.size());
  EXPECT_TRUE(common::CrcResidueGood(unescaped.data(), n));
}

TEST_F(AhdlcSendTest, SizeLimitsAndLargeFramesCarryAGoodCrc) {
  Bytes packet = Pattern(16382);
  EXPECT_EQ(ahdlc_.Send(packet.data(), 16382, 0, 0), 0);
  EXPECT_TRUE(capture_.Has("  Error. String size exceeds maximum buffer size."));
  EXPECT_TRUE(state_.written.empty());

  // 9000 bytes without special values: the CRC must cover all of them.
  packet.assign(9000, 0x11);
  ASSERT_EQ(ahdlc_.Send(packet.data(), 9000, 0, 0), 1);
  Bytes unescaped(9010);
  const size_t n = common::UnescapeBytes(state_.written.data(), state_.written.size() - 1,
                                         unescaped.data(), unescaped.size());
  ASSERT_EQ(n, 9002u);
  EXPECT_TRUE(common::CrcResidueGood(unescaped.data(), n));

  // 16381 bytes pass the size check, but not when escaping doubles them past the work area.
  state_.written.clear();
  packet.assign(16381, 0x01);
  EXPECT_EQ(ahdlc_.Send(packet.data(), 16381, 0, 0), 1);
  packet.assign(16381, 0x7E);
  capture_.Clear();
  EXPECT_EQ(ahdlc_.Send(packet.data(), 16381, 0, 0), 0);
  EXPECT_TRUE(capture_.Has("  Error. String size exceeds maximum buffer size."));
}

TEST_F(AhdlcSendTest, WithoutPortNothingIsSentOrLogged) {
  CProtAHDLC bare(clock_);
  bare.SetLogHandler(&log_);
  const uint8_t request = 0;
  int length = 10;
  uint8_t buffer[10];
  EXPECT_EQ(bare.Send(&request, 1, 0, 0), 0);
  EXPECT_EQ(bare.Receive(buffer, &length, 0), 0);
  EXPECT_TRUE(capture_.Lines().empty());
  EXPECT_EQ(bare.FlushPhoneBuffer(), 0);
  EXPECT_TRUE(capture_.Has("  CProtAHDLC::FlushPhoneBuffer()"));
  EXPECT_FALSE(bare.SetPort(nullptr));
}

TEST_F(AhdlcSendTest, Data2DmSendsTheAtCommandAtMostTwiceAndRestoresTheRate) {
  ASSERT_TRUE(serial_.SetBaudRate(57600));
  EXPECT_EQ(ahdlc_.Data2DM(4), 0);  // nobody answers
  const std::string command = "AT$VXDMG\r";
  const std::string written(state_.written.begin(), state_.written.end());
  size_t count = 0;
  for (size_t at = written.find(command); at != std::string::npos; at = written.find(command, at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(state_.state_set.BaudRate, 57600u);

  state_.written.clear();
  for (char c : std::string("\r\nOK\r\n")) state_.input.push_back(static_cast<uint8_t>(c));
  clock_.ClearPauses();
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

  // The packet with its CRC, low byte first, unescaped.
  static Bytes WithCrc(Bytes packet) {
    const uint16_t crc = common::Crc16(packet.data(), packet.size());
    packet.push_back(static_cast<uint8_t>(crc & 0xFF));
    packet.push_back(static_cast<uint8_t>(crc >> 8));
    return packet;
  }
  static Bytes Frame(const Bytes& packet) {
    Bytes frame(packet.size() * 2 + 8);
    frame.resize(common::EncodeFrame(packet.data(), packet.size(), frame.data(), frame.size()));
    return frame;
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
  ASSERT_EQ(packets_.size(), 2u);
  EXPECT_EQ(packets_[0], WithCrc(a));
  EXPECT_EQ(packets_[1], WithCrc(b));
  EXPECT_TRUE(capture_.HasPrefix("SYNC REC (6 bytes): 00 01 7E 7D "));

  packets_.clear();
  const Bytes f = Frame({0x4B, 0x0F, 0x7E, 0x00, 0x10, 0x20});
  Feed(Bytes(f.begin(), f.begin() + 3));  // ends inside the escape of 0x7E
  Feed(Bytes(f.begin() + 3, f.begin() + 5));
  EXPECT_TRUE(packets_.empty());
  Feed(Bytes(f.begin() + 5, f.end()));
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], WithCrc({0x4B, 0x0F, 0x7E, 0x00, 0x10, 0x20}));

  packets_.clear();
  Feed({0x7E, 0x7E, 0x7E});
  EXPECT_TRUE(packets_.empty());
}

TEST_F(DeframerTest, UncheckedKindsPassWithABadCrcWhileResponsesAreDropped) {
  Bytes log_packet = WithCrc({0x10, 0x00, 0x12, 0x00, 0x34});
  log_packet.back() ^= 0xFF;
  Feed(RawFrame(log_packet));
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], log_packet);
  EXPECT_TRUE(capture_.Lines().empty());  // unchecked packets pass without a line

  Bytes response = log_packet;
  response[0] = 0x13;
  Feed(RawFrame(response));
  EXPECT_EQ(packets_.size(), 1u);
  EXPECT_TRUE(capture_.HasPrefix("ERROR SYNC REC (7 bytes): 13 00 12 00 34 "));

  Feed(Frame({0x92, 0x01, 0x02}));
  EXPECT_EQ(packets_.size(), 1u);
}

TEST_F(DeframerTest, OverlongDataIsDiscardedAtTheFrameLimit) {
  Bytes run(4094, 0x41);
  run.push_back(0x42);  // the 4095th byte overflows and is dropped
  run.push_back(0x43);  // storing starts over with this one
  Feed(run);
  EXPECT_TRUE(capture_.Has("ERROR THREAD READ---NON-HDLC data (4094 bytes), data is discarded"));
  EXPECT_EQ(deframer_.PendingCount(), 1u);

  deframer_.DropPartialFrame();
  Bytes full = WithCrc(Bytes(4092, 0x22));  // 4094 with its CRC: too long to be checked
  Feed(RawFrame(full));
  EXPECT_TRUE(packets_.empty());
  EXPECT_TRUE(capture_.Has("Maximum Packet Size reached, 4094 bytes, suspected invalid packet is skipped"));
  const Bytes fits = WithCrc(Bytes(4091, 0x22));
  Feed(RawFrame(fits));
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0].size(), 4093u);
}

TEST_F(DeframerTest, AnAllZeroPartialFrameIsErasedAtTheEndOfAChunk) {
  Feed({0x00, 0x00, 0x00});
  EXPECT_EQ(deframer_.PendingCount(), 0u);
  EXPECT_TRUE(capture_.Has("Packet is being erased because it is all zeros"));
  capture_.Clear();
  Feed({0x00, 0x05, 0x00});
  EXPECT_EQ(deframer_.PendingCount(), 3u);
  EXPECT_FALSE(capture_.Has("Packet is being erased because it is all zeros"));
}

TEST_F(DeframerTest, AnEscapeBeforeAFlagEndsTheFrameAndAppliesToTheNextByte) {
  Bytes chunk = Frame({0x7B, 0x01});
  chunk.push_back(0x7D);
  chunk.push_back(0x7E);
  Feed(chunk);
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_TRUE(deframer_.EscapePending());
  // The next frame's first byte 0x5B becomes 0x7B.
  Bytes next = Frame({0x7B, 0x02});
  next[0] = 0x5B;
  Feed(next);
  ASSERT_EQ(packets_.size(), 2u);
  EXPECT_EQ(packets_[1], WithCrc({0x7B, 0x02}));
}

}  // namespace
}  // namespace transport_test
