// The device's own side of the DIAG framing. It is kept apart from the tools' codec on purpose:
// a device that shared their code would share their mistakes instead of catching them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace devicesim {

using Bytes = std::vector<uint8_t>;

// CRC-16/X-25, computed bit by bit so that it cannot inherit a wrong table.
uint16_t FrameCrc(const uint8_t* data, size_t size);
inline constexpr uint16_t kGoodResidue = 0x0F47;

// Packet, CRC low byte first, 0x7E/0x7D escaped, one closing flag; no leading flag.
Bytes FramePacket(const Bytes& packet);
// The same with the CRC spoiled, for tests of how a receiver rejects it.
Bytes FramePacketBadCrc(const Bytes& packet);

// Cuts a received byte stream into frames. Leading and repeated flags are ignored; an escape
// pending when a flag arrives is dropped with the frame.
class Deframer {
 public:
  struct Frame {
    Bytes packet;  // unescaped, CRC removed (what is left when shorter than 2 bytes)
    bool good = false;
  };
  // Feeds bytes; completed frames are appended to *out.
  void Feed(const uint8_t* data, size_t size, std::vector<Frame>* out);
  void Reset();

  static constexpr size_t kLongestFrame = 16 * 1024 + 2;

 private:
  Bytes buffer_;
  bool escape_ = false;
  bool overflow_ = false;
};

}  // namespace devicesim
