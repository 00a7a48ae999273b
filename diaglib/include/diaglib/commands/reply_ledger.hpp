// What the requests of one EFS2 operation (a file write, a folder listing, a removal, a
// folder creation) were answered with, and every packet the exchanges did not take. A device
// that answers a request twice, or after the requester gave up on it, can have its stray answer
// taken for a later request that repeats the same bytes (a reused file handle at offset 0, a
// close, a removal). The true answer to that later request then still arrives, and lands here:
// a packet set aside after a request was settled that repeats the request's echoed bytes but
// differs from the answer taken shows that the operation's result cannot be trusted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "diaglib/commands/reply_echo.hpp"
#include "diaglib/transport/diag_exchange.hpp"

namespace diaglib {

class ReplyLedger final : public SetAside {
 public:
  // Packets kept per operation; an operation that sees more than this many strays is not
  // trusted, so a chattering device cannot make the ledger grow without bound.
  static constexpr size_t kMostSetAside = 256;

  void Put(const uint8_t* packet, uint16_t length) override;

  // A new operation: what the last one settled no longer counts.
  void Begin();
  // `reply` was taken as the answer to `request`, whose first `echoed` bytes its answer repeats.
  void Settle(const uint8_t* request, size_t echoed, const uint8_t* reply, uint16_t length);
  // A time-out, a turned-down answer or a resend: answers may still be on their way, and the
  // line wants a marker before the next request.
  void Disturb() { disturbed_ = true; }
  bool Disturbed() const { return disturbed_; }
  // A marker's echo came: everything the device sent before it has arrived.
  void LineClear() { disturbed_ = false; }
  // False when a packet set aside after a request was settled repeats that request's echo yet
  // differs from the answer taken for it (or too many strays came to tell).
  bool Consistent() const;

 private:
  struct Settled {
    std::array<uint8_t, kLongestEcho> echo{};
    size_t echoed = 0;
    std::vector<uint8_t> reply;
    size_t set_aside_before = 0;  // packets set aside before it was settled do not count
  };

  std::vector<Settled> settled_;
  std::vector<std::vector<uint8_t>> set_aside_;
  bool overflow_ = false;
  bool disturbed_ = false;
};

}  // namespace diaglib
