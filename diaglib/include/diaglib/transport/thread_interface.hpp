// A context's serial link with its reader thread: opens and closes the port, keeps one reader
// that de-frames what arrives and hands packets to the dispatcher, and exchanges one request
// for its response.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "diaglib/transport/prot_ahdlc.hpp"
#include "diaglib/transport/diag_exchange.hpp"
#include "diaglib/transport/serial_port.hpp"
#include "diaglib/transport/sync_event.hpp"

namespace platform {
class Clock;
class ComPort;
}  // namespace platform

namespace diaglib {
class CVodeEventListener;
class CVodeEvents;
class DataLogFileHandler;
class HdlcDeframer;
class PacketQueue;

class CVodeThreadInterface {
 public:
  static constexpr uint16_t kNullPort = 0xFFFE;  // no device is opened and nothing is sent
  static constexpr int kReadChunk = 40960;
  static constexpr uint32_t kAckWaitMs = 1000;
  static constexpr int kDefaultReceiveTimeoutMs = 500;

  // `port` replaces the platform's COM port (tests); null takes the platform's.
  explicit CVodeThreadInterface(platform::Clock& clock,
                                std::unique_ptr<platform::ComPort> port = nullptr);
  ~CVodeThreadInterface();  // stops the reader and closes the port
  CVodeThreadInterface(const CVodeThreadInterface&) = delete;
  CVodeThreadInterface& operator=(const CVodeThreadInterface&) = delete;

  // Set once while the context is built, before StartThread.
  void SetPacketSink(CVodeEvents* sink) { sink_ = sink; }
  void SetListener(CVodeEventListener* listener) { listener_ = listener; }

  // Opens the port (the first call fixes the port number) and makes sure a reader runs.
  bool StartThread(uint16_t port_number);
  bool PortOpenRequest();
  bool PortCloseRequest();
  bool PauseThread();
  bool ResumeThread();
  bool StopThread();
  // Discards what the driver holds and makes the reader drop its partial frame.
  bool RequestRxFlush();
  // One request for its answer. A packet of the expected code that the request's match
  // rejects is stale: with `set_aside` given it goes there, as do the packets still queued when
  // the request goes out; without, they are dropped unseen.
  bool SendSync(const DiagRequest& request, DiagReply& reply, SetAside* set_aside = nullptr);

  void SetLogHandler(DataLogFileHandler* handler);
  void SetReceiveTimeout(int ms) { receive_timeout_ms_.store(ms); }
  int SetWriteTimeout(int ms) { return serial_.SetWriteTimeout(ms); }

  bool IsConnected() const { return connected_.load(); }
  bool ThreadStarted() const { return thread_started_.load(); }
  uint16_t PortNumber() const { return port_number_.load(); }

 private:
  // The two halves of an exchange around the request going out.
  static void EmptyBeforeSending(PacketQueue& queue, SetAside* set_aside);
  bool AwaitReply(PacketQueue& queue, const DiagRequest& request, DiagReply& reply,
                  SetAside* set_aside);
  void ReaderLoop();
  // One pass's worth of waiting when there is nothing to wait on: ends early on a pause or stop.
  void IdlePass();
  // Waits for a pause or stop request, without limit.
  void IdleUntilAsked();
  // Wakes the reader wherever it waits: on the condition and, `in_port`, in the port's wait.
  void WakeReader(bool in_port);
  void Log(uint32_t category, const char* text);

  platform::Clock& clock_;
  CSerialPort serial_;
  CProtAHDLC ahdlc_;
  CVodeEvents* sink_ = nullptr;
  CVodeEventListener* listener_ = nullptr;
  std::atomic<DataLogFileHandler*> log_{nullptr};

  // Requests written by the caller's thread and polled by the reader on every pass.
  std::atomic<bool> stop_request_{false};
  std::atomic<bool> pause_request_{false};
  std::atomic<bool> flush_request_{false};
  std::atomic<bool> paused_{false};
  std::atomic<uint32_t> pause_generation_{0};  // counts pause requests; 0 names none
  std::atomic<bool> connected_{false};
  std::atomic<bool> null_port_{false};
  std::atomic<bool> thread_started_{false};
  std::atomic<uint16_t> port_number_{0};
  std::atomic<int> receive_timeout_ms_{kDefaultReceiveTimeoutMs};

  // Acknowledgements from the reader, one pair per interface (manual reset; set by the reader,
  // reset and waited for by the caller's thread).
  SyncEvent stop_event_{SyncEvent::Mode::kManualReset};
  SyncEvent pause_event_{SyncEvent::Mode::kManualReset};
  // Owned by this interface; lets a paused reader, or one whose port failed, sleep until a
  // resume, pause or stop instead of polling. Guards nothing but the wake-up itself.
  std::mutex wake_mutex_;
  std::condition_variable wake_;

  std::thread reader_;  // started and joined on the caller's thread
};

}  // namespace diaglib
