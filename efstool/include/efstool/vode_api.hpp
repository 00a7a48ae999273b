// The library functions the tool's steps call, as one table of pointers. The default table
// points at the real library; tests hand in a scripted one so the steps run without a device.
#pragma once

#include "diaglib/api/vode.hpp"

namespace efstool {

struct VodeApi {
  void (*SelectLibraryMode)(uint8_t mode);
  void (*ReadLibraryVersion)(char* buffer);
  void (*QueryLibraryFeatures)(uint8_t* supports_diag, uint8_t* supports_efs,
                               uint8_t* supports_software_download, uint8_t* using_tovik);
  VODE_HANDLE (*ConnectServer)(uint16_t port);
  void (*CloseAllContexts)();
  void (*DisconnectServer)(VODE_HANDLE handle);
  bool (*GetContextPort)(VODE_HANDLE handle, uint16_t* port);
  void (*ConfigureCallBacks)(VODE_HANDLE handle, VODE_EfsCallBack efs,
                             VODE_SwDownloadCallBack software_download,
                             VODE_AsyncMessageCallBack async_message);
  void (*ConfigureEfs2CallBacks)(VODE_HANDLE handle, VODE_Efs2ProgressCallBack progress,
                                 VODE_Efs2DirCallBack directory);
  void (*ConfigureLibraryTextLogCallBack)(VODE_HANDLE handle, VODE_TextLogCallBack text_log);
  bool (*IsPhoneConnected)(VODE_HANDLE handle);
  bool (*FlushRxBuffer)(VODE_HANDLE handle);
  bool (*GetPhoneMode)(VODE_HANDLE handle, uint32_t* operating_mode);
  bool (*GetPhoneCallState)(VODE_HANDLE handle, uint32_t* call_state, uint32_t* system_mode);
  bool (*DIAG_CONTROL_F)(VODE_HANDLE handle, uint32_t mode);
  bool (*DIAG_NV_READ_F)(VODE_HANDLE handle, uint16_t item_id, uint8_t* data, int length,
                         uint16_t* status);
  bool (*DIAG_VERNO_F)(VODE_HANDLE handle, char* compile_date, char* compile_time,
                       char* release_date, char* release_time, char* version_directory,
                       uint8_t* station_class_mark, uint8_t* cai_revision, uint8_t* mobile_model,
                       uint16_t* firmware_revision, uint8_t* slot_cycle_index,
                       uint8_t* vocoder_major, uint8_t* vocoder_minor);
  bool (*DIAG_EXT_BUILD_ID_F)(VODE_HANDLE handle, uint32_t* chip_hw_version, uint32_t* mobile_model,
                              char* software_revision, size_t software_revision_size, char* model,
                              size_t model_size);
  bool (*FTM_GET_COMMAND_CODE)(VODE_HANDLE handle, uint16_t* code);
  bool (*GetTovikPhoneStatus)(VODE_HANDLE handle, uint32_t* status);
  bool (*EfsDirectory)(VODE_HANDLE handle, const char* folder);
  bool (*EfsWrite)(VODE_HANDLE handle, const char* local_file, const char* efs_file);
  bool (*EfsDelete)(VODE_HANDLE handle, const char* path);
  bool (*EfsMkDir)(VODE_HANDLE handle, const char* path);
  bool (*EfsRmDir)(VODE_HANDLE handle, const char* path);
  void (*UseClock)(platform::Clock& clock);
};

// The table of the linked library.
const VodeApi& RealVodeApi();

}  // namespace efstool
