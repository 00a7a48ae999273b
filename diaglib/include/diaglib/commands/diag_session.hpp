// What a DIAG command needs from its context: the exchange, the time-out table, the clock, the
// log, the shared command packet and the EFS2 callbacks. Diag_Phone provides it for a living
// context; unit tests provide a scripted one, so the commands can be driven byte by byte.
#pragma once

#include <cstdint>

#include "diaglib/log/vode_callbacks.hpp"
#include "diaglib/commands/command_packet.hpp"
#include "diaglib/transport/reply_match.hpp"

namespace platform {
class Clock;
}

namespace diaglib {

class DataLogFileHandler;
class ReplyLedger;

inline constexpr int kTimeOutCount = 20;
enum TimeOutId : int {
  kTimeOutDiagResponse = 0,
  kTimeOutPing = 1,
  kTimeOutConnectWait = 2,
  kTimeOutWrite = 7,
  kTimeOutReceive = 8,
  kTimeOutAfterFtm = 11,
  kTimeOutAfterOnline = 12,
  kTimeOutAfterOffline = 13,
  kTimeOutModeReadBack = 18,
};

class DiagSession {
 public:
  virtual ~DiagSession() = default;

  // One request and its response, with the port check before and the DIAG error report after.
  // `response_length` is the capacity on entry and the received length on return. Packets that
  // `answers` rejects (when given) are stale answers to earlier requests and never returned.
  virtual bool SendSync(uint16_t request_length, const uint8_t* request, uint16_t* response_length,
                        uint8_t* response, uint8_t expected_code, int timeout_ms, int wait_ms,
                        const ReplyMatch& answers) = 0;

  // The line marker's exchange: every packet that arrives before `answers` accepts one, of
  // whatever code, goes into the ledger; so does whatever was still queued when it went out.
  virtual bool SendMarker(uint16_t request_length, const uint8_t* request,
                          uint16_t* response_length, uint8_t* response, int timeout_ms,
                          const ReplyMatch& answers) = 0;
  // What the EFS2 operation in hand settled and set aside; SendSync feeds it too.
  virtual ReplyLedger& Ledger() = 0;

  // The table value as stored, without a log line.
  virtual int TimeOutValue(int id) const = 0;
  // The logged read; 0 for an id outside the table.
  virtual int GetTimeOut(int id) = 0;

  virtual bool IsPortOpen() = 0;
  virtual bool OpenPort() = 0;
  virtual bool EnsurePortOpen() = 0;
  // The null port: nothing is ever sent, yet the phone counts as present.
  virtual bool AlwaysConnected() = 0;

  virtual platform::Clock& Clock() = 0;
  // May be null: nothing is logged then.
  virtual DataLogFileHandler* LogHandler() = 0;
  virtual CommandPacket& Packet() = 0;

  virtual VODE_Efs2ProgressCallBack ProgressCallBack() const = 0;
  virtual VODE_Efs2DirCallBack DirectoryCallBack() const = 0;
  // The value handed to every callback: the context's handle as an int.
  virtual int ContextValue() const = 0;
};

}  // namespace diaglib
