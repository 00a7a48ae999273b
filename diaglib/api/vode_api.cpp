// The flat VODE_ functions: look the handle up, let the context do the work, return a plain
// result. A handle that names no context makes every function do nothing and answer false.
#include <cstdio>
#include <cstring>

#include "diaglib/api/diag_phone.hpp"
#include "diaglib/api/resource_manager.hpp"
#include "diaglib/api/vode.hpp"
#include "diaglib/commands/core_commands.hpp"
#include "diaglib/commands/efs_directory.hpp"
#include "diaglib/commands/efs_file_write.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/log_categories.hpp"

// This file is the flat interface over the library's own classes.
using namespace diaglib;

namespace {

constexpr unsigned kVersionMajor = 5, kVersionMinor = 3, kVersionBuild = 32;

Vode_ResourceManager& Manager() { return Vode_ResourceManager::Instance(); }

// The context's DIAG object with the call's name traced in its log; null for an unknown handle.
Diag_Phone* Traced(VODE_HANDLE handle, const char* name) {
  Diag_Phone* phone = Manager().Phone(handle);
  if (phone != nullptr) WriteLog(phone->LogHandler(), LOG_C_HIGH_LEVEL_START, "%s", name);
  return phone;
}

// Copies a fixed-width field of the version record and terminates it.
void CopyField(char* out, const uint8_t* record, size_t offset, size_t width) {
  if (out == nullptr) return;
  std::memcpy(out, record + offset, width);
  out[width] = '\0';
}

}  // namespace

void VODE_SelectLibraryMode(uint8_t mode) { Manager().SelectLibraryMode(mode == 1); }

void VODE_ReadLibraryVersion(char* buffer) {
  if (buffer == nullptr) return;
  std::sprintf(buffer, Manager().TovikMode() ? "VODE V%u.%u.%u,TOVIK" : "VODE V%u.%u.%u,DIRECTMS",
               kVersionMajor, kVersionMinor, kVersionBuild);
}

void VODE_QueryLibraryFeatures(uint8_t* supports_diag, uint8_t* supports_efs,
                               uint8_t* supports_software_download, uint8_t* using_tovik) {
  const uint8_t tovik = Manager().TovikMode() ? 1 : 0;
  if (supports_diag != nullptr) *supports_diag = 1;
  if (supports_efs != nullptr) *supports_efs = 1;
  if (supports_software_download != nullptr) *supports_software_download = tovik;
  if (using_tovik != nullptr) *using_tovik = tovik;
}

VODE_HANDLE VODE_ConnectServer(uint16_t port) {
  VODE_HANDLE handle = Manager().CreateContext(port);
  if (handle == nullptr) return nullptr;
  // A context without an open port is still a context: the caller asks the phone next.
  if (Diag_Phone* phone = Manager().Phone(handle)) phone->OpenPort();
  return handle;
}

void VODE_CloseAllContexts() { Manager().CloseAllContexts(); }

void VODE_DisconnectServer(VODE_HANDLE handle) {
  Diag_Phone* phone = Manager().Phone(handle);
  if (phone == nullptr) return;
  if (phone->Log().LoggingActive()) {
    WriteLog(phone->LogHandler(), LOG_C_HIGH_LEVEL_START, "VODE_DisconnectServer()");
  }
  phone->ClosePort();
  Manager().Release(handle, false);
}

bool VODE_GetContextPort(VODE_HANDLE handle, uint16_t* port) {
  if (port == nullptr) return false;
  return Manager().ContextPort(handle, port);
}

void VODE_ConfigureCallBacks(VODE_HANDLE handle, VODE_EfsCallBack, VODE_SwDownloadCallBack,
                             VODE_AsyncMessageCallBack async_message) {
  // The EFS and download callbacks belong to the outside-server transport only.
  if (Diag_Phone* phone = Traced(handle, "VODE_ConfigureCallBacks")) {
    phone->SetAsyncMessageCallBack(async_message);
  }
}

void VODE_ConfigureEfs2CallBacks(VODE_HANDLE handle, VODE_Efs2ProgressCallBack progress,
                                 VODE_Efs2DirCallBack directory) {
  if (Diag_Phone* phone = Traced(handle, "VODE_ConfigureEfs2CallBacks")) {
    phone->SetEfs2CallBacks(progress, directory);
  }
}

void VODE_ConfigureLibraryTextLogCallBack(VODE_HANDLE handle, VODE_TextLogCallBack text_log) {
  if (Diag_Phone* phone = Traced(handle, "VODE_ConfigureLibraryTextLogCallBack")) {
    phone->SetTextLogCallBack(text_log);
  }
}

bool VODE_IsPhoneConnected(VODE_HANDLE handle) {
  Diag_Phone* phone = Traced(handle, "VODE_IsPhoneConnected");
  return phone != nullptr && diaglib::IsPhoneConnected(*phone);
}

bool VODE_FlushRxBuffer(VODE_HANDLE handle) {
  Diag_Phone* phone = Traced(handle, "VODE_FlushRxBuffer");
  if (phone == nullptr) return false;
  WriteLog(phone->LogHandler(), LOG_FN, "VODE_FlushRxBuffer()");
  return phone->FlushRxBuffer();
}

bool VODE_GetPhoneMode(VODE_HANDLE handle, uint32_t* operating_mode) {
  Diag_Phone* phone = Traced(handle, "VODE_GetPhoneMode");
  return phone != nullptr && operating_mode != nullptr &&
         diaglib::GetPhoneOperatingMode(*phone, operating_mode);
}

bool VODE_GetPhoneCallState(VODE_HANDLE handle, uint32_t* call_state, uint32_t* system_mode) {
  Diag_Phone* phone = Traced(handle, "VODE_GetPhoneCallState");
  if (phone == nullptr || call_state == nullptr || system_mode == nullptr) return false;
  if (!diaglib::GetPhoneCallState(*phone, call_state, system_mode)) return false;
  WriteLog(phone->LogHandler(), LOG_C_HIGH_LEVEL_STOP,
           "VODE_GetPhoneCallState( piCallState = %d, piSystemMode = %d)",
           static_cast<int>(*call_state), static_cast<int>(*system_mode));
  return true;
}

bool VODE_DIAG_CONTROL_F(VODE_HANDLE handle, uint32_t mode) {
  Diag_Phone* phone = Manager().Phone(handle);
  if (phone == nullptr) return false;
  if (phone->Log().LoggingActive()) {
    const int shown = static_cast<int>(mode);
    if (const char* name = diaglib::PhoneModeName(mode)) {
      WriteLog(phone->LogHandler(), LOG_C_HIGH_LEVEL_START, "VODE_DIAG_CONTROL_F(eMode=%d (%s) )",
               shown, name);
    } else {
      WriteLog(phone->LogHandler(), LOG_C_HIGH_LEVEL_START, "VODE_DIAG_CONTROL_F(eMode=%d)", shown);
    }
  }
  return diaglib::ControlPhoneMode(*phone, mode);
}

bool VODE_DIAG_NV_READ_F(VODE_HANDLE handle, uint16_t item_id, uint8_t* data, int length,
                         uint16_t* status) {
  Diag_Phone* phone = Manager().Phone(handle);
  if (phone == nullptr || status == nullptr) return false;
  if (phone->Log().LoggingActive()) {
    WriteLog(phone->LogHandler(), LOG_C_HIGH_LEVEL_START,
             "VODE_DIAG_NV_READ_F( iItemID = %d, iLength = %d )", item_id, length);
  }
  return diaglib::ReadNvItem(*phone, item_id, data, length, status);
}

bool VODE_DIAG_VERNO_F(VODE_HANDLE handle, char* compile_date, char* compile_time,
                       char* release_date, char* release_time, char* version_directory,
                       uint8_t* station_class_mark, uint8_t* cai_revision, uint8_t* mobile_model,
                       uint16_t* firmware_revision, uint8_t* slot_cycle_index,
                       uint8_t* vocoder_major, uint8_t* vocoder_minor) {
  Diag_Phone* phone = Traced(handle, "VODE_DIAG_VERNO_F");
  if (phone == nullptr) return false;
  uint8_t record[diaglib::kVersionRecordSize] = {};
  size_t copied = 0;
  if (!diaglib::ReadVersion(*phone, record, &copied)) return false;
  if (copied == 0) return true;
  CopyField(compile_date, record, 1, 11);
  CopyField(compile_time, record, 12, 8);
  CopyField(release_date, record, 20, 11);
  CopyField(release_time, record, 31, 8);
  CopyField(version_directory, record, 39, 8);
  if (station_class_mark != nullptr) *station_class_mark = record[47];
  if (cai_revision != nullptr) *cai_revision = record[48];
  if (mobile_model != nullptr) *mobile_model = record[49];
  if (firmware_revision != nullptr) {
    *firmware_revision = static_cast<uint16_t>(record[50] | (record[51] << 8));
  }
  if (slot_cycle_index != nullptr) *slot_cycle_index = record[52];
  if (vocoder_major != nullptr) *vocoder_major = record[53];
  // A 54-byte answer has no minor version: the caller's value stays.
  if (vocoder_minor != nullptr && copied > 54) *vocoder_minor = record[54];
  return true;
}

bool VODE_DIAG_EXT_BUILD_ID_F(VODE_HANDLE handle, uint32_t* chip_hw_version, uint32_t* mobile_model,
                              char* software_revision, size_t software_revision_size, char* model,
                              size_t model_size) {
  Diag_Phone* phone = Traced(handle, "VODE_DIAG_EXT_BUILD_ID_F");
  if (phone == nullptr) return false;
  if (!diaglib::ReadExtBuildId(*phone, chip_hw_version, mobile_model, software_revision,
                               software_revision_size, model, model_size)) {
    return false;
  }
  WriteLog(phone->LogHandler(), LOG_C_HIGH_LEVEL_STOP,
           "DIAG_EXT_BUILD_ID_F( sMobSwRev = '%s', sModelStr = '%s')",
           software_revision != nullptr && software_revision_size > 0 ? software_revision : "",
           model != nullptr && model_size > 0 ? model : "");
  return true;
}

bool VODE_FTM_GET_COMMAND_CODE(VODE_HANDLE handle, uint16_t* code) {
  Diag_Phone* phone = Manager().Phone(handle);
  if (phone == nullptr || code == nullptr) return false;
  if (phone->Log().LoggingActive()) {
    WriteLog(phone->LogHandler(), LOG_C_HIGH_LEVEL_START, "VODE_FTM_GET_COMMAND_CODE() ");
  }
  *code = static_cast<uint16_t>(phone->FtmCommandCode());
  return true;
}

bool VODE_GetTovikPhoneStatus(VODE_HANDLE handle, uint32_t*) {
  // Only the outside-server transport knows this status.
  Traced(handle, "VODE_GetTovikPhoneStatus");
  return false;
}

bool VODE_EfsDirectory(VODE_HANDLE handle, const char* folder) {
  Diag_Phone* phone = Traced(handle, "VODE_EfsDirectory");
  return phone != nullptr && folder != nullptr && diaglib::EfsDirectory(*phone, folder);
}

bool VODE_EfsWrite(VODE_HANDLE handle, const char* local_file, const char* efs_file) {
  Diag_Phone* phone = Traced(handle, "VODE_EfsWrite");
  return phone != nullptr && local_file != nullptr && efs_file != nullptr &&
         diaglib::EfsWriteFile(*phone, local_file, efs_file);
}

bool VODE_EfsDelete(VODE_HANDLE handle, const char* path) {
  Diag_Phone* phone = Traced(handle, "VODE_EfsDelete");
  return phone != nullptr && path != nullptr && diaglib::EfsRemoveFile(*phone, path);
}

bool VODE_EfsMkDir(VODE_HANDLE handle, const char* path) {
  Diag_Phone* phone = Traced(handle, "VODE_EfsMkDir");
  return phone != nullptr && path != nullptr && diaglib::EfsMakeDirectory(*phone, path);
}

bool VODE_EfsRmDir(VODE_HANDLE handle, const char* path) {
  Diag_Phone* phone = Traced(handle, "VODE_EfsRmDir");
  return phone != nullptr && path != nullptr && diaglib::EfsRemoveDirectory(*phone, path);
}

void VODE_UseClock(platform::Clock& clock) { Manager().UseClock(clock); }
