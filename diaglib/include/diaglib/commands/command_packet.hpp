// A context's reusable request and response buffer for DIAG commands. Appends past the end are
// dropped rather than reported, so a command that overfills the request sends what fitted;
// fields are taken from the end of the response, which is where variable-length commands keep
// their status words.
#pragma once

#include <cstdint>

#include "diaglib/transport/diag_exchange.hpp"

namespace diaglib {

class CommandPacket {
 public:
  static constexpr uint16_t kCapacity = 6144;

  CommandPacket() { Reset(); }
  // The reply points into the packet's own buffer.
  CommandPacket(const CommandPacket&) = delete;
  CommandPacket& operator=(const CommandPacket&) = delete;

  // Every command starts here: recognisable fill bytes make stale data easy to spot in dumps.
  void Reset();

  void AppendByte(uint8_t value);
  void AppendU16(uint16_t value);
  void AppendBytes(const uint8_t* bytes, uint16_t count);

  bool TakeByteFromEnd(uint8_t* value);
  bool TakeU16FromEnd(uint16_t* value);

  uint8_t* Request() { return request_; }
  const uint8_t* Request() const { return request_; }
  uint16_t RequestLength() const { return request_length_; }
  // The buffer the answer lands in, the whole packet's capacity.
  DiagReply& Reply() { return reply_; }
  const uint8_t* Response() const { return response_; }
  uint16_t ResponseLength() const { return reply_.length; }

 private:
  uint8_t request_[kCapacity];
  uint8_t response_[kCapacity];
  uint16_t request_length_ = 0;
  DiagReply reply_{response_, kCapacity};
  uint16_t read_cursor_ = 0;
};

}  // namespace diaglib
