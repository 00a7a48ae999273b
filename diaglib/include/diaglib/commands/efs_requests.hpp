// EFS2 requests: subsystem-dispatch packets for subsystem 0x13, built in bounded buffers, and
// the one exchange loop every EFS2 operation uses for its repeated attempts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "diaglib/commands/diag_session.hpp"

namespace diaglib {

inline constexpr uint8_t kSubsystemEfs2 = 0x13;

enum Efs2Command : uint16_t {
  kEfs2Open = 2,
  kEfs2Close = 3,
  kEfs2Write = 5,
  kEfs2Unlink = 8,
  kEfs2MkDir = 9,
  kEfs2RmDir = 10,
  kEfs2OpenDir = 11,
  kEfs2ReadDir = 12,
  kEfs2CloseDir = 13,
  kEfs2StatFs = 19,
};

inline constexpr size_t kEfs2RequestLimit = 256;
inline constexpr int kEfs2TimeOutMs = 2000;
inline constexpr int kEfs2Attempts = 5;
inline constexpr size_t kEfs2HeaderSize = 4;

// An EFS2 request of at most kEfs2RequestLimit bytes. Anything that would not fit marks the
// request as too long instead of being cut, so a truncated path is never sent.
class Efs2Request {
 public:
  explicit Efs2Request(uint16_t command);

  void AddU16(uint16_t value);
  void AddU32(uint32_t value);
  void AddPath(const char* path);  // with its terminator

  bool TooLong() const { return too_long_; }
  const uint8_t* Bytes() const { return bytes_; }
  uint16_t Length() const { return static_cast<uint16_t>(length_); }

 private:
  bool Room(size_t count);

  uint8_t bytes_[kEfs2RequestLimit];
  size_t length_ = 0;
  bool too_long_ = false;
};

// Fills the 4-byte header (0x4B, 0x13, command) in front of a request built elsewhere.
void PutEfs2Header(uint8_t* at, uint16_t command);

// Judges one received response (length already known to hold the repeated header).
using Efs2Accept = std::function<bool(const uint8_t* response, uint16_t length)>;

// What an EFS2 operation takes as its answer: a reply that repeats the request's header, holds at
// least `minimum_length` bytes and that `accept` agrees with. A reply that does not repeat the
// request's first `echoed` bytes (the header, and where the command echoes them its handle and
// offset or sequence number) is a late answer to another request.
struct Efs2Answer {
  uint16_t minimum_length;
  Efs2Accept accept;
  int attempts = kEfs2Attempts;
  size_t echoed = kEfs2HeaderSize;
};

// Sends the request up to `answer.attempts` times with the fixed EFS2 time-out, until an attempt
// brings back its answer. The reply is cleared before each try, so nothing of a failed attempt
// can pass for a later answer. A late answer to another request is dropped while the attempt
// waits on, so that a non-repeatable request (close, remove) is not sent twice for it. Every
// exchange goes into the context's reply ledger: the answer taken is settled there, and a failed
// attempt marks the line disturbed, so the next request waits for a marker first.
bool ExchangeEfs2(DiagSession& session, const uint8_t* request, uint16_t request_length,
                  DiagReply& reply, const Efs2Answer& answer);

}  // namespace diaglib
