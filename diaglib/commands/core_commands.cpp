#include "diaglib/commands/core_commands.hpp"

#include <cstring>

#include "diaglib/commands/reply_echo.hpp"
#include "diaglib/commands/wire_fields.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/log_categories.hpp"
#include "platform/clock.hpp"

namespace diaglib {
namespace {

constexpr uint8_t kLoopbackPayload = 10;
constexpr uint32_t kNoModeRead = 0xFFFFFFFFu;
constexpr uint32_t kReadBackPollMs = 100;

// The operating modes that confirm a switch; false when the mode has no read-back.
bool ReadBackTarget(uint32_t mode, uint32_t operating_mode, bool* has_target) {
  *has_target = true;
  switch (mode) {
    case kModeOfflineA:
    case kModeOfflineD:
      return operating_mode >= 2 && operating_mode <= 4;
    case kModeFtm:
      return operating_mode == 1;
    case kModeOnline:
      return operating_mode == 5;
    case kModeLpm:
      return operating_mode == 6;
    default:
      *has_target = false;
      return false;
  }
}

// Reads the call manager state into the packet. *long_enough tells whether the response reaches
// byte `last_field` (a shorter one would leave the packet's fill bytes in its place).
bool QueryCallManagerState(DiagSession& session, size_t last_field, bool* long_enough) {
  CommandPacket& packet = session.Packet();
  packet.Reset();
  packet.AppendByte(kCmdSubsystemDispatch);
  packet.AppendByte(kSubsystemCallManager);
  packet.AppendU16(0);
  const bool ok = SendCommandPacket(session, session.TimeOutValue(kTimeOutDiagResponse));
  *long_enough = ok && packet.ResponseLength() >= packet.RequestLength() &&
                 packet.ResponseLength() > last_field;
  return ok;
}

// Copies the terminated string at response[from, end) into out, bounded by both; returns the
// position after its terminator (end when there is none).
size_t CopyBoundedString(const uint8_t* response, size_t from, size_t end, char* out,
                         size_t out_size) {
  size_t stop = from;
  while (stop < end && response[stop] != 0) ++stop;
  if (out != nullptr && out_size > 0) {
    size_t count = stop > from ? stop - from : 0;
    if (count > out_size - 1) count = out_size - 1;
    if (count > 0) std::memcpy(out, response + from, count);
    out[count] = '\0';
  }
  return stop < end ? stop + 1 : end;
}

}  // namespace

const char* PhoneModeName(uint32_t mode) {
  static const char* const kNames[] = {"MODE_OFFLINE_A_F", "MODE_OFFLINE_D_F", "MODE_RESET_F",
                                       "MODE_FTM_F",       "MODE_ONLINE_F",    "MODE_LPM_F",
                                       "MODE_POWER_OFF_F"};
  return mode < 7 ? kNames[mode] : nullptr;
}

bool SendCommandPacket(DiagSession& session, int timeout_ms, const ReplyMatch& answers) {
  CommandPacket& packet = session.Packet();
  DiagRequest request;
  request.bytes = packet.Request();
  request.length = packet.RequestLength();
  request.expected_code = packet.Request()[0];
  request.timeout_ms = timeout_ms;
  request.answers = answers;
  return session.Link().SendSync(request, packet.Reply());
}

bool IsPhoneConnected(DiagSession& session) {
  DataLogFileHandler* log = session.LogHandler();
  if (!session.IsPortOpen()) session.OpenPort();
  if (session.AlwaysConnected()) return true;
  if (!session.EnsurePortOpen()) {
    session.Clock().Pause(1);
    return false;
  }

  CommandPacket& packet = session.Packet();
  packet.Reset();
  packet.AppendByte(kCmdLoopback);
  for (uint8_t i = 0; i < kLoopbackPayload; ++i) packet.AppendByte(i);
  WriteLog(log, LOG_RET, "VODE_IsPhoneConnected() -- pinging phone with loopback command, 0x%X",
           kCmdLoopback);
  // The wait takes only a loopback that repeats bytes 2 to 10 (byte 1 the phone may use), so a
  // late echo of a line marker, whose payload differs, is passed over. The payload is the same
  // for every ping, though: a late echo of an earlier ping passes for this one's, and proves no
  // more than that a phone answered on this port at some point.
  if (!SendCommandPacket(session, session.TimeOutValue(kTimeOutPing),
                         RepeatsRequest(packet.Request(), 2, packet.RequestLength()))) {
    return false;
  }
  if (packet.ResponseLength() != packet.RequestLength()) return false;
  // Byte 1 is left out of the echo check, as the phone may use it.
  for (int k = 1; k <= 9; ++k) {
    uint8_t byte = 0;
    if (!packet.TakeByteFromEnd(&byte) || byte != 10 - k) return false;
  }

  packet.Reset();
  packet.AppendByte(kCmdVersion);
  WriteLog(log, LOG_RET, "VODE_IsPhoneConnected() -- pinging phone with version command, 0x%X",
           kCmdVersion);
  return SendCommandPacket(session, session.TimeOutValue(kTimeOutPing)) &&
         packet.ResponseLength() > 1;
}

namespace {

// The pause a switch needs before the phone is asked again; false when the mode has no
// read-back at all (the switch's own answer then decides).
bool WaitAfterSwitch(DiagSession& session, uint32_t mode) {
  DataLogFileHandler* log = session.LogHandler();
  int delay_id = -1;
  const char* delay_name = nullptr;
  if (mode == kModeFtm) {
    delay_id = kTimeOutAfterFtm;
    delay_name = "FTM";
  } else if (mode == kModeOnline) {
    delay_id = kTimeOutAfterOnline;
    delay_name = "ONLINE";
  } else if (mode == kModeOfflineA || mode == kModeOfflineD) {
    delay_id = kTimeOutAfterOffline;
    delay_name = "OFFLINE";
  }
  if (delay_id >= 0) {
    const int delay = session.GetTimeOut(delay_id);
    if (delay != 0) {
      WriteLog(log, LOG_RET, "VODE_DIAG_CONTROL_F() -- post-%s-mode-switch delay is %dms.",
               delay_name, delay);
      session.Clock().Pause(static_cast<uint32_t>(delay));
    } else {
      WriteLog(log, LOG_RET, "VODE_DIAG_CONTROL_F() -- post-%s-mode-switch delay is zero.",
               delay_name);
    }
    return true;
  }
  if (mode == kModeLpm) {
    WriteLog(log, LOG_RET,
             "VODE_DIAG_CONTROL_F() -- enabling phone mode read back flag for LPM, please make "
             "sure VODE_Timeout_Runtime_Mode_Switching is configured long enough.");
    return true;
  }
  WriteLog(log, LOG_RET, "DIAG_CONTROL_F -- no mode read back for eMode = %d",
           static_cast<int>(mode));
  return false;
}

// Polls the phone's operating mode until it shows the switch or the read-back time is up.
bool ModeReadBack(DiagSession& session, uint32_t mode) {
  DataLogFileHandler* log = session.LogHandler();
  const int total = session.GetTimeOut(kTimeOutModeReadBack);
  WriteLog(log, LOG_RET, "DIAG_CONTROL_F -- post-runtime-mode-switch timeout is %d ms.", total);
  platform::Clock& clock = session.Clock();
  const uint32_t start = clock.TickCount();
  for (;;) {
    uint32_t operating_mode = kNoModeRead;
    GetPhoneOperatingMode(session, &operating_mode);
    const uint32_t elapsed = clock.TickCount() - start;
    bool has_target = false;
    if (ReadBackTarget(mode, operating_mode, &has_target)) {
      WriteLog(log, LOG_RET,
               "DIAG_CONTROL_F -- mode switching status polling has succeeded (time used = %d, "
               "total timeout = %d) ms.",
               static_cast<int>(elapsed), total);
      return true;
    }
    if (elapsed < static_cast<uint32_t>(total)) {
      clock.Pause(kReadBackPollMs);
      continue;
    }
    WriteLog(log, LOG_RET,
             "DIAG_CONTROL_F -- mode switching status polling has timeout (time used = %d, total "
             "timeout = %d) ms.",
             static_cast<int>(elapsed), total);
    return false;
  }
}

}  // namespace

bool ControlPhoneMode(DiagSession& session, uint32_t requested_mode) {
  const uint32_t mode = requested_mode & 0x0F;
  WriteLog(session.LogHandler(), LOG_FN, "VODE_DIAG_CONTROL_F(eMode=%d)", static_cast<int>(mode));

  CommandPacket& packet = session.Packet();
  packet.Reset();
  packet.AppendByte(kCmdModeControl);
  packet.AppendU16(static_cast<uint16_t>(mode));
  const bool switched = SendCommandPacket(session, session.TimeOutValue(kTimeOutDiagResponse));
  if (!WaitAfterSwitch(session, mode)) return switched;
  // From here the phone's own report decides: a lost answer to the switch request does not
  // mean the switch did not happen.
  return ModeReadBack(session, mode);
}

bool GetPhoneOperatingMode(DiagSession& session, uint32_t* operating_mode) {
  DataLogFileHandler* log = session.LogHandler();
  WriteLog(log, LOG_FN, "GetPhoneOperatingMode()");
  bool long_enough = false;
  const bool ok = QueryCallManagerState(session, 8, &long_enough);
  if (long_enough) {
    *operating_mode = session.Packet().Response()[8];
    WriteLog(log, LOG_RET, "GetPhoneOperatingMode( iPhoneMode = %d )",
             static_cast<int>(*operating_mode));
  }
  return ok;
}

bool GetPhoneCallState(DiagSession& session, uint32_t* call_state, uint32_t* system_mode) {
  DataLogFileHandler* log = session.LogHandler();
  WriteLog(log, LOG_FN, "GetPhoneCallState()");
  bool long_enough = false;
  const bool ok = QueryCallManagerState(session, 12, &long_enough);
  if (long_enough) {
    *call_state = session.Packet().Response()[4];
    *system_mode = session.Packet().Response()[12];
    WriteLog(log, LOG_RET, "GetPhoneCallState( iCallState = %d, iSystemMode = %d)",
             static_cast<int>(*call_state), static_cast<int>(*system_mode));
  }
  return ok;
}

bool ReadVersion(DiagSession& session, uint8_t* record, size_t* copied) {
  *copied = 0;
  WriteLog(session.LogHandler(), LOG_FN, "VODE_DIAG_VERNO_F()");
  CommandPacket& packet = session.Packet();
  packet.Reset();
  packet.AppendByte(kCmdVersion);
  if (!SendCommandPacket(session, session.TimeOutValue(kTimeOutDiagResponse))) return false;
  if (record != nullptr && packet.ResponseLength() >= kVersionRecordSize - 1) {
    // A longer reply is cut: the record has room for the fixed fields only.
    *copied =
        packet.ResponseLength() < kVersionRecordSize ? packet.ResponseLength() : kVersionRecordSize;
    std::memcpy(record, packet.Response(), *copied);
  }
  return true;
}

bool ReadExtBuildId(DiagSession& session, uint32_t* chip_hw_version, uint32_t* mobile_model,
                    char* software_revision, size_t software_revision_size, char* model,
                    size_t model_size) {
  DataLogFileHandler* log = session.LogHandler();
  WriteLog(log, LOG_FN, "VODE_DIAG_EXT_BUILD_ID_F()");
  CommandPacket& packet = session.Packet();
  packet.Reset();
  packet.AppendByte(kCmdExtBuildId);
  if (!SendCommandPacket(session, session.TimeOutValue(kTimeOutDiagResponse))) return false;

  const uint8_t* response = packet.Response();
  const size_t length = packet.ResponseLength();
  if (length >= 8 && chip_hw_version != nullptr) *chip_hw_version = GetU32(response + 4);
  if (length >= 12 && mobile_model != nullptr) *mobile_model = GetU32(response + 8);
  const size_t model_at =
      CopyBoundedString(response, 12, length, software_revision, software_revision_size);
  CopyBoundedString(response, model_at, length, model, model_size);

  WriteLog(log, LOG_RET,
           "VODE_DIAG_EXT_BUILD_ID_F( iChip_HW_Version = %d, iMobModel = %d, sMobSwRev = %s, "
           "sModelStr  = %s)",
           chip_hw_version != nullptr ? static_cast<int>(*chip_hw_version) : 0,
           mobile_model != nullptr ? static_cast<int>(*mobile_model) : 0,
           software_revision != nullptr && software_revision_size > 0 ? software_revision : "",
           model != nullptr && model_size > 0 ? model : "");
  return true;
}

bool ReadNvItem(DiagSession& session, uint16_t item_id, uint8_t* data, int length,
                uint16_t* status) {
  // The request must fit the command packet whole; a cut request would read another item size.
  if (length < 0 || length > CommandPacket::kCapacity - 6) return false;
  if (length > 0 && data == nullptr) return false;
  CommandPacket& packet = session.Packet();
  packet.Reset();
  packet.AppendByte(kCmdNvRead);
  packet.AppendU16(item_id);
  packet.AppendBytes(data, static_cast<uint16_t>(length));
  packet.AppendU16(*status);
  // The reply names its item: an answer about another item is a late one, never this item's.
  if (!SendCommandPacket(session, session.TimeOutValue(kTimeOutDiagResponse),
                         RepeatsRequest(packet.Request(), 0, 3))) {
    return false;
  }
  if (packet.ResponseLength() < packet.RequestLength()) return false;
  uint16_t received_status = 0;
  if (!packet.TakeU16FromEnd(&received_status)) return false;
  *status = received_status;
  if (received_status == 0 && length > 0) std::memcpy(data, packet.Response() + 3, length);
  return true;
}

}  // namespace diaglib
