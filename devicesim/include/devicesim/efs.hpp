// The device's embedded file system: a tree of folders and files in memory with POSIX error
// numbers, open file descriptors, folder listings and a fixed capacity. Not thread-safe: the
// device guards it with its own lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace devicesim {

namespace efs_errno {
inline constexpr int32_t kOk = 0, kNoEnt = 2, kBadF = 9, kAcces = 13, kExist = 17, kNotDir = 20,
                         kIsDir = 21, kInval = 22, kMFile = 24, kNoSpc = 28, kNameTooLong = 36,
                         kNotEmpty = 39;
}

namespace efs_flags {
inline constexpr uint32_t kAccMode = 03, kWrOnly = 01, kRdWr = 02, kCreat = 0100, kExcl = 0200,
                          kTrunc = 01000, kAppend = 02000;
}

enum class EntryType : uint32_t { kFile = 0, kFolder = 1, kLink = 2 };

struct DirEntry {
  std::string name;
  EntryType type = EntryType::kFile;
  uint32_t mode = 0, size = 0, atime = 0, mtime = 0, ctime = 0;
};

class Efs {
 public:
  Efs(uint64_t capacity_bytes, uint32_t block_size);

  // Requests, as the EFS2 subsystem answers them. Each returns an error number (0 = done).
  int32_t Open(const std::string& path, uint32_t flags, uint32_t mode, int32_t* fd);
  int32_t Write(int32_t fd, uint32_t offset, const uint8_t* data, uint32_t size, uint32_t* written);
  int32_t Close(int32_t fd);
  int32_t Mkdir(const std::string& path, uint32_t mode);
  int32_t Rmdir(const std::string& path);
  int32_t Unlink(const std::string& path);
  int32_t OpenDir(const std::string& path, uint32_t* handle);
  // seq starts at 1; past the last entry *end is set and *entry left empty.
  int32_t ReadDir(uint32_t handle, uint32_t seq, DirEntry* entry, bool* end);
  int32_t CloseDir(uint32_t handle);

  uint32_t block_size() const { return block_size_; }
  uint64_t TotalBlocks() const;
  uint64_t FreeBlocks() const;  // 0 when filled up
  void SetFull(bool full) { full_ = full; }
  // True: every open gets a number never handed out before, instead of the lowest free one.
  void SetGrowingDescriptors(bool growing) { growing_descriptors_ = growing; }
  // The folder at `path` is never removed: its rmdir gets EACCES, whatever it holds. Kept by
  // path, so it holds for a tree loaded later too. False for the root or a path with "." or
  // "..".
  bool RefuseRemoval(const std::string& path);

  // Host-side inspection and set-up; paths as above.
  bool Exists(const std::string& path) const;
  bool IsDir(const std::string& path) const;
  bool ReadFile(const std::string& path, std::vector<uint8_t>* data) const;
  bool WriteFile(const std::string& path, const std::vector<uint8_t>& data);  // makes parents
  bool MakeDirs(const std::string& path);
  bool MakeLink(const std::string& path, const std::string& target);  // parent must exist
  // "/a", "/a/b/" for folders, "/a/c -> target" for links; depth first by name.
  std::vector<std::string> Listing() const;
  uint64_t UsedBytes() const;  // file sizes rounded up to whole blocks
  int OpenFiles() const { return static_cast<int>(files_.size()); }
  int OpenDirs() const { return static_cast<int>(dirs_.size()); }
  void Clear();  // empty tree, no handles

  bool LoadFrom(const std::string& host_dir, std::string* error);
  bool DumpTo(const std::string& host_dir, std::string* error) const;

 private:
  struct Node {
    bool folder = false;
    std::string link;  // a link's target; empty for files and folders
    uint32_t mode = 0, atime = 0, mtime = 0, ctime = 0;
    std::vector<uint8_t> data;
    std::map<std::string, std::shared_ptr<Node>> children;  // by name, the listing order
  };
  struct OpenFile {
    std::shared_ptr<Node> node;
    bool writable = false, append = false;
  };

  // Splits a path into its names; false (with *err) on "." or ".." or an over-long name.
  static bool Split(const std::string& path, std::vector<std::string>* names, int32_t* err);
  // The folder holding the last name of `names`; null with *err when it is not there.
  std::shared_ptr<Node> Parent(const std::vector<std::string>& names, int32_t* err) const;
  std::shared_ptr<Node> Find(const std::string& path, int32_t* err) const;
  uint64_t BlocksFor(uint64_t bytes) const;
  static uint32_t Now();

  uint64_t capacity_;
  uint32_t block_size_;
  bool full_ = false;
  std::shared_ptr<Node> root_;
  std::map<int32_t, OpenFile> files_;
  std::map<uint32_t, std::vector<DirEntry>> dirs_;  // a listing is taken when the folder is opened
  int32_t next_fd_ = 3;
  bool growing_descriptors_ = false;
  std::set<std::vector<std::string>> unremovable_;
  uint32_t next_dir_ = 1;
  static constexpr size_t kMaxOpenFiles = 32;
};

}  // namespace devicesim
