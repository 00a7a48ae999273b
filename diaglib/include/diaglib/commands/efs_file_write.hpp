// Copying one local file into the device's file system: space check, open (create or
// truncate), acknowledged writes of at most 512 bytes with progress reports, close.
#pragma once

#include <cstdint>

#include "diaglib/commands/diag_session.hpp"

namespace diaglib {

inline constexpr size_t kEfs2TransferSize = 524;
inline constexpr size_t kEfs2WriteHeaderSize = 12;
inline constexpr size_t kEfs2ChunkSize = kEfs2TransferSize - kEfs2WriteHeaderSize;
// Longest local path the file calls of the target system accept.
inline constexpr size_t kMaxLocalPath = 260;

// Free bytes of the device file system (block size times free blocks, never wrapped), or 0
// when the status request is not answered.
uint64_t StatFSAvailSpace(DiagSession& session);

bool EfsWriteFile(DiagSession& session, const char* local_file, const char* efs_file);

}  // namespace diaglib
