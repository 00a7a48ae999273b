#include "common/diag_frame.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(const Bytes& packet) {
  Bytes out(packet.size() * 2 + 8);
  const size_t n = common::EncodeFrame(packet.data(), packet.size(), out.data(), out.size());
  out.resize(n);
  return out;
}

TEST(Crc16, CheckValuesAndTable) {
  const std::string digits = "123456789";
  const std::string abc = "abc";
  EXPECT_EQ(0x906E, common::Crc16(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()));
  EXPECT_EQ(0x9E25, common::Crc16(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()));
  EXPECT_EQ(0x0000, common::kCrcTable[0]);
  EXPECT_EQ(0x1189, common::kCrcTable[1]);
  EXPECT_EQ(0x0F78, common::kCrcTable[255]);
}

TEST(EncodeFrame, KnownRequests) {
  EXPECT_EQ((Bytes{0x00, 0x78, 0xF0, 0x7E}), Encode({0x00}));
  EXPECT_EQ((Bytes{0x29, 0x01, 0x00, 0x31, 0x40, 0x7E}), Encode({0x29, 0x01, 0x00}));
  EXPECT_EQ((Bytes{0x29, 0x02, 0x00, 0x59, 0x6A, 0x7E}), Encode({0x29, 0x02, 0x00}));
}

TEST(EncodeFrame, EscapesFlagAndEscapeBytesOnly) {
  const Bytes frame = Encode({0x7E, 0x7D, 0x5E, 0x20});
  ASSERT_GE(frame.size(), 7u);
  EXPECT_EQ((Bytes{0x7D, 0x5E, 0x7D, 0x5D, 0x5E, 0x20}), Bytes(frame.begin(), frame.begin() + 6));
  EXPECT_EQ(0x7E, frame.back());
  // Only the closing flag is a raw 0x7E.
  for (size_t i = 0; i + 1 < frame.size(); ++i) EXPECT_NE(0x7E, frame[i]) << i;
}

TEST(EncodeFrame, RefusesWhatDoesNotFit) {
  const Bytes packet = {0x7E, 0x7E};
  uint8_t out[6];
  // 4 escaped bytes + 2 CRC bytes + flag = 7 at least.
  EXPECT_EQ(0u, common::EncodeFrame(packet.data(), packet.size(), out, sizeof out));
}

// Every byte value, in every position of a short packet, survives encode -> unescape -> check,
// including packets whose CRC bytes themselves need escaping.
TEST(FrameRoundTrip, EveryByteValueAndCrcEscapes) {
  int crc_escapes = 0;
  for (int value = 0; value < 256; ++value) {
    for (int seed = 0; seed < 64; ++seed) {
      const Bytes packet = {static_cast<uint8_t>(value), static_cast<uint8_t>(seed),
                            static_cast<uint8_t>(value ^ seed), 0x7D};
      const Bytes frame = Encode(packet);
      ASSERT_FALSE(frame.empty());
      ASSERT_EQ(0x7E, frame.back());
      Bytes plain(frame.size());
      const size_t n =
          common::UnescapeBytes(frame.data(), frame.size() - 1, plain.data(), plain.size());
      plain.resize(n);
      ASSERT_EQ(packet.size() + 2, plain.size());
      EXPECT_TRUE(common::CrcResidueGood(plain.data(), plain.size()));
      EXPECT_EQ(packet, Bytes(plain.begin(), plain.end() - 2));
      const uint16_t crc = common::Crc16(packet.data(), packet.size());
      if ((crc & 0xFF) == 0x7E || (crc & 0xFF) == 0x7D || (crc >> 8) == 0x7E || (crc >> 8) == 0x7D)
        ++crc_escapes;
    }
  }
  EXPECT_GT(crc_escapes, 0);
}

TEST(CrcResidue, DetectsCorruption) {
  Bytes frame = Encode({0x26, 0xC5, 0x01, 0x00});
  Bytes plain(frame.size());
  plain.resize(common::UnescapeBytes(frame.data(), frame.size() - 1, plain.data(), plain.size()));
  ASSERT_TRUE(common::CrcResidueGood(plain.data(), plain.size()));
  plain[1] ^= 0x01;
  EXPECT_FALSE(common::CrcResidueGood(plain.data(), plain.size()));
}

TEST(UnescapeBytes, StopsAtCapacityAndDropsTrailingEscape) {
  const Bytes in = {0x01, 0x7D, 0x5E, 0x02, 0x7D};
  uint8_t out[8];
  EXPECT_EQ(3u, common::UnescapeBytes(in.data(), in.size(), out, sizeof out));
  EXPECT_EQ(0x7E, out[1]);
  EXPECT_EQ(2u, common::UnescapeBytes(in.data(), in.size(), out, 2));
}

}  // namespace
