// The diagnostic library's interface: flat VODE_ functions, each taking a context handle first
// (except the process-wide ones) and returning a plain result. Nothing is thrown across it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {
class Clock;
}

// Names one library context; never null for a living context, null names none.
using VODE_HANDLE = void*;

// Called with the local path, the EFS path, operation 5, sub option 0, bytes transferred so far,
// the file size and the context value, after every chunk of an EFS write.
using VODE_Efs2ProgressCallBack = bool (*)(const char* source, const char* destination, int operation,
                                           int sub_option, int bytes_transferred, int file_size,
                                           int context);
// Called once per entry of an EFS listing: full path, type (1 file, 0 folder, 2 link), attribute
// mask, buffer option, cleanup option, creation date, size, context value.
using VODE_Efs2DirCallBack = bool (*)(const char* path, uint8_t type, uint16_t attribute_mask,
                                      uint8_t buffer_option, uint8_t cleanup_option, int create_date,
                                      int file_size, int context);
// Called for every library log line kept by the mask, with the 1008-byte text-log record.
using VODE_TextLogCallBack = void (*)(int record_size, const void* record, int context);
// Called on the dispatcher thread with every received packet (CRC bytes included).
using VODE_AsyncMessageCallBack = void (*)(uint16_t size, const uint8_t* bytes, int context);
// Only meaningful for the outside-server transport, which this library leaves out.
using VODE_EfsCallBack = void (*)();
using VODE_SwDownloadCallBack = void (*)();

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
                              char* software_revision, size_t software_revision_size,
                              char* model, size_t model_size);
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
