#include "diaglib/commands/efs_file_write.hpp"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "diaglib/commands/efs_requests.hpp"
#include "diaglib/commands/line_marker.hpp"
#include "diaglib/commands/reply_ledger.hpp"
#include "diaglib/commands/wire_fields.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/log_categories.hpp"
#include "platform/files.hpp"

namespace diaglib {
namespace {

constexpr uint32_t kOpenFlags = 0x241;  // write-only, create, truncate
constexpr uint32_t kOpenMode = 0x1B6;   // 0666
constexpr int kEfsWriteOperation = 5;
constexpr int kWritePasses = 2;

struct StreamCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using Stream = std::unique_ptr<std::FILE, StreamCloser>;

bool ErrnoIsZero(const uint8_t* response, size_t offset) { return GetI32(response + offset) == 0; }

bool EFS2FileOpen(DiagSession& session, const char* efs_file, int32_t* descriptor) {
  Efs2Request request(kEfs2Open);
  request.AddU32(kOpenFlags);
  request.AddU32(kOpenMode);
  request.AddPath(efs_file);
  if (request.TooLong()) return false;
  uint8_t response[12];
  DiagReply reply(response);
  const bool opened = ExchangeEfs2(
      session, request.Bytes(), request.Length(), reply,
      {sizeof(response), [](const uint8_t* r, uint16_t) { return ErrnoIsZero(r, 8); }});
  if (opened) *descriptor = GetI32(response + 4);
  return opened;
}

bool EFS2FileClose(DiagSession& session, int32_t descriptor) {
  Efs2Request request(kEfs2Close);
  request.AddU32(static_cast<uint32_t>(descriptor));
  uint8_t response[8];
  DiagReply reply(response);
  return ExchangeEfs2(
      session, request.Bytes(), request.Length(), reply,
      {sizeof(response), [](const uint8_t* r, uint16_t) { return ErrnoIsZero(r, 4); }});
}

// Writes `count` bytes (already behind the header in `transfer`) at *offset. A device may store
// fewer bytes than it was sent; the rest then goes again from the offset it confirmed, so the
// file never has a gap or a shifted tail. Each piece has its own attempts.
bool WriteChunk(DiagSession& session, int32_t descriptor, uint8_t* transfer, uint32_t count,
                uint32_t* offset) {
  uint8_t* data = transfer + kEfs2WriteHeaderSize;
  uint32_t done = 0;
  uint32_t stored_last = 0;  // the bytes at the front of `data` that the last piece stored
  while (done < count) {
    const uint32_t remaining = count - done;
    // The buffer was already moved up by the pieces before the last one.
    if (stored_last > 0) std::memmove(data, data + stored_last, remaining);
    PutEfs2Header(transfer, kEfs2Write);
    PutU32(transfer + 4, static_cast<uint32_t>(descriptor));
    PutU32(transfer + 8, *offset);
    uint8_t response[20];
    int32_t written = -1;
    DiagReply reply(response);
    const bool ok = ExchangeEfs2(
        session, transfer, static_cast<uint16_t>(kEfs2WriteHeaderSize + remaining), reply,
        {sizeof(response),
         [&written, remaining](const uint8_t* r, uint16_t) {
           const int32_t reported = GetI32(r + 12);
           if (GetI32(r + 16) != 0) return false;
           // Nothing stored, or more than was sent, cannot be lined up with the local file.
           if (reported <= 0 || static_cast<uint32_t>(reported) > remaining) return false;
           written = reported;
           return true;
         },
         kEfs2Attempts, kEfs2WriteHeaderSize});
    if (!ok) return false;
    *offset += static_cast<uint32_t>(written);
    done += static_cast<uint32_t>(written);
    stored_last = static_cast<uint32_t>(written);
    if (static_cast<uint32_t>(written) < remaining) {
      WriteLog(session.LogHandler(), LOG_RET,
               " EFS Write stored %d of %d bytes, sending the rest from offset %u", written,
               static_cast<int>(remaining), *offset);
    }
  }
  return true;
}

bool EFS2WriteEntireFile(DiagSession& session, int32_t descriptor, const char* local_file,
                         const char* efs_file, uint32_t data_size) {
  if (data_size == 0) return true;
  uint32_t total = 0;
  if (!platform::LocalFileSize(local_file, &total)) return false;
  Stream source(platform::OpenSharedStream(local_file, "rb"));
  if (!source) return false;

  std::unique_ptr<uint8_t[]> transfer(new uint8_t[kEfs2TransferSize]);
  uint32_t offset = 0;
  uint32_t transferred = 0;
  const VODE_Efs2ProgressCallBack progress = session.ProgressCallBack();
  for (;;) {
    const size_t got =
        std::fread(transfer.get() + kEfs2WriteHeaderSize, 1, kEfs2ChunkSize, source.get());
    transferred += static_cast<uint32_t>(got);
    if (got == 0) {
      // A file that shrank, or could not be read, while it was sent must not pass as written.
      if (offset == total && !std::ferror(source.get())) return true;
      WriteLog(session.LogHandler(), LOG_ERR,
               "EFS2WriteEntireFile() - local file gave %u of its %u bytes", offset, total);
      return false;
    }
    if (!WriteChunk(session, descriptor, transfer.get(), static_cast<uint32_t>(got), &offset)) {
      return false;
    }
    if (progress != nullptr) {
      progress(local_file, efs_file, kEfsWriteOperation, 0, static_cast<int>(transferred),
               static_cast<int>(total), session.ContextValue());
    }
    WriteLog(session.LogHandler(), LOG_RET, " EFS Write Transferred %d / %d bytes",
             static_cast<int>(transferred), static_cast<int>(total));
    if (offset == total) return true;
  }
}

// Space check, open, the file's content, close: one pass of the write.
bool WritePass(DiagSession& session, const char* local_file, const char* efs_file,
               uint32_t data_size) {
  DataLogFileHandler* log = session.LogHandler();
  const uint64_t available = StatFSAvailSpace(session);
  if (data_size > available) {
    // Only reached when the free space is below a 32-bit size, so it prints as it is.
    WriteLog(log, LOG_ERR,
             "Available size on local disk is insufficient.  tot_data_size = %d,  availSpace=%d",
             static_cast<int>(data_size), static_cast<int>(static_cast<uint32_t>(available)));
    return false;
  }

  int32_t descriptor = 0;
  if (!EFS2FileOpen(session, efs_file, &descriptor)) {
    WriteLog(log, LOG_ERR, "EFS2FileOpen() failed to open file %s", efs_file);
    return false;
  }
  if (!EFS2WriteEntireFile(session, descriptor, local_file, efs_file, data_size)) {
    WriteLog(log, LOG_ERR, "EFS2WriteEntireFile() failed");
    EFS2FileClose(session, descriptor);
    return false;
  }
  return EFS2FileClose(session, descriptor);
}

bool WriteFile(DiagSession& session, const char* local_file, const char* efs_file) {
  DataLogFileHandler* log = session.LogHandler();
  if (std::strlen(local_file) > kMaxLocalPath) {
    WriteLog(log, LOG_ERR, "VODE_EfsWrite() - local path longer than %d characters",
             static_cast<int>(kMaxLocalPath));
    return false;
  }
  // A folder, a device or a pipe has no content of its own: it would land on the device as an
  // empty file, or be read without end.
  if (!platform::IsRegularFile(local_file)) {
    WriteLog(log, LOG_ERR, "VODE_EfsWrite() - %s is not a regular file", local_file);
    return false;
  }

  uint32_t data_size = 0;
  if (!platform::LocalFileSize(local_file, &data_size)) return false;

  // A pass is trusted only when the marker after it shows that each of its requests was
  // answered by its own answer; otherwise the file is written once more from the open.
  for (int pass = 0; pass < kWritePasses; ++pass) {
    session.Ledger().Begin();
    if (!ClearLineIfDisturbed(session)) return false;
    if (!WritePass(session, local_file, efs_file, data_size)) return false;
    if (ConfirmOperation(session, "VODE_EfsWrite")) return true;
    session.Ledger().Disturb();
  }
  return false;
}

}  // namespace

uint64_t StatFSAvailSpace(DiagSession& session) {
  Efs2Request request(kEfs2StatFs);
  request.AddPath("");
  uint8_t response[48];
  DiagReply reply(response);
  if (!ExchangeEfs2(session, request.Bytes(), request.Length(), reply,
                    {sizeof(response), [](const uint8_t*, uint16_t) { return true; }, 1})) {
    return 0;
  }
  return static_cast<uint64_t>(GetU32(response + 20)) * GetU32(response + 28);
}

bool EfsWriteFile(DiagSession& session, const char* local_file, const char* efs_file) {
  DataLogFileHandler* log = session.LogHandler();
  WriteLog(log, LOG_FN, "VODE_EfsWrite( sLocalFile = %s, sEFS_File = %s)", local_file, efs_file);
  const bool result = WriteFile(session, local_file, efs_file);
  WriteLog(log, LOG_RET, "VODE_EfsWrite() - %s", result ? "PASS" : "FAIL");
  return result;
}

}  // namespace diaglib
