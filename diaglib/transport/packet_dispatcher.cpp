#include "diaglib/transport/packet_dispatcher.hpp"

#include <cstring>
#include <system_error>

namespace diaglib {

PacketEvent::PacketEvent(int size, const uint8_t* bytes, int value0, int value1, int value2,
                         int value3)
    : size_(size > 0 ? size : 0), values_{value0, value1, value2, value3} {
  bytes_.reset(new uint8_t[size_ > 0 ? size_ : 1]);
  if (size_ > 0) std::memcpy(bytes_.get(), bytes, static_cast<size_t>(size_));
}

CVodeEvents::~CVodeEvents() { CVodeEvents::Stop(); }

void CVodeEvents::AddListener(CVodeEvents_Listener* listener, CVodeEvents_Listener* filter) {
  std::lock_guard<std::recursive_mutex> lock(listener_mutex_);
  if (!thread_started_) {
    stop_event_.Reset();
    try {
      thread_ = std::thread(&CVodeEvents::Run, this);
    } catch (const std::system_error&) {
      // Packets then stay queued and exchanges time out; a later listener tries again.
      listeners_.emplace_back(listener, filter);
      return;
    }
    started_event_.Wait();
    thread_started_ = true;
  }
  listeners_.emplace_back(listener, filter);
}

void CVodeEvents::RemoveListener(CVodeEvents_Listener* listener) {
  std::lock_guard<std::recursive_mutex> lock(listener_mutex_);
  for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
    if (it->first == listener) {
      listeners_.erase(it);
      return;
    }
  }
}

void CVodeEvents::Stop() {
  std::thread ending;
  {
    std::lock_guard<std::recursive_mutex> lock(listener_mutex_);
    if (!thread_started_) return;
    thread_started_ = false;
    stop_event_.Set();
    packet_event_.Set();
    ending = std::move(thread_);
  }
  stopped_event_.Wait();
  ending.join();
}

int CVodeEvents::AddPacket(int size, const uint8_t* bytes, int value0, int value1, int value2,
                           int value3) {
  PacketEvent event(size, bytes, value0, value1, value2, value3);
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    packets_.push_back(std::move(event));
  }
  packet_event_.Set();
  return 0;
}

void CVodeEvents::Run() {
  started_event_.Set();
  if (OnThreadStart()) {
    for (;;) {
      packet_event_.Wait();
      if (stop_event_.Poll()) break;
      for (;;) {
        PacketEvent event;
        {
          std::lock_guard<std::mutex> lock(queue_mutex_);
          if (packets_.empty()) break;
          event = std::move(packets_.front());
          packets_.pop_front();
        }
        std::lock_guard<std::recursive_mutex> lock(listener_mutex_);
        for (auto& [listener, filter] : listeners_) {
          if (filter != nullptr &&
              !filter->OnPacket(event.size(), event.bytes(), event.value(0), event.value(1),
                                event.value(2), event.value(3))) {
            continue;
          }
          listener->OnPacket(event.size(), event.bytes(), event.value(0), event.value(1),
                             event.value(2), event.value(3));
        }
      }
    }
  }
  OnThreadEnd();
  stopped_event_.Set();
}

}  // namespace diaglib
