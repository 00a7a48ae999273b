// Any packet through the frame encoder and back through every decoder of the project: the
// tools' codec, the library's stream de-framer and the device's own framing, which is written
// apart from the tools' and must agree with them byte for byte.
#include <memory>

#include "common/diag_frame.hpp"
#include "devicesim/hdlc.hpp"
#include "diaglib/transport/hdlc_deframer.hpp"
#include "fuzz_support.hpp"
#include "fuzz_targets.hpp"

namespace fuzz {

int FuzzFrameRoundTrip(const uint8_t* data, size_t size) {
  const Bytes packet(data, data + size);
  // The longest frame: every byte and both CRC bytes escaped, and the flag.
  const size_t longest = 2 * size + 5;
  auto frame = std::make_unique<uint8_t[]>(longest);
  const size_t length = common::EncodeFrame(packet.data(), size, frame.get(), longest);
  FUZZ_CHECK(length >= size + 3 && length <= longest);
  const Bytes wire(frame.get(), frame.get() + length);
  FUZZ_CHECK(wire == devicesim::FramePacket(packet));
  for (size_t i = 0; i + 1 < length; ++i) FUZZ_CHECK(wire[i] != common::kFrameFlag);
  FUZZ_CHECK(wire.back() == common::kFrameFlag);

  // One byte short of the room it needs, the encoder writes nothing past the end and fails.
  auto tight = std::make_unique<uint8_t[]>(length - 1);
  FUZZ_CHECK(common::EncodeFrame(packet.data(), size, tight.get(), length - 1) == 0);

  // The tools' decoder: unescape without the flag, check, strip the CRC.
  auto plain = std::make_unique<uint8_t[]>(size + 2);
  const size_t unescaped = common::UnescapeBytes(wire.data(), length - 1, plain.get(), size + 2);
  FUZZ_CHECK(unescaped == size + 2);
  FUZZ_CHECK(common::CrcResidueGood(plain.get(), unescaped));
  FUZZ_CHECK(Bytes(plain.get(), plain.get() + size) == packet);

  // The device's de-framer takes the same frame as good.
  devicesim::Deframer device;
  std::vector<devicesim::Deframer::Frame> frames;
  device.Feed(wire.data(), wire.size(), &frames);
  FUZZ_CHECK(frames.size() == 1);
  FUZZ_CHECK(frames[0].good && frames[0].packet == packet);

  // The library's: every packet it checks comes back whole, CRC included, and once.
  std::vector<Bytes> delivered;
  diaglib::HdlcDeframer library(
      [&](int count, const uint8_t* bytes) { delivered.emplace_back(bytes, bytes + count); });
  library.DeframeChunk(wire.data(), wire.size());
  const bool dropped_kind = size > 0 && packet[0] == 0x92;
  const bool fits = size + 2 < diaglib::HdlcDeframer::kFrameCapacity;
  if (size == 0 || dropped_kind || !fits) {
    FUZZ_CHECK(delivered.size() <= 1);
  } else {
    FUZZ_CHECK(delivered.size() == 1);
    FUZZ_CHECK(Bytes(delivered[0].begin(), delivered[0].end() - 2) == packet);
  }
  return 0;
}

}  // namespace fuzz

FUZZ_ENTRY(fuzz::FuzzFrameRoundTrip)
