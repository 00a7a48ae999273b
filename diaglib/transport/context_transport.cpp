#include "diaglib/transport/context_transport.hpp"

#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/library_log.hpp"
#include "diaglib/log/log_categories.hpp"

namespace diaglib {

const char* DiagErrorText(uint8_t code) {
  switch (code) {
    case 19:
      return "DIAG_BAD_CMD_F (19) received, bad command";
    case 20:
      return "DIAG_BAD_PARM_F (20) received, bad parameter";
    case 21:
      return "DIAG_BAD_LEN_F (21) received, bad request length";
    case 24:
      return "DIAG_BAD_MODE_F (24) received, command is invalid for the current mode";
    default:
      return nullptr;
  }
}

ContextTransport::ContextTransport(platform::Clock& clock, LibraryLog& log, uint16_t port_number)
    : log_(log), port_number_(port_number), listener_(&sync_queue_, log.Handler()), thread_(clock) {
  events_.AddListener(&listener_, nullptr);
  thread_.SetPacketSink(&events_);
  thread_.SetListener(&listener_);
}

ContextTransport::~ContextTransport() {
  ClosePort();
  events_.Stop();
}

bool ContextTransport::OpenPort() {
  WriteLog(log_.Handler(), LOG_FN, "VODE Internal: OpenPort()");
  if (port_number_ == CVodeThreadInterface::kNullPort) always_connected_ = true;
  thread_.StartThread(port_number_);
  connected_ = thread_.IsConnected();
  // The first opening runs without a log handler, so its lines stay out of the log.
  if (connected_) thread_.SetLogHandler(log_.Handler());
  async_queue_.Clear();
  sync_queue_.Clear();
  return connected_;
}

bool ContextTransport::ClosePort() {
  thread_.PauseThread();
  thread_.StopThread();
  if (connected_) WriteLog(log_.Handler(), LOG_FN, "VODE Internal: ClosePort()");
  log_.StopLogging();
  connected_ = false;
  return true;
}

bool ContextTransport::EnsurePortOpen() {
  if (!thread_.IsConnected()) OpenPort();
  connected_ = thread_.IsConnected();
  return connected_;
}

bool ContextTransport::SendSync(const DiagRequest& request, DiagReply& reply) {
  DataLogFileHandler* log = log_.Handler();
  reply.bytes[0] = 0;
  WriteLog(log, LOG_IO, "VODE Desktop Sequencer Mode = false");
  if (EnsurePortOpen()) {
    const bool result = thread_.SendSync(request, reply, unclaimed_);
    connected_ = thread_.IsConnected();
    if (result) return true;
  }
  const char* text = DiagErrorText(reply.bytes[0]);
  if (text != nullptr) WriteLog(log, LOG_ERR, "ERROR:\t%s", text);
  return false;
}

bool ContextTransport::RequestRxFlush() { return thread_.RequestRxFlush(); }

void ContextTransport::SetAsyncMessageCallBack(VODE_AsyncMessageCallBack callback, int context) {
  listener_.SetAsyncMessageCallBack(callback, context);
}

bool ContextTransport::SetWriteTimeout(int ms) { return thread_.SetWriteTimeout(ms) != 0; }

void ContextTransport::SetReceiveTimeout(int ms) { thread_.SetReceiveTimeout(ms); }

}  // namespace diaglib
