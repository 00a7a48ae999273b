// The NV writer's own DIAG client: one blocking COM port, framed requests, framed replies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "nvtool/environment.hpp"
#include "nvtool/output_channels.hpp"
#include "platform/clock.hpp"
#include "platform/com_port.hpp"

namespace nvtool {

inline constexpr size_t kDiagBufferSize = 2048;
// How long one read attempt may take for a whole reply to come in.
inline constexpr uint32_t kReadAttemptMs = 500;

inline constexpr uint8_t kDiagVersionCode = 0x00;
inline constexpr uint8_t kDiagModeCode = 0x29;
inline constexpr uint8_t kModeOffline = 1;
inline constexpr uint8_t kModeReset = 2;

// Returned by OpenComPort when the port lacks a needed capability or the failing call left no
// platform code behind (ERROR_NOT_SUPPORTED, ERROR_GEN_FAILURE).
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorGenFailure = 31;

// Tells whether a received packet answers the request just sent.
using ReplyCheck = std::function<bool(const uint8_t* packet, size_t length)>;
inline constexpr size_t kLongestEcho = 8;

inline bool IsDiagErrorCode(uint8_t code) {
  return code == 0x13 || code == 0x14 || code == 0x15 || code == 0x18;
}

// Accepts a packet that repeats the request's first `echoed` bytes (at most kLongestEcho: the
// code, and an item id or mode where the reply repeats it), and a DIAG error answer.
ReplyCheck AnswersRequest(const uint8_t* request, size_t echoed);

class DiagLink {
 public:
  DiagLink(platform::Clock& clock, PortFactory make_port, OutputChannels& out)
      : clock_(clock), make_port_(std::move(make_port)), out_(out) {}

  // Opens COM<port> blocking, with the line settings and time-outs the device link needs.
  // 0, or the platform's error code with no port left open.
  uint32_t OpenComPort(int port);
  void Close();
  bool IsOpen() const { return open_; }

  bool SendDiagFrame(const uint8_t* packet, size_t length);
  // One read attempt: on true `packet` (of `capacity` bytes) holds the checked packet, the
  // first whole frame of the attempt with a good CRC that `answers` accepts (any, when empty).
  // Other frames are dropped with a console line, and the attempt reads on within its time.
  bool ReceiveDiagFrame(uint8_t* packet, size_t capacity, size_t* length,
                        const ReplyCheck& answers = {});
  // Sends once and makes up to `read_attempts` read attempts, 1 ms apart. A reply longer than
  // `longest_reply` ends the exchange at once. On true `reply` holds the reply packet and
  // *reply_length (when given) its size.
  bool DiagTransact(const uint8_t* request, size_t length, uint8_t* reply, size_t longest_reply,
                    int read_attempts, size_t* reply_length = nullptr,
                    const ReplyCheck& answers = {});
  bool DiagVersionRequest();
  bool ChangePhoneMode(uint8_t mode);

 private:
  uint32_t FailOpen(uint32_t fallback_code);
  // Decodes one frame into `packet`; true when its CRC is good and it answers.
  bool TakeFrame(const uint8_t* frame, size_t frame_length, uint8_t* packet, size_t capacity,
                 size_t* length, const ReplyCheck& answers);
  // Steps of the opening: the read-attempt time-outs, then the line settings to set.
  void ApplyReadAttemptTimeouts();
  platform::LineSettings DiagLineSettings();

  platform::Clock& clock_;
  PortFactory make_port_;
  OutputChannels& out_;
  std::unique_ptr<platform::ComPort> port_;
  bool open_ = false;
  platform::CommTimeouts timeouts_;  // as set at open; restored after a shortened read
  std::array<uint8_t, kDiagBufferSize> frame_{};
  std::array<uint8_t, kDiagBufferSize> received_{};
};

}  // namespace nvtool
