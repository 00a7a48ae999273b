#include "diaglib/api/diag_phone.hpp"

#include <cstdio>
#include <string_view>

#include "diaglib/commands/core_commands.hpp"
#include "platform/clock.hpp"

namespace diaglib {

namespace {

struct DefaultTimeOut {
  int id;
  int value_ms;
};

// The order is the one the log shows; the two port time-outs come last because setting them
// reaches into the transport.
constexpr DefaultTimeOut kDefaultTimeOuts[] = {
    {0, 4000}, {1, 80},     {2, 200},   {3, 3000},  {4, 6000}, {5, 10000},  {6, 10000},
    {9, 3000}, {10, 10000}, {16, 5000}, {17, 2000}, {18, 500}, {19, 10000}, {11, 150},
    {12, 140}, {13, 3000},  {14, 100},  {15, 100},  {7, 900},  {8, 900},
};

constexpr int kConfigLineSize = 80;

}  // namespace

Diag_Phone::Diag_Phone(platform::Clock& clock, uint16_t port, int context_value,
                       bool outside_server_mode)
    : clock_(clock),
      port_(port),
      context_value_(context_value),
      outside_server_mode_(outside_server_mode),
      ftm_command_code_(diaglib::kFtmCommandCode),
      log_(clock),
      link_(clock, log_, port) {
  link_.KeepUnclaimedIn(&ledger_);
  log_.AutoStart();
  ApplyDefaultTimeOuts();
  ReadTimeOutConfigFile();
}

Diag_Phone::~Diag_Phone() = default;

void Diag_Phone::ApplyDefaultTimeOuts() {
  for (const DefaultTimeOut& entry : kDefaultTimeOuts) {
    const bool port_time_out =
        entry.id == diaglib::kTimeOutWrite || entry.id == diaglib::kTimeOutReceive;
    if (!port_time_out || !outside_server_mode_) ConfigureTimeOut(entry.id, entry.value_ms);
  }
}

void Diag_Phone::ReadTimeOutConfigFile() {
  std::FILE* file = std::fopen(kTimeOutConfigFile, "r");
  if (file == nullptr) return;
  char line[kConfigLineSize];
  while (std::fgets(line, sizeof(line), file) != nullptr) {
    char word[kConfigLineSize];
    int value = 0;
    if (std::sscanf(line, "%79s %d", word, &value) != 2) continue;
    if (std::string_view(word) == "ConnectDelay") {
      ConfigureTimeOut(diaglib::kTimeOutPing, value);
      ConfigureTimeOut(diaglib::kTimeOutConnectWait, value);
    }
  }
  std::fclose(file);
}

bool Diag_Phone::ConfigureTimeOut(int id, int value_ms) {
  DataLogFileHandler* log = log_.Handler();
  WriteLog(log, LOG_FN, "VODE_ConfigureTimeOut( eTimeOutId = %d, iNewValue_ms = %d)", id, value_ms);
  if (id < 0 || id >= diaglib::kTimeOutCount) {
    WriteLog(log, LOG_RET, "VODE_ConfigureTimeOut() -- Error, invalid ID.");
    return false;
  }
  timeouts_[id] = value_ms;
  if ((id == diaglib::kTimeOutWrite || id == diaglib::kTimeOutReceive) && outside_server_mode_) {
    WriteLog(log, LOG_FN,
             "VODE_ConfigureTimeOut() - error, this timeout cannot be set in Tovik mode");
    return false;
  }
  if (id == diaglib::kTimeOutWrite) return link_.SetWriteTimeout(value_ms);
  if (id == diaglib::kTimeOutReceive) link_.SetReceiveTimeout(value_ms);
  return true;
}

int Diag_Phone::GetTimeOut(int id) {
  DataLogFileHandler* log = log_.Handler();
  WriteLog(log, LOG_FN, "VODE_GetTimeOut( eTimeOutId = %d )", id);
  if (id < 0 || id >= diaglib::kTimeOutCount) {
    WriteLog(log, LOG_RET, "VODE_GetTimeOut() -- Error, invalid ID.");
    return 0;
  }
  WriteLog(log, LOG_RET, "VODE_GetTimeOut( eTimeOutId = %d, iNewValue_ms = %d)", id, timeouts_[id]);
  return timeouts_[id];
}

int Diag_Phone::TimeOutValue(int id) const {
  return id >= 0 && id < diaglib::kTimeOutCount ? timeouts_[id] : 0;
}

bool Diag_Phone::OpenPort() { return link_.OpenPort(); }
bool Diag_Phone::ClosePort() { return link_.ClosePort(); }
bool Diag_Phone::IsPortOpen() { return link_.IsConnected(); }
bool Diag_Phone::EnsurePortOpen() { return link_.EnsurePortOpen(); }
bool Diag_Phone::AlwaysConnected() { return link_.AlwaysConnected(); }

bool Diag_Phone::FlushRxBuffer() { return !outside_server_mode_ && link_.RequestRxFlush(); }

void Diag_Phone::SetEfs2CallBacks(VODE_Efs2ProgressCallBack progress,
                                  VODE_Efs2DirCallBack directory) {
  progress_ = progress;
  directory_ = directory;
}

void Diag_Phone::SetAsyncMessageCallBack(VODE_AsyncMessageCallBack callback) {
  link_.SetAsyncMessageCallBack(callback, context_value_);
}

void Diag_Phone::SetTextLogCallBack(VODE_TextLogCallBack callback) {
  log_.SetTextLogCallBack(callback, context_value_);
}

}  // namespace diaglib
