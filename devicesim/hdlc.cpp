#include "devicesim/hdlc.hpp"

namespace devicesim {

uint16_t FrameCrc(const uint8_t* data, size_t size) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc =
          (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
  }
  return static_cast<uint16_t>(~crc);
}

namespace {

void PutEscaped(uint8_t b, Bytes* out) {
  if (b == 0x7E || b == 0x7D) {
    out->push_back(0x7D);
    out->push_back(static_cast<uint8_t>(b ^ 0x20));
  } else {
    out->push_back(b);
  }
}

Bytes Frame(const Bytes& packet, uint16_t crc) {
  Bytes out;
  out.reserve(packet.size() * 2 + 6);
  for (uint8_t b : packet) PutEscaped(b, &out);
  PutEscaped(static_cast<uint8_t>(crc & 0xFF), &out);
  PutEscaped(static_cast<uint8_t>(crc >> 8), &out);
  out.push_back(0x7E);
  return out;
}

}  // namespace

Bytes FramePacket(const Bytes& packet) {
  return Frame(packet, FrameCrc(packet.data(), packet.size()));
}

Bytes FramePacketBadCrc(const Bytes& packet) {
  return Frame(packet, static_cast<uint16_t>(FrameCrc(packet.data(), packet.size()) ^ 0x5A5A));
}

void Deframer::Feed(const uint8_t* data, size_t size, std::vector<Frame>* out) {
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    if (b == 0x7E) {
      if (!buffer_.empty() || overflow_) {
        Frame frame;
        frame.good = !overflow_ && buffer_.size() >= 2 &&
                     FrameCrc(buffer_.data(), buffer_.size()) == kGoodResidue;
        frame.packet = std::move(buffer_);
        if (frame.packet.size() >= 2) frame.packet.resize(frame.packet.size() - 2);
        out->push_back(std::move(frame));
      }
      Reset();
      continue;
    }
    if (b == 0x7D) {
      escape_ = true;
      continue;
    }
    const uint8_t value = escape_ ? static_cast<uint8_t>(b ^ 0x20) : b;
    escape_ = false;
    if (buffer_.size() < kLongestFrame) {
      buffer_.push_back(value);
    } else {
      overflow_ = true;  // keeps the frame's start so the recording shows what came
    }
  }
}

void Deframer::Reset() {
  buffer_.clear();
  escape_ = false;
  overflow_ = false;
}

}  // namespace devicesim
