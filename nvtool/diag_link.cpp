#include "nvtool/diag_link.hpp"

#include <cstring>

#include "common/diag_frame.hpp"
#include "nvtool/diag_link_frames.hpp"
#include "nvtool/wide_text.hpp"

namespace nvtool {
namespace {

constexpr uint32_t kQueueSize = 4096;
constexpr uint16_t kPropertiesPacketLength = 64;
constexpr uint32_t kPurgeBoth = platform::kPurgeTxClear | platform::kPurgeRxClear;

constexpr size_t kVersionReplyMax = 55;
constexpr int kVersionReadAttempts = 50;
constexpr size_t kModeReplyMax = 3;
constexpr int kModeReadAttempts = 100;
constexpr int kModeSends = 5;

}  // namespace

void DiagLink::Close() {
  if (port_) port_->Close();
  port_.reset();
  open_ = false;
}

uint32_t DiagLink::FailOpen(uint32_t fallback_code) {
  const uint32_t code = port_->LastError();
  Close();
  return code != 0 ? code : fallback_code;
}

// Reads return with the first bytes to come within the attempt's time; writes are bounded.
void DiagLink::ApplyReadAttemptTimeouts() {
  platform::CommTimeouts& timeouts = timeouts_;
  timeouts = platform::CommTimeouts{};
  port_->GetTimeouts(&timeouts);
  timeouts.ReadIntervalTimeout = platform::kMaxDword;
  timeouts.ReadTotalTimeoutMultiplier = platform::kMaxDword;
  timeouts.ReadTotalTimeoutConstant = kReadAttemptMs;
  timeouts.WriteTotalTimeoutMultiplier = 1;
  timeouts.WriteTotalTimeoutConstant = 50;
  port_->SetTimeouts(timeouts);
}

// 115200 baud, 8 data bits, no parity, one stop bit, no flow control, RTS and DTR on, and the
// frame flag as the event character; the driver's values for the rest.
platform::LineSettings DiagLink::DiagLineSettings() {
  platform::LineSettings line;
  port_->GetState(&line);
  line.BaudRate = 115200;
  line.ByteSize = 8;
  line.Parity = platform::kNoParity;
  line.StopBits = platform::kOneStopBit;
  line.fBinary = true;
  line.fParity = false;
  line.fOutxCtsFlow = false;
  line.fOutxDsrFlow = false;
  line.fDtrControl = platform::kDtrControlEnable;
  line.fDsrSensitivity = false;
  line.fTXContinueOnXoff = false;
  line.fOutX = false;
  line.fInX = false;
  line.fErrorChar = false;
  line.fNull = false;
  line.fRtsControl = platform::kRtsControlEnable;
  line.fAbortOnError = false;
  line.XonLim = 0;
  line.XoffLim = 0;
  line.XonChar = 0;
  line.XoffChar = 0;
  line.ErrorChar = 0;
  line.EofChar = 0;
  line.EvtChar = static_cast<char>(common::kFrameFlag);
  return line;
}

uint32_t DiagLink::OpenComPort(int port) {
  Close();
  port_ = make_port_(clock_);
  if (!port_) return kErrorGenFailure;
  const uint32_t opened = port_->Open(port, platform::IoMode::kBlocking);
  if (opened != 0) {
    port_.reset();
    return opened;
  }
  open_ = true;

  if (!port_->Setup(kQueueSize, kQueueSize)) return FailOpen(kErrorGenFailure);

  platform::CommProperties properties;
  properties.wPacketLength = kPropertiesPacketLength;
  port_->GetProperties(&properties);
  // Without interval time-outs a read could not return with what is buffered.
  if ((properties.dwProvCapabilities & platform::kPcfIntTimeouts) == 0) {
    Close();
    return kErrorNotSupported;
  }

  ApplyReadAttemptTimeouts();
  if (!port_->SetState(DiagLineSettings())) return FailOpen(kErrorGenFailure);

  port_->Escape(platform::CommFunction::kSetRts);
  port_->Escape(platform::CommFunction::kClrDtr);
  port_->Purge(kPurgeBoth);
  return 0;
}

bool DiagLink::SendDiagFrame(const uint8_t* packet, size_t length) {
  const size_t frame_length = common::EncodeFrame(packet, length, frame_.data(), frame_.size());
  if (frame_length == 0 || !IsOpen()) return false;
  uint32_t written = 0;
  const bool wrote = port_->Write(frame_.data(), static_cast<uint32_t>(frame_length), &written);
  return wrote && port_->LastError() == 0;
}

ReplyCheck AnswersRequest(const uint8_t* request, size_t echoed) {
  std::array<uint8_t, kLongestEcho> echo{};
  if (echoed > echo.size()) echoed = echo.size();
  std::memcpy(echo.data(), request, echoed);
  return [echo, echoed](const uint8_t* packet, size_t length) {
    // A DIAG error answer names no request but is the answer to the one just sent.
    if (length >= 1 && IsDiagErrorCode(packet[0])) return true;
    return length >= echoed && std::memcmp(packet, echo.data(), echoed) == 0;
  };
}

bool DiagLink::TakeFrame(const uint8_t* frame, size_t frame_length, uint8_t* packet,
                         size_t capacity, size_t* length, const ReplyCheck& answers) {
  if (!DecodeFrame(frame, frame_length, packet, capacity, length)) {
    out_.Console("\n diag crc error");
    return false;
  }
  if (answers && !answers(packet, *length)) {
    // A log or event packet, or a late answer to another request: not this reply.
    out_.Console(Format("\n diag frame 0x%02X of %u bytes dropped, not the reply", packet[0],
                        static_cast<unsigned>(*length)));
    *length = 0;
    return false;
  }
  return true;
}

bool DiagLink::ReceiveDiagFrame(uint8_t* packet, size_t capacity, size_t* length,
                                const ReplyCheck& answers) {
  *length = 0;
  received_.fill(0);
  if (!IsOpen()) return false;

  // A read may bring several frames (a device's log packets beside its reply), each checked on
  // its own, and a reply may reach us in pieces: keep reading within the attempt until a frame
  // answers. A read for the rest waits only for what is left of the attempt's time.
  const uint32_t start = clock_.TickCount();
  size_t count = 0;  // bytes of an unfinished frame at the front of received_
  bool shortened = false;
  bool taken = false;
  for (;;) {
    uint32_t got = 0;
    const bool read = port_->Read(received_.data() + count,
                                  static_cast<uint32_t>(received_.size() - count), &got);
    if (!read || port_->LastError() != 0) {
      count = 0;
      break;
    }
    count += got;
    const size_t used =
        ForEachCompleteFrame(received_.data(), count, [&](const uint8_t* frame, size_t size) {
          taken = TakeFrame(frame, size, packet, capacity, length, answers);
          return taken;
        });
    if (taken) break;
    std::memmove(received_.data(), received_.data() + used, count - used);
    count -= used;
    // A frame that fills the whole buffer without its closing flag can never be checked.
    if (got == 0 || count == received_.size()) break;
    const uint32_t elapsed = clock_.TickCount() - start;
    if (elapsed >= kReadAttemptMs) break;
    platform::CommTimeouts rest = timeouts_;
    rest.ReadTotalTimeoutConstant = kReadAttemptMs - elapsed;
    port_->SetTimeouts(rest);
    shortened = true;
  }
  if (shortened) port_->SetTimeouts(timeouts_);
  // What is left when the time is up is taken as a frame whose closing flag never came.
  if (!taken && count > 0 && count < received_.size()) {
    taken = TakeFrame(received_.data(), count, packet, capacity, length, answers);
  }
  return taken;
}

bool DiagLink::DiagTransact(const uint8_t* request, size_t length, uint8_t* reply,
                            size_t longest_reply, int read_attempts, size_t* reply_length,
                            const ReplyCheck& answers) {
  if (IsOpen()) port_->Purge(kPurgeBoth);
  if (!SendDiagFrame(request, length)) return false;
  std::array<uint8_t, kDiagBufferSize> packet{};
  for (int attempt = 0; attempt < read_attempts; ++attempt) {
    size_t received = 0;
    if (ReceiveDiagFrame(packet.data(), packet.size(), &received, answers)) {
      if (received > longest_reply) return false;
      std::memcpy(reply, packet.data(), received);
      if (reply_length) *reply_length = received;
      return true;
    }
    clock_.Pause(1);
  }
  return false;
}

bool DiagLink::DiagVersionRequest() {
  const uint8_t request[1] = {kDiagVersionCode};
  std::array<uint8_t, kVersionReplyMax> reply{};
  if (DiagTransact(request, sizeof request, reply.data(), reply.size(), kVersionReadAttempts,
                   nullptr, AnswersRequest(request, 1))) {
    out_.Console("\n [Diag] Version Request ok\n");
    return true;
  }
  out_.Console("\n [Diag] Version Request fail\n");
  return false;
}

bool DiagLink::ChangePhoneMode(uint8_t mode) {
  const uint8_t request[3] = {kDiagModeCode, mode, 0x00};
  std::array<uint8_t, kModeReplyMax> reply{};
  for (int send = 0; send < kModeSends; ++send) {
    size_t received = 0;
    // Only bytes this reply carried may decide, not what an earlier, shorter one left behind.
    if (DiagTransact(request, sizeof request, reply.data(), reply.size(), kModeReadAttempts,
                     &received, AnswersRequest(request, 2)) &&
        received >= 2 && reply[0] == kDiagModeCode && reply[1] == mode) {
      return true;
    }
  }
  return false;
}

}  // namespace nvtool
