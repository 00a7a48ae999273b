#include "diaglib/commands/reply_ledger.hpp"

#include <algorithm>
#include <cstring>

namespace diaglib {

void ReplyLedger::Put(const uint8_t* packet, uint16_t length) {
  if (set_aside_.size() >= kMostSetAside) {
    overflow_ = true;
    return;
  }
  set_aside_.emplace_back(packet, packet + length);
}

void ReplyLedger::Begin() {
  settled_.clear();
  set_aside_.clear();
  overflow_ = false;
}

void ReplyLedger::Settle(const uint8_t* request, size_t echoed, const uint8_t* reply,
                         uint16_t length) {
  Settled entry;
  entry.echoed = std::min(echoed, kLongestEcho);
  std::memcpy(entry.echo.data(), request, entry.echoed);
  entry.reply.assign(reply, reply + length);
  entry.set_aside_before = set_aside_.size();
  settled_.push_back(std::move(entry));
}

bool ReplyLedger::Consistent() const {
  if (overflow_) return false;
  for (const Settled& request : settled_) {
    for (size_t i = request.set_aside_before; i < set_aside_.size(); ++i) {
      const std::vector<uint8_t>& packet = set_aside_[i];
      const bool repeats = packet.size() >= request.echoed &&
                           std::memcmp(packet.data(), request.echo.data(), request.echoed) == 0;
      // A byte-for-byte copy of the answer taken changes nothing: whichever was the true one,
      // the request's result is the same.
      if (repeats && packet != request.reply) return false;
    }
  }
  return true;
}

}  // namespace diaglib
