// The callback types a client hands to the library. They sit below every layer of the library
// (log, transport, commands) because each of them calls one of these back.
#pragma once

#include <cstdint>

// Called with the local path, the EFS path, operation 5, sub option 0, bytes transferred so far,
// the file size and the context value, after every chunk of an EFS write.
using VODE_Efs2ProgressCallBack = bool (*)(const char* source, const char* destination,
                                           int operation, int sub_option, int bytes_transferred,
                                           int file_size, int context);
// Called once per entry of an EFS listing: full path, type (1 file, 0 folder, 2 link), attribute
// mask, buffer option, cleanup option, creation date, size, context value.
using VODE_Efs2DirCallBack = bool (*)(const char* path, uint8_t type, uint16_t attribute_mask,
                                      uint8_t buffer_option, uint8_t cleanup_option,
                                      int create_date, int file_size, int context);
// Called for every library log line kept by the mask, with the 1008-byte text-log record.
using VODE_TextLogCallBack = void (*)(int record_size, const void* record, int context);
// Called on the dispatcher thread with every received packet (CRC bytes included).
using VODE_AsyncMessageCallBack = void (*)(uint16_t size, const uint8_t* bytes, int context);
// Only meaningful for the outside-server transport, which this library leaves out.
using VODE_EfsCallBack = void (*)();
using VODE_SwDownloadCallBack = void (*)();
