// One library context's DIAG object: its log, its transport, its command packet, the 20-entry
// time-out table, the client's callbacks and the FTM command code. All of it is used from the
// one caller thread of the context; the transport brings its own threads.
#pragma once

#include <cstdint>

#include "diaglib/api/vode.hpp"
#include "diaglib/commands/command_packet.hpp"
#include "diaglib/commands/diag_session.hpp"
#include "diaglib/commands/reply_ledger.hpp"
#include "diaglib/log/library_log.hpp"
#include "diaglib/transport/context_transport.hpp"

namespace platform {
class Clock;
}

namespace diaglib {

inline constexpr char kTimeOutConfigFile[] = "DUVUZUVConfig.txt";

class Diag_Phone final : public diaglib::DiagSession {
 public:
  // Defaults first, then the log's automatic start, the default time-outs in their order and
  // the optional time-out file, so that the file log records the time-out setup.
  // `outside_server_mode`: the library mode when the context is built; the port time-outs then
  // belong to the outside server and are neither set nor settable here.
  Diag_Phone(platform::Clock& clock, uint16_t port, int context_value,
             bool outside_server_mode = false);
  ~Diag_Phone() override;
  Diag_Phone(const Diag_Phone&) = delete;
  Diag_Phone& operator=(const Diag_Phone&) = delete;

  bool ConfigureTimeOut(int id, int value_ms);
  int GetTimeOut(int id) override;
  int TimeOutValue(int id) const override;

  bool OpenPort() override;
  bool ClosePort();
  bool IsPortOpen() override;
  bool EnsurePortOpen() override;
  bool AlwaysConnected() override;
  diaglib::DiagLink& Link() override { return link_; }
  diaglib::ReplyLedger& Ledger() override { return ledger_; }
  bool FlushRxBuffer();

  void SetEfs2CallBacks(VODE_Efs2ProgressCallBack progress, VODE_Efs2DirCallBack directory);
  void SetAsyncMessageCallBack(VODE_AsyncMessageCallBack callback);
  void SetTextLogCallBack(VODE_TextLogCallBack callback);

  uint32_t FtmCommandCode() const { return ftm_command_code_; }
  uint16_t Port() const { return port_; }
  LibraryLog& Log() { return log_; }

  platform::Clock& Clock() override { return clock_; }
  DataLogFileHandler* LogHandler() override { return log_.Handler(); }
  diaglib::CommandPacket& Packet() override { return packet_; }
  VODE_Efs2ProgressCallBack ProgressCallBack() const override { return progress_; }
  VODE_Efs2DirCallBack DirectoryCallBack() const override { return directory_; }
  int ContextValue() const override { return context_value_; }

 private:
  void ApplyDefaultTimeOuts();
  void ReadTimeOutConfigFile();

  platform::Clock& clock_;
  const uint16_t port_;
  const int context_value_;
  const bool outside_server_mode_;
  uint32_t ftm_command_code_;
  VODE_Efs2ProgressCallBack progress_ = nullptr;
  VODE_Efs2DirCallBack directory_ = nullptr;
  LibraryLog log_;
  // Declared before the link, which puts into it the packets no exchange takes, so it outlives
  // the link.
  diaglib::ReplyLedger ledger_;
  ContextTransport link_;
  diaglib::CommandPacket packet_;
  int timeouts_[diaglib::kTimeOutCount] = {};
};

}  // namespace diaglib
