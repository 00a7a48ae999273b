// A bounded queue of received packets: the oldest is dropped when a push would exceed the
// capacity. Pushed on the dispatcher thread, emptied and popped on the caller's.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "diaglib/transport/sync_event.hpp"

namespace diaglib {

class PacketQueue {
 public:
  static constexpr int kCapacity = 4096;
  static constexpr uint16_t kDataSize = 4096;  // bytes a record holds after its 16-bit length

  explicit PacketQueue(int capacity = kCapacity) : capacity_(capacity) {}

  // Keeps at most kDataSize bytes; signals the arrival event.
  void Push(const uint8_t* bytes, uint16_t length);
  // The oldest packet into `bytes` (room for kDataSize); false with *length 0 when empty.
  bool Pop(uint16_t* length, uint8_t* bytes);
  void Clear();
  bool IsEmpty() const;
  int Count() const;
  // Auto reset: one waiter is woken per push.
  SyncEvent& ArrivalEvent() { return arrival_; }

 private:
  const int capacity_;
  mutable std::mutex mutex_;  // owned by this queue; guards slots_
  std::deque<std::vector<uint8_t>> slots_;
  // Owned by this queue; set by every push, reset and waited for by the exchange.
  SyncEvent arrival_{SyncEvent::Mode::kAutoReset};
};

}  // namespace diaglib
