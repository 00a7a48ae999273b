// The DIAG transport of one library context: its packet queues, listener, dispatcher and
// serial link with reader thread, and the port operations the context's commands use.
// The LibraryLog handed in must outlive the link (the link stops it on closing).
#pragma once

#include <cstdint>

#include "diaglib/log/vode_callbacks.hpp"
#include "diaglib/transport/diag_exchange.hpp"
#include "diaglib/transport/event_listener.hpp"
#include "diaglib/transport/packet_queue.hpp"
#include "diaglib/transport/thread_interface.hpp"
#include "diaglib/transport/packet_dispatcher.hpp"

namespace platform {
class Clock;
}

namespace diaglib {
class LibraryLog;

// The library log's text for a DIAG error response code (19, 20, 21, 24); null for others.
const char* DiagErrorText(uint8_t code);

class ContextTransport final : public DiagLink {
 public:
  // Builds the queues and the listener and starts the dispatcher thread; opens nothing.
  ContextTransport(platform::Clock& clock, LibraryLog& log, uint16_t port_number);
  ~ContextTransport() override;  // ClosePort, then the dispatcher stops
  ContextTransport(const ContextTransport&) = delete;
  ContextTransport& operator=(const ContextTransport&) = delete;

  // Opens the port and starts its reader; the queues are emptied whatever the outcome.
  bool OpenPort();
  // Ends the reader, closes the port and stops the library log; true.
  bool ClosePort();
  // Reopens the port when the link is not connected; the connected flag afterwards.
  bool EnsurePortOpen();
  // One request for its answer, with the port check before; on failure a DIAG error answer is
  // logged with its text.
  bool SendSync(const DiagRequest& request, DiagReply& reply) override;
  // Set once while the context is built: from then on the packets no exchange takes as its
  // answer go there instead of being dropped unseen.
  void KeepUnclaimedIn(SetAside* set_aside) { unclaimed_ = set_aside; }
  bool RequestRxFlush();

  bool IsConnected() const { return connected_; }
  bool AlwaysConnected() const { return always_connected_; }
  uint16_t PortNumber() const { return port_number_; }

  void SetAsyncMessageCallBack(VODE_AsyncMessageCallBack callback, int context);
  // Time-out 7: the serial port's write time-out; its answer.
  bool SetWriteTimeout(int ms);
  // Time-out 8: the reader's receive time-out.
  void SetReceiveTimeout(int ms);

  CVodeThreadInterface& ThreadInterface() { return thread_; }
  PacketQueue& SyncResponseQueue() { return sync_queue_; }

 private:
  LibraryLog& log_;
  const uint16_t port_number_;
  bool connected_ = false;         // caller's thread only
  bool always_connected_ = false;  // caller's thread only
  SetAside* unclaimed_ = nullptr;
  PacketQueue async_queue_;
  PacketQueue sync_queue_;
  PacketQueue event_queue_;
  CVodeEventListener listener_;
  CVodeEvents events_;
  CVodeThreadInterface thread_;
};

}  // namespace diaglib
