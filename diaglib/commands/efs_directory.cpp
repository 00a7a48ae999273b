#include "diaglib/commands/efs_directory.hpp"

#include <cstring>
#include <new>

#include "diaglib/commands/core_commands.hpp"
#include "diaglib/commands/efs_requests.hpp"
#include "diaglib/commands/line_marker.hpp"
#include "diaglib/commands/reply_ledger.hpp"
#include "diaglib/commands/reply_echo.hpp"
#include "diaglib/commands/wire_fields.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/log_categories.hpp"

namespace diaglib {
namespace {

constexpr uint16_t kMkDirMode = 0x01FF;  // 0777
constexpr size_t kReadDirResponseSize = 256;
constexpr size_t kEntryNameOffset = 40;

uint32_t RecordType(uint32_t device_type) {
  switch (device_type) {
    case 0:
      return 1;  // file
    case 2:
      return 2;  // link
    default:
      return 0;  // folder, and anything unknown
  }
}

// Removal requests go through the command packet with the context's general time-out. Success
// needs the device to have removed the entry, or to say it was never there; a folder that is not
// empty or a file it refuses to remove must not pass.
bool RemoveOnce(DiagSession& session, uint16_t command, const char* path, const char* what) {
  DataLogFileHandler* log = session.LogHandler();
  CommandPacket& packet = session.Packet();
  packet.Reset();
  packet.AppendByte(kCmdSubsystemDispatch);
  packet.AppendByte(kSubsystemEfs2);
  packet.AppendU16(command);
  const size_t length = std::strlen(path);
  // Cut paths would name another entry; such a request is not sent.
  if (length + 1 >= static_cast<size_t>(CommandPacket::kCapacity - packet.RequestLength())) {
    WriteLog(log, LOG_ERR, "%s() - path too long", what);
    return false;
  }
  packet.AppendBytes(reinterpret_cast<const uint8_t*>(path), static_cast<uint16_t>(length));
  packet.AppendByte(0);
  // A late answer to another EFS2 request would pass for this removal's result.
  if (!SendCommandPacket(session, session.TimeOutValue(kTimeOutDiagResponse),
                         RepeatsRequest(packet.Request(), 0, kEfs2HeaderSize))) {
    session.Ledger().Disturb();
    return false;
  }
  session.Ledger().Settle(packet.Request(), kEfs2HeaderSize, packet.Response(),
                          packet.ResponseLength());
  if (packet.ResponseLength() < 8) {
    WriteLog(log, LOG_ERR, "%s() - response of %d bytes carries no error number", what,
             static_cast<int>(packet.ResponseLength()));
    return false;
  }
  const int32_t errnum = GetI32(packet.Response() + 4);
  const bool removed = errnum == kEfsErrNone || errnum == kEfsErrNoEntry;
  WriteLog(log, removed ? LOG_RET : LOG_ERR, "%s() - Results errnum = %d", what,
           static_cast<int>(errnum));
  return removed;
}

// Runs `operation` until a marker after it shows that its requests were answered by their own
// answers, at most `passes` times; the result of an untrusted pass is never reported.
template <typename Operation>
bool Trusted(DiagSession& session, const char* what, int passes, Operation operation) {
  for (int pass = 0; pass < passes; ++pass) {
    session.Ledger().Begin();
    if (!ClearLineIfDisturbed(session)) return false;
    const bool result = operation();
    if (ConfirmOperation(session, what)) return result;
    session.Ledger().Disturb();
  }
  return false;
}

// Removing again what was removed counts as done, so an untrusted removal is simply repeated.
bool RemoveEntry(DiagSession& session, uint16_t command, const char* path, const char* what) {
  return Trusted(session, what, 2, [&session, command, path, what] {
    return RemoveOnce(session, command, path, what);
  });
}

bool OpenFolder(DiagSession& session, const char* path, uint32_t* handle) {
  Efs2Request request(kEfs2OpenDir);
  request.AddPath(path);
  if (request.TooLong()) return false;
  uint8_t response[12];
  DiagReply reply(response);
  if (!ExchangeEfs2(
          session, request.Bytes(), request.Length(), reply,
          {sizeof(response), [](const uint8_t* r, uint16_t) { return GetI32(r + 8) == 0; }})) {
    return false;
  }
  *handle = GetU32(response + 4);
  return true;
}

bool CloseFolder(DiagSession& session, uint32_t handle) {
  Efs2Request request(kEfs2CloseDir);
  request.AddU32(handle);
  uint8_t response[8];
  DiagReply reply(response);
  return ExchangeEfs2(
      session, request.Bytes(), request.Length(), reply,
      {sizeof(response), [](const uint8_t* r, uint16_t) { return GetI32(r + 4) == 0; }});
}

// Appends folder, "/" (unless the name brings its own) and name; false when it does not fit.
bool JoinEntryPath(const char* folder, const char* name, char* out) {
  const size_t folder_length = std::strlen(folder);
  const size_t slash = name[0] == '/' ? 0 : 1;
  const size_t name_length = std::strlen(name);
  if (folder_length + slash + name_length >= kEfsDirEntryNameSize) return false;
  std::memcpy(out, folder, folder_length);
  if (slash) out[folder_length] = '/';
  std::memcpy(out + folder_length + slash, name, name_length + 1);
  return true;
}

}  // namespace

bool EfsMakeDirectory(DiagSession& session, const char* path) {
  DataLogFileHandler* log = session.LogHandler();
  WriteLog(log, LOG_FN, "VODE_EFS2_DIAG_MKDIR( strDir = %s )", path);
  Efs2Request request(kEfs2MkDir);
  request.AddU16(kMkDirMode);
  request.AddPath(path);
  if (request.TooLong()) return false;
  // A request whose answer was in doubt (none in time, or one the marker could not vouch for)
  // may have made the folder all the same, so it is made once more, and then "already exists"
  // is the folder of the first request. A trusted first answer is taken as it is: a folder that
  // was there before is no folder made.
  for (int pass = 0; pass < 2; ++pass) {
    uint8_t response[8];
    int32_t errnum = 0;
    const bool answered = Trusted(session, "VODE_EFS2_DIAG_MKDIR", 1, [&] {
      DiagReply reply(response);
      return ExchangeEfs2(session, request.Bytes(), request.Length(), reply,
                          {sizeof(response),
                           [&errnum](const uint8_t* r, uint16_t) {
                             errnum = GetI32(r + 4);
                             return true;
                           },
                           1});
    });
    if (!answered) continue;
    WriteLog(log, LOG_RET, "VODE_EFS2_DIAG_MKDIR() - Results mkdir_rsp.errnum = %d",
             static_cast<int>(errnum));
    return errnum == kEfsErrNone || (pass > 0 && errnum == kEfsErrExists);
  }
  return false;
}

bool EfsRemoveDirectory(DiagSession& session, const char* path) {
  WriteLog(session.LogHandler(), LOG_FN, "VODE_EFS2_DIAG_RMDIR( sFolderPath = %s)", path);
  return RemoveEntry(session, kEfs2RmDir, path, "VODE_EFS2_DIAG_RMDIR");
}

bool EfsRemoveFile(DiagSession& session, const char* path) {
  WriteLog(session.LogHandler(), LOG_FN, "VODE_EFS2_DIAG_UNLINK( sFilePath = %s )", path);
  return RemoveEntry(session, kEfs2Unlink, path, "VODE_EFS2_DIAG_UNLINK");
}

bool EfsListFolder(DiagSession& session, const char* folder, std::vector<EfsDirEntry>* entries) {
  entries->clear();
  const char* request_path = folder[0] == '\0' ? "/" : folder;
  uint32_t handle = 0;
  if (!OpenFolder(session, request_path, &handle)) return false;

  bool name_fits = true;
  for (uint32_t sequence = 1;; ++sequence) {
    Efs2Request request(kEfs2ReadDir);
    request.AddU32(handle);
    request.AddU32(sequence);
    uint8_t response[kReadDirResponseSize];
    DiagReply reply(response);
    if (!ExchangeEfs2(
            session, request.Bytes(), request.Length(), reply,
            {kEntryNameOffset,
             [](const uint8_t* r, uint16_t) { return GetU32(r + 4) != 0 && GetI32(r + 12) == 0; },
             kEfs2Attempts, request.Length()})) {
      entries->clear();
      return false;
    }
    // The name ends at its terminator or at the end of what was received, whichever is first.
    char name[kReadDirResponseSize - kEntryNameOffset + 1];
    const size_t available = reply.length - kEntryNameOffset;
    size_t name_length = 0;
    while (name_length < available && response[kEntryNameOffset + name_length] != 0) {
      ++name_length;
    }
    std::memcpy(name, response + kEntryNameOffset, name_length);
    name[name_length] = '\0';
    if (name_length == 0) break;

    EfsDirEntry entry;
    if (!JoinEntryPath(folder, name, entry.name)) {
      WriteLog(session.LogHandler(), LOG_ERR,
               "VODE_EfsDirectory() - entry path longer than %d characters: %s/%s",
               static_cast<int>(kEfsDirEntryNameSize - 1), folder, name);
      name_fits = false;
      break;
    }
    entry.type = RecordType(GetU32(response + 16));
    entry.size = GetU32(response + 24);
    entry.create_date = GetU32(response + 36);
    entries->push_back(entry);
  }

  const bool closed = CloseFolder(session, handle);
  if (!closed || !name_fits) {
    entries->clear();
    return false;
  }
  return true;
}

bool EfsDirectory(DiagSession& session, const char* folder) {
  DataLogFileHandler* log = session.LogHandler();
  WriteLog(log, LOG_FN, "VODE_EfsDirectory( sFolderPath = %s )", folder);
  std::vector<EfsDirEntry> entries;
  bool listed = false;
  try {
    // A listing only reads, so an untrusted one is simply made again.
    listed = Trusted(session, "VODE_EfsDirectory", 2,
                     [&] { return EfsListFolder(session, folder, &entries); });
  } catch (const std::bad_alloc&) {
    // Running out of memory while the records are gathered fails the listing; nothing may
    // escape the library's interface.
    listed = false;
  }
  if (!listed) {
    WriteLog(log, LOG_FN, "VODE_EfsDirectory( sFolderPath = %s ) - Failed", folder);
    return false;
  }
  const VODE_Efs2DirCallBack callback = session.DirectoryCallBack();
  if (callback == nullptr) return true;
  // The callback runs after the folder is closed, so it may call the library again.
  for (const EfsDirEntry& entry : entries) {
    callback(entry.name, static_cast<uint8_t>(entry.type), entry.attribute_mask,
             entry.buffer_option, entry.cleanup_option, static_cast<int>(entry.create_date),
             static_cast<int>(entry.size), session.ContextValue());
    WriteLog(log, LOG_RET, " EFS DIR - '%s' %d bytes", entry.name, static_cast<int>(entry.size));
  }
  return true;
}

}  // namespace diaglib
