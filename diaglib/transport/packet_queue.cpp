#include "diaglib/transport/packet_queue.hpp"

#include <cstring>

namespace diaglib {

void PacketQueue::Push(const uint8_t* bytes, uint16_t length) {
  if (length > kDataSize) length = kDataSize;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.emplace_back(bytes, bytes + length);
    if (static_cast<int>(slots_.size()) > capacity_) slots_.pop_front();
  }
  arrival_.Set();
}

bool PacketQueue::Pop(uint16_t* length, uint8_t* bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slots_.empty()) {
    *length = 0;
    return false;
  }
  const std::vector<uint8_t>& oldest = slots_.front();
  *length = static_cast<uint16_t>(oldest.size());
  if (!oldest.empty()) std::memcpy(bytes, oldest.data(), oldest.size());
  slots_.pop_front();
  return true;
}

void PacketQueue::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_.clear();
}

bool PacketQueue::IsEmpty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_.empty();
}

int PacketQueue::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(slots_.size());
}

}  // namespace diaglib
