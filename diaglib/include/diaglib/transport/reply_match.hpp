// Tells whether a received packet answers the request just sent. A late answer to an earlier
// request carries the same command code as the one awaited; where the reply echoes what
// identifies its request (a handle, an offset, an item id, a payload), this check keeps such a
// stale answer from being taken for the current one.
#pragma once

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

}  // namespace diaglib
