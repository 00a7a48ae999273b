#include "efstool/connection.hpp"

#include "efstool/library_handlers.hpp"

namespace efstool {
namespace {

constexpr int kConnectAttempts = 10;
constexpr uint32_t kConnectRetryPauseMs = 5000;
constexpr int kPhoneChecks = 10;
constexpr uint32_t kPhoneCheckPauseMs = 1000;
constexpr uint32_t kWaitForPhonePollMs = 10;
// Nobody may be at the line to press the key: the wait for a phone then ends on its own.
constexpr uint32_t kWaitForPhoneMaxMs = 60000;
constexpr uint16_t kFtmCommandCode = 75;
constexpr uint16_t kNvFtmModeItem = 453;

const char* OperatingModeName(uint32_t mode) {
  switch (mode) {
    case 1:
      return "FTM";
    case 2:
    case 3:
    case 4:
      return "OFFLINE";
    case 5:
      return "ONLINE";
    case 6:
      return "LOW POWER MODE";
    default:
      return "Not in list";
  }
}

const char* CallStateName(uint32_t state) {
  static const char* const kNames[] = {"CM_CALL_STATE_IDLE",           "CM_CALL_STATE_ORIG",
                                       "CM_CALL_STATE_INCOM",          "CM_CALL_STATE_CONV",
                                       "CM_CALL_STATE_CC_IN_PROGRESS", "Invalid"};
  constexpr uint32_t kCount = sizeof kNames / sizeof kNames[0];
  return kNames[state < kCount ? state : kCount - 1];
}

const char* SystemModeName(uint32_t mode) {
  static const char* const kNames[] = {
      "SYS_SYS_MODE_NO_SRV", "SYS_SYS_MODE_AMPS", "SYS_SYS_MODE_CDMA",
      "SYS_SYS_MODE_GSM",    "SYS_SYS_MODE_HDR",  "SYS_SYS_MODE_WCDMA",
      "SYS_SYS_MODE_GPS",    "SYS_SYS_MODE_GW",   "Invalid"};
  constexpr uint32_t kCount = sizeof kNames / sizeof kNames[0];
  return kNames[mode < kCount ? mode : kCount - 1];
}

void CutAt(char* text, size_t width) { text[width] = '\0'; }

// Steps of the version report; each false ends the report early.
bool ReportLibraryAndPort(RunContext& context) {
  char library_version[256] = {0};
  context.api.ReadLibraryVersion(library_version);
  context.Print("\nVODE DLL Version: %s", library_version);

  uint16_t port = VODE_PORT_AUTO_DETECT;
  context.api.GetContextPort(context.handle, &port);
  if (port == VODE_PORT_AUTO_DETECT) {
    context.Print("\nAuto detect selected, no phone has been found, searching...\n");
    context.handle = context.api.ConnectServer(VODE_PORT_AUTO_DETECT);
    context.api.GetContextPort(context.handle, &port);
    if (port == VODE_PORT_AUTO_DETECT) {
      context.Print("\nCOM Port: AUTO, NOT DETECTED\n");
      return false;
    }
  }
  context.Print("\nCOM Port: %d\n", port);
  context.log.Message("COM Port: %d\n", port);
  return true;
}

bool WaitForPhone(RunContext& context) {
  if (!context.api.IsPhoneConnected(context.handle)) {
    context.api.FlushRxBuffer(context.handle);
    context.Print("<<Waiting for phone, press any key to exit>>\n");
    bool connected = false;
    bool download_mode = false;
    const uint32_t wait_start = context.clock.TickCount();
    while (!connected && !context.console.KeyWaiting()) {
      connected = context.api.IsPhoneConnected(context.handle);
      uint32_t status = 0;
      download_mode = context.api.GetTovikPhoneStatus(context.handle, &status) == 1 && status != 0;
      context.clock.Pause(kWaitForPhonePollMs);
      if (download_mode) break;
      // Past the bound the run goes on as if the key had been pressed.
      if (context.clock.TickCount() - wait_start >= kWaitForPhoneMaxMs) break;
    }
    if (context.console.KeyWaiting()) context.console.ReadKey();
    if (!connected) {
      if (download_mode) {
        context.Print("\n Phone is in download mode.");
        PrintPhoneStatus(context);
      }
      return false;
    }
  }

  if (!context.api.IsPhoneConnected(context.handle)) {
    context.Print("\n Phone is not connected.");
    context.log.Message("Phone is not connected.\n");
    return false;
  }
  return true;
}

bool ReportVersionNumber(RunContext& context) {
  // Each text field gets its width plus a terminator, with room to spare.
  char compile_date[16] = {0}, compile_time[16] = {0};
  char release_date[16] = {0}, release_time[16] = {0};
  char version_directory[16] = {0};
  uint8_t station_class_mark = 0, cai_revision = 0, mobile_model = 0, slot_cycle_index = 0;
  uint8_t vocoder_major = 0, vocoder_minor = 0;
  uint16_t firmware_revision = 0;
  if (!context.api.DIAG_VERNO_F(context.handle, compile_date, compile_time, release_date,
                                release_time, version_directory, &station_class_mark, &cai_revision,
                                &mobile_model, &firmware_revision, &slot_cycle_index,
                                &vocoder_major, &vocoder_minor)) {
    context.Print("Version Number: FAIL\n");
    return false;
  }
  CutAt(compile_date, 11);
  CutAt(release_date, 11);
  CutAt(compile_time, 8);
  CutAt(release_time, 8);
  CutAt(version_directory, 8);
  context.Print("Mobile Version report: PASS\n");
  context.Print("Compile Date: %s\n", compile_date);
  context.Print("Compile Time: %s\n", compile_time);
  context.Print("Release Date: %s\n", release_date);
  context.Print("Release Time: %s\n", release_time);
  context.Print(" Version Dir: %s\n", version_directory);
  context.Print("\n\n");
  context.Print("   Station Class Mark: %d\n", station_class_mark);
  context.Print("              CAI Rev: %d\n", cai_revision);
  context.Print("         Mobile Model: %d\n", mobile_model);
  context.Print("         Firmware Rev: %d\n", firmware_revision);
  context.Print("     Slot Cycle Index: %d\n", slot_cycle_index);
  context.Print("Vocoder major version: %d\n", vocoder_major);
  context.Print("Vocoder minor version: %d\n", vocoder_minor);
  return true;
}

void ReportBuildId(RunContext& context) {
  uint32_t chip_hw_version = 0, ext_mobile_model = 0;
  if (context.api.DIAG_EXT_BUILD_ID_F(
          context.handle, &chip_hw_version, &ext_mobile_model, context.software_revision.data(),
          context.software_revision.size(), context.model_id.data(), context.model_id.size())) {
    context.Print("\n");
    context.Print("     Ext Chip HW Version: 0x%X\n", chip_hw_version);
    context.Print("       Ext Mobile Model#: 0x%X\n", ext_mobile_model);
    context.Print("Ext Mobile Mobile SW Rev: %s\n", context.software_revision.data());
    context.log.Message("Ext Mobile Mobile SW Rev: %s\n", context.software_revision.data());
    context.Print("            Ext Model ID: %s\n", context.model_id.data());
    PrintPhoneStatus(context);
  } else {
    context.Print("\nVODE_DIAG_EXT_BUILD_ID_F = FAIL");
  }
}

}  // namespace

bool ConnectDevice(RunContext& context) {
  context.log.StepOpens("ConnectDevice");
  context.api.SelectLibraryMode(0);
  char library_version[256] = {0};
  context.api.ReadLibraryVersion(library_version);
  uint8_t supports_diag = 0, supports_efs = 0, supports_download = 0, using_tovik = 0;
  context.api.QueryLibraryFeatures(&supports_diag, &supports_efs, &supports_download, &using_tovik);

  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    context.handle = context.api.ConnectServer(VODE_PORT_AUTO_DETECT);
    if (context.handle != nullptr) break;
    context.log.Message("VODE_ConnectServer Retry \n");
    context.clock.Pause(kConnectRetryPauseMs);
  }

  // Download events come only from the outside-server transport, which the library leaves
  // out, so the tool has no handler to hand over for them, whatever using_tovik says.
  context.api.ConfigureCallBacks(context.handle, nullptr, nullptr, &OnAsyncMessage);
  context.api.ConfigureEfs2CallBacks(context.handle, &OnEfs2Progress, &OnEfs2DirEntry);
  context.api.ConfigureLibraryTextLogCallBack(context.handle, &OnTextLog);

  bool result = false;
  if (context.handle == nullptr) {
    context.Print("\nServer connection: FAIL\n");
    context.log.Message("Server connection: FAIL\n");
  } else {
    context.Print("\nContext creation: PASS\n");
    context.log.Message("Context creation: PASS\n");
    context.api.FlushRxBuffer(context.handle);
    for (int check = 0; check < kPhoneChecks; ++check) {
      if (context.api.IsPhoneConnected(context.handle)) {
        PrintVersionReport(context);
        result = true;
        break;
      }
      context.Print("\nVODE_IsPhoneConnected Retry\n");
      context.clock.Pause(kPhoneCheckPauseMs);
    }
  }
  context.log.StepCloses("ConnectDevice");
  return result;
}

void PrintVersionReport(RunContext& context) {
  context.Print("\n----------------\nVersion Report\n----------------\n");
  if (!ReportLibraryAndPort(context)) return;
  if (!WaitForPhone(context)) return;
  if (!ReportVersionNumber(context)) return;
  ReportBuildId(context);
  context.Print("\n");
}

bool PrintPhoneStatus(RunContext& context) {
  uint16_t ftm_code = 0;
  if (context.api.FTM_GET_COMMAND_CODE(context.handle, &ftm_code) && ftm_code == kFtmCommandCode) {
    uint32_t operating_mode = 0;
    if (context.api.GetPhoneMode(context.handle, &operating_mode)) {
      context.Print("\n     Phone Operating Mode: %s", OperatingModeName(operating_mode));
    }
    uint32_t call_state = 0, system_mode = 0;
    if (context.api.GetPhoneCallState(context.handle, &call_state, &system_mode)) {
      context.Print("\n           Phone Call State: %s", CallStateName(call_state));
      context.Print("\n    Phone System Mode State: %s", SystemModeName(system_mode));
    }
  }

  uint8_t nv_data[128] = {0};
  uint16_t nv_status = 0;
  if (context.api.DIAG_NV_READ_F(context.handle, kNvFtmModeItem, nv_data, 1, &nv_status)) {
    context.Print("\n                FTM Mode: %s", nv_data[0] != 0 ? "ON" : "OFF");
  } else {
    context.Print("\nVODE_DIAG_NV_READ_F(NV_FTM_MODE_I): FAIL");
  }

  uint32_t phone_status = 0;
  return context.api.GetTovikPhoneStatus(context.handle, &phone_status);
}

void EnterOfflineMode(RunContext& context) {
  context.log.StepOpens("EnterOfflineMode");
  const bool offline = context.api.DIAG_CONTROL_F(context.handle, 1);  // MODE_OFFLINE_D_F
  context.Print("\nVODE_DIAG_CONTROL_F(  MODE_OFFLINE_D_F ): %s", offline ? "PASS" : "FAIL\n");
  context.log.Message("VODE_DIAG_CONTROL_F(  MODE_OFFLINE_D_F ): %s\n", offline ? "PASS" : "FAIL");
  context.log.StepCloses("EnterOfflineMode");
}

void DisconnectDevice(RunContext& context) {
  context.log.StepOpens("DisconnectDevice");
  context.api.DisconnectServer(context.handle);
  context.handle = nullptr;
  context.api.CloseAllContexts();
  context.log.StepCloses("DisconnectDevice");
}

}  // namespace efstool
