// Finding the device, the version report, the offline switch, the disconnection and the
// handlers the library calls back.
#include <cstring>

#include "efstool/active_tool.hpp"
#include "efstool/treesmith.hpp"

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

Treesmith* g_active = nullptr;

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

}  // namespace

void SetActiveTreesmith(Treesmith* tool) { g_active = tool; }
Treesmith* ActiveTreesmith() { return g_active; }

bool Treesmith::ConnectDevice() {
  LogMessage("===== ConnectDevice + ===== \n");
  api_.SelectLibraryMode(0);
  char library_version[256] = {0};
  api_.ReadLibraryVersion(library_version);
  uint8_t supports_diag = 0, supports_efs = 0, supports_download = 0, using_tovik = 0;
  api_.QueryLibraryFeatures(&supports_diag, &supports_efs, &supports_download, &using_tovik);

  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    handle_ = api_.ConnectServer(VODE_PORT_AUTO_DETECT);
    if (handle_ != nullptr) break;
    LogMessage("VODE_ConnectServer Retry \n");
    clock_.Pause(kConnectRetryPauseMs);
  }

  // Download events come only from the outside-server transport, which the library leaves
  // out, so the tool has no handler to hand over for them, whatever using_tovik says.
  api_.ConfigureCallBacks(handle_, nullptr, nullptr, &Treesmith::OnAsyncMessage);
  api_.ConfigureEfs2CallBacks(handle_, &Treesmith::OnEfs2Progress, &Treesmith::OnEfs2DirEntry);
  api_.ConfigureLibraryTextLogCallBack(handle_, &Treesmith::OnTextLog);

  bool result = false;
  if (handle_ == nullptr) {
    Print("\nServer connection: FAIL\n");
    LogMessage("Server connection: FAIL\n");
  } else {
    Print("\nContext creation: PASS\n");
    LogMessage("Context creation: PASS\n");
    api_.FlushRxBuffer(handle_);
    for (int check = 0; check < kPhoneChecks; ++check) {
      if (api_.IsPhoneConnected(handle_)) {
        PrintVersionReport();
        result = true;
        break;
      }
      Print("\nVODE_IsPhoneConnected Retry\n");
      clock_.Pause(kPhoneCheckPauseMs);
    }
  }
  LogMessage("===== ConnectDevice - ===== \n");
  return result;
}

void Treesmith::PrintVersionReport() {
  Print("\n----------------\nVersion Report\n----------------\n");
  if (!ReportLibraryAndPort()) return;
  if (!WaitForPhone()) return;
  if (!ReportVersionNumber()) return;
  ReportBuildId();
  Print("\n");
}

bool Treesmith::ReportLibraryAndPort() {
  char library_version[256] = {0};
  api_.ReadLibraryVersion(library_version);
  Print("\nVODE DLL Version: %s", library_version);

  uint16_t port = VODE_PORT_AUTO_DETECT;
  api_.GetContextPort(handle_, &port);
  if (port == VODE_PORT_AUTO_DETECT) {
    Print("\nAuto detect selected, no phone has been found, searching...\n");
    handle_ = api_.ConnectServer(VODE_PORT_AUTO_DETECT);
    api_.GetContextPort(handle_, &port);
    if (port == VODE_PORT_AUTO_DETECT) {
      Print("\nCOM Port: AUTO, NOT DETECTED\n");
      return false;
    }
  }
  Print("\nCOM Port: %d\n", port);
  LogMessage("COM Port: %d\n", port);
  return true;
}

bool Treesmith::WaitForPhone() {
  if (!api_.IsPhoneConnected(handle_)) {
    api_.FlushRxBuffer(handle_);
    Print("<<Waiting for phone, press any key to exit>>\n");
    bool connected = false;
    bool download_mode = false;
    const uint32_t wait_start = clock_.TickCount();
    while (!connected && !console_.KeyWaiting()) {
      connected = api_.IsPhoneConnected(handle_);
      uint32_t status = 0;
      download_mode = api_.GetTovikPhoneStatus(handle_, &status) == 1 && status != 0;
      clock_.Pause(kWaitForPhonePollMs);
      if (download_mode) break;
      // Past the bound the run goes on as if the key had been pressed.
      if (clock_.TickCount() - wait_start >= kWaitForPhoneMaxMs) break;
    }
    if (console_.KeyWaiting()) console_.ReadKey();
    if (!connected) {
      if (download_mode) {
        Print("\n Phone is in download mode.");
        PrintPhoneStatus();
      }
      return false;
    }
  }

  if (!api_.IsPhoneConnected(handle_)) {
    Print("\n Phone is not connected.");
    LogMessage("Phone is not connected.\n");
    return false;
  }
  return true;
}

bool Treesmith::ReportVersionNumber() {
  // Each text field gets its width plus a terminator, with room to spare.
  char compile_date[16] = {0}, compile_time[16] = {0};
  char release_date[16] = {0}, release_time[16] = {0};
  char version_directory[16] = {0};
  uint8_t station_class_mark = 0, cai_revision = 0, mobile_model = 0, slot_cycle_index = 0;
  uint8_t vocoder_major = 0, vocoder_minor = 0;
  uint16_t firmware_revision = 0;
  if (!api_.DIAG_VERNO_F(handle_, compile_date, compile_time, release_date, release_time,
                         version_directory, &station_class_mark, &cai_revision, &mobile_model,
                         &firmware_revision, &slot_cycle_index, &vocoder_major, &vocoder_minor)) {
    Print("Version Number: FAIL\n");
    return false;
  }
  CutAt(compile_date, 11);
  CutAt(release_date, 11);
  CutAt(compile_time, 8);
  CutAt(release_time, 8);
  CutAt(version_directory, 8);
  Print("Mobile Version report: PASS\n");
  Print("Compile Date: %s\n", compile_date);
  Print("Compile Time: %s\n", compile_time);
  Print("Release Date: %s\n", release_date);
  Print("Release Time: %s\n", release_time);
  Print(" Version Dir: %s\n", version_directory);
  Print("\n\n");
  Print("   Station Class Mark: %d\n", station_class_mark);
  Print("              CAI Rev: %d\n", cai_revision);
  Print("         Mobile Model: %d\n", mobile_model);
  Print("         Firmware Rev: %d\n", firmware_revision);
  Print("     Slot Cycle Index: %d\n", slot_cycle_index);
  Print("Vocoder major version: %d\n", vocoder_major);
  Print("Vocoder minor version: %d\n", vocoder_minor);
  return true;
}

void Treesmith::ReportBuildId() {
  uint32_t chip_hw_version = 0, ext_mobile_model = 0;
  if (api_.DIAG_EXT_BUILD_ID_F(handle_, &chip_hw_version, &ext_mobile_model,
                               software_revision_.data(), software_revision_.size(),
                               model_id_.data(), model_id_.size())) {
    Print("\n");
    Print("     Ext Chip HW Version: 0x%X\n", chip_hw_version);
    Print("       Ext Mobile Model#: 0x%X\n", ext_mobile_model);
    Print("Ext Mobile Mobile SW Rev: %s\n", software_revision_.data());
    LogMessage("Ext Mobile Mobile SW Rev: %s\n", software_revision_.data());
    Print("            Ext Model ID: %s\n", model_id_.data());
    PrintPhoneStatus();
  } else {
    Print("\nVODE_DIAG_EXT_BUILD_ID_F = FAIL");
  }
}

bool Treesmith::PrintPhoneStatus() {
  uint16_t ftm_code = 0;
  if (api_.FTM_GET_COMMAND_CODE(handle_, &ftm_code) && ftm_code == kFtmCommandCode) {
    uint32_t operating_mode = 0;
    if (api_.GetPhoneMode(handle_, &operating_mode)) {
      Print("\n     Phone Operating Mode: %s", OperatingModeName(operating_mode));
    }
    uint32_t call_state = 0, system_mode = 0;
    if (api_.GetPhoneCallState(handle_, &call_state, &system_mode)) {
      Print("\n           Phone Call State: %s", CallStateName(call_state));
      Print("\n    Phone System Mode State: %s", SystemModeName(system_mode));
    }
  }

  uint8_t nv_data[128] = {0};
  uint16_t nv_status = 0;
  if (api_.DIAG_NV_READ_F(handle_, kNvFtmModeItem, nv_data, 1, &nv_status)) {
    Print("\n                FTM Mode: %s", nv_data[0] != 0 ? "ON" : "OFF");
  } else {
    Print("\nVODE_DIAG_NV_READ_F(NV_FTM_MODE_I): FAIL");
  }

  uint32_t phone_status = 0;
  return api_.GetTovikPhoneStatus(handle_, &phone_status);
}

void Treesmith::EnterOfflineMode() {
  LogMessage("===== EnterOfflineMode + ===== \n");
  const bool offline = api_.DIAG_CONTROL_F(handle_, 1);  // MODE_OFFLINE_D_F
  Print("\nVODE_DIAG_CONTROL_F(  MODE_OFFLINE_D_F ): %s", offline ? "PASS" : "FAIL\n");
  LogMessage("VODE_DIAG_CONTROL_F(  MODE_OFFLINE_D_F ): %s\n", offline ? "PASS" : "FAIL");
  LogMessage("===== EnterOfflineMode - ===== \n");
}

void Treesmith::DisconnectDevice() {
  LogMessage("===== DisconnectDevice + ===== \n");
  api_.DisconnectServer(handle_);
  handle_ = nullptr;
  api_.CloseAllContexts();
  LogMessage("===== DisconnectDevice - ===== \n");
}

bool Treesmith::OnEfs2Progress(const char* source, const char* destination, int operation,
                               int sub_option, int bytes_transferred, int file_size, int context) {
  Treesmith* tool = ActiveTreesmith();
  if (tool == nullptr) return true;
  tool->Print("-----------------\n");
  tool->Print("         SRC Name: %s\n", source);
  tool->Print("         DST Name: %s\n", destination);
  tool->Print("        Operation: %d\n", operation);
  tool->Print("       Sub Option: %d\n", sub_option);
  tool->Print("Bytes Transferred: %d\n", bytes_transferred);
  tool->Print("        File Size: %d\n", file_size);
  tool->Print("          Context: %d\n", context);
  return true;
}

bool Treesmith::OnEfs2DirEntry(const char* path, uint8_t type, uint16_t attribute_mask,
                               uint8_t buffer_option, uint8_t cleanup_option, int create_date,
                               int file_size, int context) {
  Treesmith* tool = ActiveTreesmith();
  if (tool == nullptr) return true;
  if (!tool->missing_probe_.empty()) {
    // Only looking for one folder: nothing to report or to delete.
    if (type == 0 && tool->missing_probe_ == path) tool->probe_found_ = true;
    return true;
  }
  tool->Print("-----------------\n");
  tool->Print("          Name: %s\n", path);
  tool->Print("          Type: %s\n", type != 0 ? "File" : "Folder");
  tool->Print("Attribute Mask: %d\n", attribute_mask);
  tool->Print(" Buffer Option: %d\n", buffer_option);
  tool->Print("Cleanup Option: %d\n", cleanup_option);
  tool->Print("   Create Date: %d\n", create_date);
  tool->Print("     File Size: %d\n", file_size);
  tool->Print("       Context: %d\n", context);

  FoundFiles& found = tool->found_;
  if (type != 0) ++found.listed;
  const size_t length = std::strlen(path);
  if (found.count < FoundFiles::kSlots && type != 0 && length < FoundFiles::kSlotSize) {
    std::memcpy(found.paths[static_cast<size_t>(found.count)].data(), path, length + 1);
    ++found.count;
  }
  return true;
}

// The console belongs to the tool's own report: library log lines and raw packets are not
// shown there. These two run on the library's threads, so they touch nothing of the tool.
void Treesmith::OnTextLog(int, const void*, int) {}

void Treesmith::OnAsyncMessage(uint16_t, const uint8_t*, int) {}

}  // namespace efstool
