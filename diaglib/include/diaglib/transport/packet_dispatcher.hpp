// The packet dispatcher of one context: the reader thread queues packets here and a thread of
// the dispatcher's own delivers them to the registered listeners, so that listeners and the
// client's callbacks never hold up the port.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "diaglib/transport/sync_event.hpp"

namespace diaglib {

// One queued packet with its own copy of the bytes (CRC bytes included) and four values that
// are passed through to the listeners.
class PacketEvent {
 public:
  PacketEvent() = default;
  PacketEvent(int size, const uint8_t* bytes, int value0, int value1, int value2, int value3);
  PacketEvent(PacketEvent&&) = default;
  PacketEvent& operator=(PacketEvent&&) = default;

  int size() const { return size_; }
  const uint8_t* bytes() const { return bytes_.get(); }
  int value(int i) const { return values_[i]; }

 private:
  int size_ = 0;
  std::unique_ptr<uint8_t[]> bytes_;
  int values_[4] = {0, 0, 0, 0};
};

class CVodeEvents_Listener {
 public:
  virtual ~CVodeEvents_Listener() = default;
  // As a filter: true lets the packet through to the listener it guards.
  virtual bool OnPacket(int size, const uint8_t* bytes, int value0, int value1, int value2,
                        int value3) = 0;
};

class CVodeEvents {
 public:
  CVodeEvents() = default;
  virtual ~CVodeEvents();  // Stop
  CVodeEvents(const CVodeEvents&) = delete;
  CVodeEvents& operator=(const CVodeEvents&) = delete;

  // The first call starts the dispatcher thread and returns once it runs. `filter` may be null.
  virtual void AddListener(CVodeEvents_Listener* listener, CVodeEvents_Listener* filter);
  virtual void RemoveListener(CVodeEvents_Listener* listener);
  // Ends the dispatcher thread; packets still queued are not delivered.
  virtual void Stop();
  virtual bool OnThreadStart() { return true; }
  virtual bool OnThreadEnd() { return true; }

  // Called by the reader thread for each packet; returns 0.
  int AddPacket(int size, const uint8_t* bytes, int value0, int value1, int value2, int value3);

 private:
  void Run();

  // Owned by this dispatcher; held only while a packet moves in or out of packets_.
  std::mutex queue_mutex_;
  std::deque<PacketEvent> packets_;
  // Owned by this dispatcher: a packet was queued (set by the reader, waited for by the
  // dispatcher thread), and the start, end and stop handshakes with that thread.
  SyncEvent packet_event_{SyncEvent::Mode::kAutoReset};
  SyncEvent started_event_{SyncEvent::Mode::kAutoReset};
  SyncEvent stopped_event_{SyncEvent::Mode::kAutoReset};
  SyncEvent stop_event_{SyncEvent::Mode::kManualReset};
  // Owned by this dispatcher; held while listeners run and while the list changes. Recursive
  // so that a listener may add or remove listeners from inside a delivery.
  std::recursive_mutex listener_mutex_;
  std::list<std::pair<CVodeEvents_Listener*, CVodeEvents_Listener*>> listeners_;
  bool thread_started_ = false;  // guarded by listener_mutex_
  std::thread thread_;           // started and joined under listener_mutex_ / by Stop
};

}  // namespace diaglib
