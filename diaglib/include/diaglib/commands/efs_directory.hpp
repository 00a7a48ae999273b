// Folder and file removal, folder creation and folder listing in the device's file system.
// None is recursive: each request concerns exactly the path given.
#pragma once

#include <cstdint>
#include <vector>

#include "diaglib/commands/diag_session.hpp"

namespace diaglib {

inline constexpr size_t kEfsDirEntryNameSize = 132;

struct EfsDirEntry {
  char name[kEfsDirEntryNameSize] = {};
  uint32_t type = 0;  // 0 folder, 1 file, 2 link
  uint16_t attribute_mask = 0;
  uint8_t buffer_option = 0;
  uint8_t cleanup_option = 0;
  uint32_t create_date = 0;
  uint32_t size = 0;
};

// Device error numbers that mean the entry is gone afterwards.
inline constexpr int32_t kEfsErrNone = 0;
inline constexpr int32_t kEfsErrNoEntry = 2;
inline constexpr int32_t kEfsErrExists = 17;

bool EfsMakeDirectory(DiagSession& session, const char* path);
bool EfsRemoveDirectory(DiagSession& session, const char* path);
bool EfsRemoveFile(DiagSession& session, const char* path);

// Reads the whole folder into `entries`; fails, keeping nothing, when any request is refused
// or a full entry path would not fit its record.
bool EfsListFolder(DiagSession& session, const char* folder, std::vector<EfsDirEntry>* entries);

// The listing with the directory callback called for every entry.
bool EfsDirectory(DiagSession& session, const char* folder);

}  // namespace diaglib
