// A context's listener: shows every packet to the client's async-message callback, then sorts
// it by its first byte into asynchronous traffic or the synchronous response queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "diaglib/log/vode_callbacks.hpp"
#include "diaglib/transport/packet_queue.hpp"
#include "diaglib/transport/packet_dispatcher.hpp"

namespace diaglib {

class DataLogFileHandler;

class CVodeEventListener : public CVodeEvents_Listener {
 public:
  // Asynchronous packets reach only the callback; nothing waits on them, so they are not queued.
  CVodeEventListener(PacketQueue* sync_queue, DataLogFileHandler* log);

  bool OnPacket(int size, const uint8_t* bytes, int value0, int value1, int value2,
                int value3) override;

  void SetAsyncMessageCallBack(VODE_AsyncMessageCallBack callback, int context);
  void SetLogHandler(DataLogFileHandler* log) { log_.store(log); }

  PacketQueue* SyncResponseQueue() const { return sync_queue_; }

 private:
  PacketQueue* const sync_queue_;
  std::atomic<DataLogFileHandler*> log_;
  std::mutex callback_mutex_;  // owned by this listener; guards the callback and its context
  VODE_AsyncMessageCallBack callback_ = nullptr;
  int callback_context_ = 0;
};

}  // namespace diaglib
