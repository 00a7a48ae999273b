// The EFS2 subsystem: file system status, open, write, close, mkdir, rmdir, unlink and the
// folder listing requests, answered from the device's file system, with the refused and short
// writes and refused opens a test asks for.
#include <algorithm>
#include <string>
#include <utility>

#include "devicesim/device_impl.hpp"
#include "devicesim/wire_fields.hpp"

namespace devicesim {

// Counts one event against a fault that waits for `*after` events before it strikes `*n` times.
bool VirtualDevice::Impl::Armed(int* after, int* n) {
  if (*n <= 0) return false;
  if (*after > 0) {
    --*after;
    return false;
  }
  --*n;
  return true;
}

bool VirtualDevice::Impl::Efs2Command(const std::string& name, uint16_t* command) {
  static const std::pair<const char*, uint16_t> kNames[] = {
      {"open", efs2_cmd::kOpen},         {"write", efs2_cmd::kWrite},
      {"close", efs2_cmd::kClose},       {"mkdir", efs2_cmd::kMkdir},
      {"unlink", efs2_cmd::kUnlink},     {"rmdir", efs2_cmd::kRmdir},
      {"opendir", efs2_cmd::kOpenDir},   {"readdir", efs2_cmd::kReadDir},
      {"closedir", efs2_cmd::kCloseDir}, {"stat", efs2_cmd::kStat},
      {"statfs", efs2_cmd::kStatFs}};
  for (const auto& [text, code] : kNames) {
    if (name == text) {
      *command = code;
      return true;
    }
  }
  return false;
}

Bytes VirtualDevice::Impl::RefusedEfs2(const Bytes& req, uint16_t cmd, int32_t errnum) {
  Bytes r(req.begin(), req.begin() + 4);
  const uint32_t err = static_cast<uint32_t>(errnum);
  switch (cmd) {
    case efs2_cmd::kOpen:
      Put32(&r, 4, 0xFFFFFFFFu);  // no descriptor
      Put32(&r, 8, err);
      break;
    case efs2_cmd::kWrite:
      Put32(&r, 4, req.size() >= 8 ? Get32(req, 4) : 0);
      Put32(&r, 8, req.size() >= 12 ? Get32(req, 8) : 0);
      Put32(&r, 12, 0xFFFFFFFFu);
      Put32(&r, 16, err);
      break;
    case efs2_cmd::kOpenDir:
      Put32(&r, 4, 0);
      Put32(&r, 8, err);
      break;
    case efs2_cmd::kReadDir:
      Put32(&r, 4, req.size() >= 8 ? Get32(req, 4) : 0);
      Put32(&r, 8, req.size() >= 12 ? Get32(req, 8) : 0);
      Put32(&r, 12, err);
      r.resize(41, 0);  // the fixed fields and an empty name
      break;
    case efs2_cmd::kStatFs:
    default:  // close, mkdir, unlink, rmdir, closedir, stat: the error number comes first
      Put32(&r, 4, err);
      if (cmd == efs2_cmd::kStatFs) r.resize(48, 0);
      break;
  }
  return r;
}

bool VirtualDevice::Impl::Efs2(const Bytes& req, Bytes* rsp) {
  using namespace efs_errno;
  const uint16_t cmd = Get16(req, 2);
  if (cmd == refuse_cmd && Armed(&refuse_cmd_after, &refuse_cmd_n)) {
    *rsp = RefusedEfs2(req, cmd, refuse_cmd_errno);
    return true;
  }
  Bytes r(req.begin(), req.begin() + 4);
  std::string path;
  auto too_short = [&](size_t n) {
    if (req.size() >= n) return false;
    *rsp = With(kBadLength, req);
    return true;
  };
  auto wrong_length = [&](size_t n) {
    if (LengthFits(req, n)) return false;
    *rsp = With(kBadLength, req);
    return true;
  };
  switch (cmd) {
    case efs2_cmd::kStatFs: {
      if (ignore_efs_status) return false;
      r.resize(48, 0);
      Put32(&r, 4, 0);
      Put32(&r, 8, 1);  // file system id
      PutFixed(&r, 12, "EFS2", 8);
      Put32(&r, 20, efs.block_size());
      Put32(&r, 24, static_cast<uint32_t>(efs.TotalBlocks()));
      Put32(&r, 28, static_cast<uint32_t>(efs.FreeBlocks()));
      Put32(&r, 32, static_cast<uint32_t>(efs.FreeBlocks()));
      Put32(&r, 36, 0x7FFFFFFF);  // longest file
      Put32(&r, 40, 0);
      Put32(&r, 44, 1024);  // most files
      break;
    }
    case efs2_cmd::kOpen: {
      if (too_short(12)) return true;
      int32_t fd = -1;
      int32_t err = kInval;
      if (GetText(req, 12, &path)) {
        if (refuse_open_n > 0) {
          --refuse_open_n;
          err = refuse_open_errno;
        } else {
          err = efs.Open(path, Get32(req, 4), Get32(req, 8), &fd);
        }
      }
      Put32(&r, 4, static_cast<uint32_t>(fd));
      Put32(&r, 8, static_cast<uint32_t>(err));
      break;
    }
    case efs2_cmd::kWrite: {
      if (too_short(12)) return true;
      const int32_t fd = static_cast<int32_t>(Get32(req, 4));
      const uint32_t offset = Get32(req, 8);
      uint32_t size = static_cast<uint32_t>(req.size() - 12);
      uint32_t written = 0;
      int32_t err = kOk;
      if (Armed(&refuse_write_after, &refuse_write_n)) {
        err = refuse_write_errno;
      } else {
        if (Armed(&short_write_after, &short_write_n)) size = std::min(size, short_write_bytes);
        err = efs.Write(fd, offset, req.data() + 12, size, &written);
      }
      Put32(&r, 4, static_cast<uint32_t>(fd));
      Put32(&r, 8, offset);
      Put32(&r, 12, err == kOk ? written : 0xFFFFFFFFu);
      Put32(&r, 16, static_cast<uint32_t>(err));
      break;
    }
    case efs2_cmd::kClose:
      if (wrong_length(8)) return true;
      Put32(&r, 4, static_cast<uint32_t>(efs.Close(static_cast<int32_t>(Get32(req, 4)))));
      break;
    case efs2_cmd::kMkdir:
      if (too_short(6)) return true;
      Put32(
          &r, 4,
          static_cast<uint32_t>(GetText(req, 6, &path) ? efs.Mkdir(path, Get16(req, 4)) : kInval));
      break;
    case efs2_cmd::kRmdir:
      Put32(&r, 4, static_cast<uint32_t>(GetText(req, 4, &path) ? efs.Rmdir(path) : kInval));
      break;
    case efs2_cmd::kUnlink:
      Put32(&r, 4, static_cast<uint32_t>(GetText(req, 4, &path) ? efs.Unlink(path) : kInval));
      break;
    case efs2_cmd::kOpenDir: {
      uint32_t handle = 0;
      const int32_t err = GetText(req, 4, &path) ? efs.OpenDir(path, &handle) : kInval;
      Put32(&r, 4, handle);
      Put32(&r, 8, static_cast<uint32_t>(err));
      break;
    }
    case efs2_cmd::kReadDir: {
      if (wrong_length(12)) return true;
      const uint32_t handle = Get32(req, 4), seq = Get32(req, 8);
      DirEntry e;
      bool end = false;
      const int32_t err = efs.ReadDir(handle, seq, &e, &end);
      Put32(&r, 4, handle);
      Put32(&r, 8, seq);
      Put32(&r, 12, static_cast<uint32_t>(err));
      Put32(&r, 16, static_cast<uint32_t>(e.type));
      Put32(&r, 20, e.mode);
      Put32(&r, 24, e.size);
      Put32(&r, 28, e.atime);
      Put32(&r, 32, e.mtime);
      Put32(&r, 36, e.ctime);
      r.insert(r.end(), e.name.begin(), e.name.end());
      r.push_back(0);
      break;
    }
    case efs2_cmd::kCloseDir:
      if (wrong_length(8)) return true;
      Put32(&r, 4, static_cast<uint32_t>(efs.CloseDir(Get32(req, 4))));
      break;
    default:
      *rsp = With(kBadCommand, req);
      return true;
  }
  *rsp = std::move(r);
  return true;
}

}  // namespace devicesim
