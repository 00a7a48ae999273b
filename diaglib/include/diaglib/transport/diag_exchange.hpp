// One DIAG exchange as it travels from a command down to the serial link: the request, the buffer
// its answer lands in, and how a received packet is told to be that answer. A late answer to an
// earlier request carries the same command code as the one awaited; where the reply echoes what
// identifies its request (a handle, an offset, an item id, a payload), the reply match keeps such
// a stale answer from being taken for the current one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace diaglib {

// `packet` and `length` without the CRC; an empty match accepts every packet of the right code.
using ReplyMatch = std::function<bool(const uint8_t* packet, uint16_t length)>;

// Where an exchange puts the packets it did not take as its answer (those still queued when
// the request went out, and stale ones), so that a later check can tell whether one of them was
// the true answer to a request already settled. Used on the caller's thread only.
class SetAside {
 public:
  virtual ~SetAside() = default;
  virtual void Put(const uint8_t* packet, uint16_t length) = 0;
};

struct DiagRequest {
  const uint8_t* bytes = nullptr;
  uint16_t length = 0;
  // The command code of the answer; a packet of another code ends the exchange as failed.
  uint8_t expected_code = 0;
  int timeout_ms = 0;
  // A pause after sending, before the wait for the answer starts.
  int wait_ms = 0;
  // Packets of the expected code it rejects are stale: they are set aside (or dropped) and the
  // wait goes on until the same deadline.
  ReplyMatch answers;
  // The line marker's wait for its echo: packets of every other code are set aside as well and
  // the wait goes on, instead of ending the exchange.
  bool any_code = false;
};

// The buffer an answer lands in: `length` is the received length without the CRC, at most
// `capacity`.
struct DiagReply {
  DiagReply(uint8_t* into, uint16_t room) : bytes(into), capacity(room) {}
  template <size_t N>
  explicit DiagReply(uint8_t (&buffer)[N]) : DiagReply(buffer, static_cast<uint16_t>(N)) {}

  uint8_t* bytes;
  uint16_t capacity;
  uint16_t length = 0;
};

// What carries a request to the device and brings back its answer.
class DiagLink {
 public:
  virtual ~DiagLink() = default;
  virtual bool SendSync(const DiagRequest& request, DiagReply& reply) = 0;
};

}  // namespace diaglib
