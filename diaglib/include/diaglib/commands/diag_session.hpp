// What a DIAG command needs from its context: the link, the time-out table, the clock, the
// log, the shared command packet and the EFS2 callbacks. Diag_Phone provides it for a living
// context; unit tests provide a scripted one, so the commands can be driven byte by byte.
#pragma once

#include <cstdint>

#include "diaglib/log/vode_callbacks.hpp"
#include "diaglib/commands/command_packet.hpp"
#include "diaglib/transport/diag_exchange.hpp"

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

  // Where the commands send their requests: the context's transport itself, with the port check
  // before and the DIAG error report after. Every packet an exchange does not take as its answer
  // goes into the ledger.
  virtual DiagLink& Link() = 0;
  // What the EFS2 operation in hand settled and set aside.
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
