#include "nvtool/diag_link.hpp"

#include <cstring>

#include "common/diag_frame.hpp"

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

// A reply is complete once a flag closes some frame content; a flag with nothing before it
// is only a leading flag and the reply is still to come.
bool ClosingFlagArrived(const uint8_t* bytes, size_t count) {
  if (count < 2 || bytes[count - 1] != common::kFrameFlag) return false;
  for (size_t i = 0; i + 1 < count; ++i) {
    if (bytes[i] != common::kFrameFlag) return true;
  }
  return false;
}

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

bool DiagLink::ReceiveDiagFrame(uint8_t* packet, size_t capacity, size_t* length) {
  *length = 0;
  received_.fill(0);
  unescaped_.fill(0);
  if (!IsOpen()) return false;

  // A reply may reach us in pieces: keep reading within the attempt until its closing flag.
  // A read for the rest waits only for what is left of the attempt's time.
  const uint32_t start = clock_.TickCount();
  size_t count = 0;
  bool shortened = false;
  bool failed = false;
  for (;;) {
    uint32_t got = 0;
    const bool read = port_->Read(received_.data() + count,
                                  static_cast<uint32_t>(received_.size() - count), &got);
    if (!read || port_->LastError() != 0) {
      failed = true;
      break;
    }
    count += got;
    if (got == 0 || count == received_.size() || ClosingFlagArrived(received_.data(), count)) break;
    const uint32_t elapsed = clock_.TickCount() - start;
    if (elapsed >= kReadAttemptMs) break;
    platform::CommTimeouts rest = timeouts_;
    rest.ReadTotalTimeoutConstant = kReadAttemptMs - elapsed;
    port_->SetTimeouts(rest);
    shortened = true;
  }
  if (shortened) port_->SetTimeouts(timeouts_);
  if (failed) return false;
  if (count == 0) return false;

  // Flags in front of the reply are empty frames, which a peer may send to open its frame;
  // they carry nothing and are no part of the reply.
  size_t first = 0;
  while (first < count && received_[first] == common::kFrameFlag) ++first;
  if (first == count) return false;
  if (received_[count - 1] == common::kFrameFlag) --count;
  const size_t unescaped = common::UnescapeBytes(received_.data() + first, count - first,
                                                 unescaped_.data(), unescaped_.size());
  if (unescaped < 2 || !common::CrcResidueGood(unescaped_.data(), unescaped)) {
    out_.Console("\n diag crc error");
    return false;
  }
  const size_t packet_length = unescaped - 2;
  if (packet_length > capacity) return false;
  std::memcpy(packet, unescaped_.data(), packet_length);
  *length = packet_length;
  return true;
}

bool DiagLink::DiagTransact(const uint8_t* request, size_t length, uint8_t* reply,
                            size_t longest_reply, int read_attempts, size_t* reply_length) {
  if (IsOpen()) port_->Purge(kPurgeBoth);
  if (!SendDiagFrame(request, length)) return false;
  std::array<uint8_t, kDiagBufferSize> packet{};
  for (int attempt = 0; attempt < read_attempts; ++attempt) {
    size_t received = 0;
    if (ReceiveDiagFrame(packet.data(), packet.size(), &received)) {
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
  if (DiagTransact(request, sizeof request, reply.data(), reply.size(), kVersionReadAttempts)) {
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
                     &received) &&
        received >= 2 && reply[0] == kDiagModeCode && reply[1] == mode) {
      return true;
    }
  }
  return false;
}

}  // namespace nvtool
