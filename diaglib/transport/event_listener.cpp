#include "diaglib/transport/event_listener.hpp"

#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/hex_dump.hpp"
#include "diaglib/log/log_categories.hpp"
#include "diaglib/transport/packet_kinds.hpp"

namespace diaglib {

CVodeEventListener::CVodeEventListener(PacketQueue* sync_queue, DataLogFileHandler* log)
    : sync_queue_(sync_queue), log_(log) {}

void CVodeEventListener::SetAsyncMessageCallBack(VODE_AsyncMessageCallBack callback, int context) {
  std::lock_guard<std::mutex> lock(callback_mutex_);
  callback_ = callback;
  callback_context_ = context;
}

bool CVodeEventListener::OnPacket(int size, const uint8_t* bytes, int, int, int, int) {
  if (size < 2 || size > PacketQueue::kDataSize) return true;
  const uint16_t length = static_cast<uint16_t>(size);

  VODE_AsyncMessageCallBack callback;
  int context;
  {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    callback = callback_;
    context = callback_context_;
  }
  if (callback != nullptr) callback(length, bytes, context);

  DataLogFileHandler* log = log_.load();
  bool asynchronous = false;
  switch (bytes[0]) {
    case kLogPacket:
    case kDebugMessage:
    case kExtendedDebugMessage:
    case kTerseDebugMessage:
      asynchronous = true;
      break;
    case kEventReport: {
      // An event report without a payload length is how some devices answer a request, so
      // only a real event stays out of the response queue.
      const unsigned event_length = size >= 3 ? (bytes[1] | (bytes[2] << 8)) : 0;
      asynchronous = size >= 4 && event_length >= 1 && event_length <= 4095;
      if (!asynchronous) {
        WriteHexLog(log, LOG_IO, "ASYNC REC--listener--(%d bytes): %s", bytes, size);
        sync_queue_->Push(bytes, length);
        return true;
      }
      break;
    }
    default:
      break;
  }

  // Asynchronous packets reach the callback alone: nothing waits on them.
  if (asynchronous) return true;
  WriteHexLog(log, LOG_IO, "SYNC REC--listener--(%d bytes): %s", bytes, size);
  sync_queue_->Push(bytes, length);
  return true;
}

}  // namespace diaglib
