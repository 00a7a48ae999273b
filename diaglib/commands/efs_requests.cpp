#include "diaglib/commands/efs_requests.hpp"

#include <cstring>

#include "diaglib/commands/core_commands.hpp"
#include "diaglib/commands/line_marker.hpp"
#include "diaglib/commands/reply_ledger.hpp"
#include "diaglib/commands/reply_echo.hpp"
#include "diaglib/commands/wire_fields.hpp"

namespace diaglib {

Efs2Request::Efs2Request(uint16_t command) {
  PutEfs2Header(bytes_, command);
  length_ = kEfs2HeaderSize;
}

bool Efs2Request::Room(size_t count) {
  if (too_long_ || length_ + count > sizeof(bytes_)) {
    too_long_ = true;
    return false;
  }
  return true;
}

void Efs2Request::AddU16(uint16_t value) {
  if (!Room(2)) return;
  PutU16(bytes_ + length_, value);
  length_ += 2;
}

void Efs2Request::AddU32(uint32_t value) {
  if (!Room(4)) return;
  PutU32(bytes_ + length_, value);
  length_ += 4;
}

void Efs2Request::AddPath(const char* path) {
  const size_t count = std::strlen(path) + 1;
  if (!Room(count)) return;
  std::memcpy(bytes_ + length_, path, count);
  length_ += count;
}

void PutEfs2Header(uint8_t* at, uint16_t command) {
  at[0] = kCmdSubsystemDispatch;
  at[1] = kSubsystemEfs2;
  PutU16(at + 2, command);
}

bool ExchangeEfs2(DiagSession& session, const uint8_t* request, uint16_t request_length,
                  DiagReply& reply, const Efs2Answer& answer) {
  const uint16_t minimum_length =
      answer.minimum_length < kEfs2HeaderSize ? kEfs2HeaderSize : answer.minimum_length;
  DiagRequest exchange;
  exchange.bytes = request;
  exchange.length = request_length;
  exchange.expected_code = kCmdSubsystemDispatch;
  exchange.timeout_ms = kEfs2TimeOutMs;
  exchange.answers = RepeatsRequest(request, 0, answer.echoed);
  ReplyLedger& ledger = session.Ledger();
  for (int attempt = 0; attempt < answer.attempts; ++attempt) {
    // After a time-out or a turned-down answer, the answers still on their way arrive before
    // the marker's echo, so none of them can pass for the answer to what is sent next.
    if (!ClearLineIfDisturbed(session)) return false;
    std::memset(reply.bytes, 0, reply.capacity);
    if (!session.Link().SendSync(exchange, reply)) {
      ledger.Disturb();
      continue;
    }
    if (reply.length >= minimum_length && std::memcmp(reply.bytes, request, kEfs2HeaderSize) == 0 &&
        answer.accept(reply.bytes, reply.length)) {
      ledger.Settle(request, answer.echoed, reply.bytes, reply.length);
      return true;
    }
    ledger.Disturb();
  }
  return false;
}

}  // namespace diaglib
