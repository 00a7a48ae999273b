#include "diaglib/transport/thread_interface.hpp"

#include <chrono>
#include <cstring>
#include <memory>
#include <system_error>

#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/hex_dump.hpp"
#include "diaglib/log/log_categories.hpp"
#include "diaglib/transport/event_listener.hpp"
#include "diaglib/transport/hdlc_deframer.hpp"
#include "diaglib/transport/packet_queue.hpp"
#include "diaglib/transport/packet_dispatcher.hpp"
#include "platform/clock.hpp"

namespace diaglib {

namespace {

// True once `now` has reached `deadline`, across the tick count's wrap.
bool DeadlineReached(uint32_t now, uint32_t deadline) {
  return static_cast<int32_t>(now - deadline) >= 0;
}

}  // namespace

CVodeThreadInterface::CVodeThreadInterface(platform::Clock& clock,
                                           std::unique_ptr<platform::ComPort> port)
    : clock_(clock), serial_(clock, std::move(port)), ahdlc_(clock) {}

CVodeThreadInterface::~CVodeThreadInterface() {
  StopThread();
  if (reader_.joinable()) {
    // A reader that missed its acknowledgement still ends at its next pass.
    stop_request_.store(true);
    WakeReader(true);
    reader_.join();
  }
  serial_.Close();
}

void CVodeThreadInterface::Log(uint32_t category, const char* text) {
  WriteLog(log_.load(), category, "%s", text);
}

void CVodeThreadInterface::WakeReader(bool in_port) {
  {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    wake_.notify_all();
  }
  if (in_port) serial_.WakeWaiter();
}

void CVodeThreadInterface::SetLogHandler(DataLogFileHandler* handler) {
  log_.store(handler);
  serial_.SetLogHandler(handler);
  ahdlc_.SetLogHandler(handler);
}

bool CVodeThreadInterface::StartThread(uint16_t port_number) {
  if (thread_started_.load()) {
    if (PortOpenRequest()) {
      ResumeThread();
    } else {
      PauseThread();
    }
    return true;
  }
  if (!connected_.load()) {
    port_number_.store(port_number);
    null_port_.store(port_number == kNullPort);
    PortOpenRequest();
  }
  if (reader_.joinable()) reader_.join();  // one that was told to stop but never said so
  stop_request_.store(false);
  try {
    reader_ = std::thread(&CVodeThreadInterface::ReaderLoop, this);
  } catch (const std::system_error&) {
    // Without a reader no response can arrive: leave the link closed so that exchanges fail
    // at the port check instead of waiting for their time-out.
    PortCloseRequest();
    return true;
  }
  thread_started_.store(true);
  if (connected_.load()) {
    ResumeThread();
  } else {
    PauseThread();
  }
  return true;
}

bool CVodeThreadInterface::PortOpenRequest() {
  Log(LOG_IO, "Port open request, first close port");
  PortCloseRequest();
  Log(LOG_IO, "Port open request, proceed with open");
  const bool connected = null_port_.load() || serial_.Open(port_number_.load()) == 1;
  connected_.store(connected);
  if (connected) {
    ahdlc_.SetPort(&serial_);
    ahdlc_.SetLogHandler(log_.load());
    ResumeThread();
  } else {
    Log(LOG_IO, "Port open failed");
  }
  return connected;
}

bool CVodeThreadInterface::PortCloseRequest() {
  WriteLog(log_.load(), LOG_IO, "Port close request.  Connected = %d, User Defined Transport = %d",
           connected_.load() ? 1 : 0, 0);
  if (!connected_.load()) {
    Log(LOG_IO,
        "Port close was not issued because connected flag not set or user defined transport is "
        "being used");
    return true;
  }
  connected_.store(false);
  PauseThread();
  if (!null_port_.load()) serial_.Close();
  return true;
}

bool CVodeThreadInterface::PauseThread() {
  if (paused_.load()) {
    Log(LOG_IO, "CVodeThreadInterface::PauseThread - thread is already paused");
    return true;
  }
  // Without a reader nothing reads, and there is nobody to acknowledge.
  if (!thread_started_.load()) return true;
  pause_event_.Reset();
  paused_.store(false);
  pause_generation_.fetch_add(1);
  pause_request_.store(true);
  WakeReader(true);
  if (WaitEvent(clock_, pause_event_, kAckWaitMs)) {
    Log(LOG_IO, "CVodeThreadInterface::PauseThread - Thread Pause event ack succeeded");
    paused_.store(true);
    return true;
  }
  WriteLog(log_.load(), LOG_IO,
           "CVodeThreadInterface::PauseThread - Thread Pause event ack failed due to timeout=%d ms",
           static_cast<int>(kAckWaitMs));
  return false;
}

bool CVodeThreadInterface::ResumeThread() {
  paused_.store(false);
  pause_request_.store(false);
  // A paused reader waits on the condition alone.
  WakeReader(false);
  return true;
}

bool CVodeThreadInterface::StopThread() {
  if (!thread_started_.load()) return true;
  serial_.Close();
  stop_event_.Reset();
  connected_.store(false);
  stop_request_.store(true);
  WakeReader(true);
  Log(LOG_IO, "CVodeThreadInterface::StopThread - waiting for thread stop event");
  const bool stopped = WaitEvent(clock_, stop_event_, kAckWaitMs);
  thread_started_.store(false);
  if (!stopped) {
    Log(LOG_IO, "CVodeThreadInterface::StopThread - thread stop event was not received");
    return false;
  }
  Log(LOG_IO, "CVodeThreadInterface::StopThread - thread stop event was received");
  reader_.join();
  return true;
}

bool CVodeThreadInterface::RequestRxFlush() {
  serial_.FlushPCBuffer();
  flush_request_.store(true);
  return true;
}

void CVodeThreadInterface::IdlePass() {
  clock_.Wait(1, [this](uint32_t real_ms) {
    std::unique_lock<std::mutex> lock(wake_mutex_);
    return wake_.wait_for(lock, std::chrono::milliseconds(real_ms),
                          [this] { return pause_request_.load() || stop_request_.load(); });
  });
}

void CVodeThreadInterface::IdleUntilAsked() {
  std::unique_lock<std::mutex> lock(wake_mutex_);
  wake_.wait(lock, [this] { return pause_request_.load() || stop_request_.load(); });
}

void CVodeThreadInterface::ReaderLoop() {
  HdlcDeframer deframer([this](int size, const uint8_t* bytes) {
    if (sink_ != nullptr) sink_->AddPacket(size, bytes, 0, 0, 0, 0);
  });
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReadChunk]);
  // The pause request this reader acknowledged last; a request made again before the reader
  // noticed a resume in between is a new one and needs its own acknowledgement.
  uint32_t acknowledged = 0;
  while (!stop_request_.load()) {
    if (pause_request_.load()) {
      const uint32_t request = pause_generation_.load();
      if (acknowledged != request) {
        Log(LOG_IO, "THREAD: Pause Detected, Pause ACK event set attempt");
        pause_event_.Set();
        Log(LOG_IO, "THREAD: Pause ACK event set complete");
        acknowledged = request;
      }
      std::unique_lock<std::mutex> lock(wake_mutex_);
      wake_.wait(lock, [this, request] {
        return !pause_request_.load() || stop_request_.load() ||
               pause_generation_.load() != request;
      });
      continue;
    }
    acknowledged = 0;

    // Asleep until a byte arrives or a pause or stop wakes the wait: a quiet line costs nothing,
    // and a response is handled the moment it arrives.
    const CSerialPort::WaitResult wait = serial_.WaitForInput();
    if (pause_request_.load() || stop_request_.load()) continue;
    // A wake-up whose request was already seen and withdrawn.
    if (wait == CSerialPort::WaitResult::kWoken) continue;

    DataLogFileHandler* log = log_.load();
    deframer.SetLogHandler(log);
    int length = kReadChunk;
    if (ahdlc_.Receive(buffer.get(), &length, static_cast<unsigned>(receive_timeout_ms_.load())) &&
        length > 0) {
      WriteHexLog(log, LOG_IO, "THREAD READ (%d bytes): %s ", buffer.get(), length);
      if (flush_request_.exchange(false)) deframer.DropPartialFrame();
      deframer.DeframeChunk(buffer.get(), static_cast<size_t>(length));
    } else if (serial_.ReceiveFailed()) {
      // The device is gone (or the port closed): nothing more arrives until the caller's time-out
      // closes the port, whose pause or stop ends this wait.
      IdleUntilAsked();
    } else {
      // Readable without data, or a wait the platform could not make on a port that still reads:
      // at most one pass a millisecond rather than a spin.
      IdlePass();
    }
  }
  Log(LOG_IO, "THREAD: Stop thread request detected, setting stop ACK event");
  stop_event_.Set();
}

bool CVodeThreadInterface::SendSync(const DiagRequest& request, DiagReply& reply,
                                    SetAside* set_aside) {
  reply.length = 0;
  if (listener_ == nullptr) return false;
  DataLogFileHandler* log = log_.load();
  WriteHexLog(log, LOG_IO, "SEND (%d bytes):%s", request.bytes, request.length);

  PacketQueue& queue = *listener_->SyncResponseQueue();
  EmptyBeforeSending(queue, set_aside);
  const uint32_t start = clock_.TickCount();

  bool result = false;
  if (null_port_.load()) {
    Log(LOG_IO, "Send Sync skipped for NULL port");
  } else if (!ahdlc_.Send(request.bytes, request.length, request.timeout_ms, 0)) {
    Log(LOG_ERR, "Error. Send data failed.");
    PortCloseRequest();
  } else {
    WriteLog(log, LOG_IO, "OK\t Timeout=%d", request.timeout_ms);
    WriteLog(log, LOG_IO, "WRITE STACK TIME (ms):\t%d",
             static_cast<int>(clock_.TickCount() - start));
    result = AwaitReply(queue, request, reply, set_aside);
    if (!result) Log(LOG_ERR, "Error. Send Sync Read failed.");
  }
  WriteLog(log, LOG_IO, "CVodeThreadInterface::SendSync = result = %d", result ? 1 : 0);
  return result;
}

void CVodeThreadInterface::EmptyBeforeSending(PacketQueue& queue, SetAside* set_aside) {
  // The event first: a packet landing between the two is then emptied away with the rest
  // instead of staying queued without its signal, to be taken for this request's answer.
  queue.ArrivalEvent().Reset();
  if (set_aside == nullptr) {
    queue.Clear();
    return;
  }
  // What came before the request is no answer to it, but may be the answer to an earlier one.
  uint16_t queued = 0;
  uint8_t early[PacketQueue::kDataSize];
  while (queue.Pop(&queued, early)) {
    set_aside->Put(early, static_cast<uint16_t>(queued >= 2 ? queued - 2 : 0));
  }
}

bool CVodeThreadInterface::AwaitReply(PacketQueue& queue, const DiagRequest& request,
                                      DiagReply& reply, SetAside* set_aside) {
  DataLogFileHandler* log = log_.load();
  const uint32_t sent = clock_.TickCount();
  if (request.wait_ms > 0) clock_.Pause(static_cast<uint32_t>(request.wait_ms));
  const uint32_t timeout = request.timeout_ms > 0 ? static_cast<uint32_t>(request.timeout_ms) : 0;
  const uint32_t deadline = clock_.TickCount() + timeout;
  uint32_t left = timeout;
  uint8_t packet[PacketQueue::kDataSize];
  for (;;) {
    WaitEvent(clock_, queue.ArrivalEvent(), left);
    // One signal may stand for several packets: take all that are queued.
    uint16_t length = 0;
    while (queue.Pop(&length, packet)) {
      const uint16_t without_crc = static_cast<uint16_t>(length >= 2 ? length - 2 : 0);
      const bool this_code = packet[0] == request.expected_code;
      if ((this_code || request.any_code) && request.answers &&
          !request.answers(packet, without_crc)) {
        WriteHexLog(log, LOG_ERR, "Stale response dropped (%d bytes):%s", packet, without_crc);
        if (set_aside != nullptr) set_aside->Put(packet, without_crc);
        continue;
      }
      const uint16_t capacity = reply.capacity;
      std::memcpy(reply.bytes, packet, length < capacity ? length : capacity);
      reply.length = without_crc < capacity ? without_crc : capacity;
      if (this_code || request.any_code) {
        WriteLog(log, LOG_IO, "READ STACK TIME (ms):\t%d",
                 static_cast<int>(clock_.TickCount() - sent));
        return true;
      }
      WriteLog(log, LOG_ERR,
               "Received different response command byte (0x%X)than was requested (0x%X)",
               packet[0], request.length > 0 ? request.bytes[0] : 0);
      // A DIAG error answer, or another command's: the port stays open for the next request
      // unless the deadline has passed as well.
      if (DeadlineReached(clock_.TickCount(), deadline)) PortCloseRequest();
      return false;
    }
    const uint32_t now = clock_.TickCount();
    if (DeadlineReached(now, deadline)) {
      PortCloseRequest();
      return false;
    }
    left = deadline - now;
  }
}

}  // namespace diaglib
