#include "diaglib/commands/command_packet.hpp"

#include <cstring>

namespace diaglib {

void CommandPacket::Reset() {
  std::memset(request_, 0xAA, sizeof(request_));
  std::memset(response_, 0xBB, sizeof(response_));
  request_length_ = 0;
  reply_.length = 0;
  read_cursor_ = 0;
}

void CommandPacket::AppendByte(uint8_t value) {
  if (request_length_ >= kCapacity - 1) return;
  request_[request_length_++] = value;
}

void CommandPacket::AppendU16(uint16_t value) {
  if (request_length_ >= kCapacity - 2) return;
  request_[request_length_++] = static_cast<uint8_t>(value & 0xFF);
  request_[request_length_++] = static_cast<uint8_t>(value >> 8);
}

void CommandPacket::AppendBytes(const uint8_t* bytes, uint16_t count) {
  if (count == 0 || count >= kCapacity || request_length_ >= kCapacity - count) return;
  std::memcpy(request_ + request_length_, bytes, count);
  request_length_ = static_cast<uint16_t>(request_length_ + count);
}

bool CommandPacket::TakeByteFromEnd(uint8_t* value) {
  if (read_cursor_ == 0) read_cursor_ = reply_.length;
  if (read_cursor_ < 1 || read_cursor_ > kCapacity) return false;
  --read_cursor_;
  *value = response_[read_cursor_];
  return true;
}

bool CommandPacket::TakeU16FromEnd(uint16_t* value) {
  if (read_cursor_ == 0) read_cursor_ = reply_.length;
  if (read_cursor_ < 2 || read_cursor_ > kCapacity) return false;
  read_cursor_ = static_cast<uint16_t>(read_cursor_ - 2);
  *value = static_cast<uint16_t>(response_[read_cursor_] | (response_[read_cursor_ + 1] << 8));
  return true;
}

}  // namespace diaglib
