// The diagnostic library's interface: flat VODE_ functions, each taking a context handle first
// (except the process-wide ones) and returning a plain result. Nothing is thrown across it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diaglib/log/vode_callbacks.hpp"

namespace platform {
class Clock;
}

// Names one library context; never null for a living context, null names none.
using VODE_HANDLE = void*;

inline constexpr uint16_t VODE_PORT_AUTO_DETECT = 0xFFFF;
inline constexpr uint16_t VODE_PORT_NULL = 0xFFFE;

// Process-wide.
void VODE_SelectLibraryMode(uint8_t mode);
void VODE_ReadLibraryVersion(char* buffer);
void VODE_QueryLibraryFeatures(uint8_t* supports_diag, uint8_t* supports_efs,
                               uint8_t* supports_software_download, uint8_t* using_tovik);
VODE_HANDLE VODE_ConnectServer(uint16_t port);
void VODE_CloseAllContexts();

// Per context.
void VODE_DisconnectServer(VODE_HANDLE handle);
bool VODE_GetContextPort(VODE_HANDLE handle, uint16_t* port);
void VODE_ConfigureCallBacks(VODE_HANDLE handle, VODE_EfsCallBack efs,
                             VODE_SwDownloadCallBack software_download,
                             VODE_AsyncMessageCallBack async_message);
void VODE_ConfigureEfs2CallBacks(VODE_HANDLE handle, VODE_Efs2ProgressCallBack progress,
                                 VODE_Efs2DirCallBack directory);
void VODE_ConfigureLibraryTextLogCallBack(VODE_HANDLE handle, VODE_TextLogCallBack text_log);
bool VODE_IsPhoneConnected(VODE_HANDLE handle);
bool VODE_FlushRxBuffer(VODE_HANDLE handle);
bool VODE_GetPhoneMode(VODE_HANDLE handle, uint32_t* operating_mode);
bool VODE_GetPhoneCallState(VODE_HANDLE handle, uint32_t* call_state, uint32_t* system_mode);
bool VODE_DIAG_CONTROL_F(VODE_HANDLE handle, uint32_t mode);
bool VODE_DIAG_NV_READ_F(VODE_HANDLE handle, uint16_t item_id, uint8_t* data, int length,
                         uint16_t* status);
// Text outputs receive their fixed-width field followed by a terminator: the dates need 12
// bytes, the times and the version directory 9.
bool VODE_DIAG_VERNO_F(VODE_HANDLE handle, char* compile_date, char* compile_time,
                       char* release_date, char* release_time, char* version_directory,
                       uint8_t* station_class_mark, uint8_t* cai_revision, uint8_t* mobile_model,
                       uint16_t* firmware_revision, uint8_t* slot_cycle_index,
                       uint8_t* vocoder_major, uint8_t* vocoder_minor);
// The two strings are bounded by the received response and by the buffers' sizes; both always
// come back terminated.
bool VODE_DIAG_EXT_BUILD_ID_F(VODE_HANDLE handle, uint32_t* chip_hw_version, uint32_t* mobile_model,
                              char* software_revision, size_t software_revision_size, char* model,
                              size_t model_size);
bool VODE_FTM_GET_COMMAND_CODE(VODE_HANDLE handle, uint16_t* code);
bool VODE_GetTovikPhoneStatus(VODE_HANDLE handle, uint32_t* status);
bool VODE_EfsDirectory(VODE_HANDLE handle, const char* folder);
bool VODE_EfsWrite(VODE_HANDLE handle, const char* local_file, const char* efs_file);
bool VODE_EfsDelete(VODE_HANDLE handle, const char* path);
bool VODE_EfsMkDir(VODE_HANDLE handle, const char* path);
bool VODE_EfsRmDir(VODE_HANDLE handle, const char* path);

// Not part of the device interface: the clock every later-built context uses (the real clock
// unless a program or a test hands in another before connecting).
void VODE_UseClock(platform::Clock& clock);
