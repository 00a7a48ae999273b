#include "devicesim/efs.hpp"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <system_error>

namespace devicesim {

namespace fs = std::filesystem;
using namespace efs_errno;

namespace {
constexpr uint32_t kIfReg = 0100000, kIfDir = 040000, kIfLnk = 0120000;
constexpr size_t kLongestName = 255;
}  // namespace

Efs::Efs(uint64_t capacity_bytes, uint32_t block_size)
    : capacity_(capacity_bytes), block_size_(block_size == 0 ? 512 : block_size) {
  Clear();
}

void Efs::Clear() {
  root_ = std::make_shared<Node>();
  root_->folder = true;
  root_->mode = kIfDir | 0777;
  root_->atime = root_->mtime = root_->ctime = Now();
  files_.clear();
  dirs_.clear();
}

uint32_t Efs::Now() { return static_cast<uint32_t>(std::time(nullptr)); }

bool Efs::Split(const std::string& path, std::vector<std::string>* names, int32_t* err) {
  names->clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    if (name == "." || name == "..") {
      *err = kInval;
      return false;
    }
    if (name.size() > kLongestName) {
      *err = kNameTooLong;
      return false;
    }
    if (!name.empty()) names->push_back(std::move(name));
    start = end + 1;
  }
  return true;
}

std::shared_ptr<Efs::Node> Efs::Parent(const std::vector<std::string>& names, int32_t* err) const {
  std::shared_ptr<Node> node = root_;
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    auto it = node->children.find(names[i]);
    if (it == node->children.end()) {
      *err = kNoEnt;
      return nullptr;
    }
    if (!it->second->folder) {
      *err = kNotDir;
      return nullptr;
    }
    node = it->second;
  }
  return node;
}

std::shared_ptr<Efs::Node> Efs::Find(const std::string& path, int32_t* err) const {
  std::vector<std::string> names;
  if (!Split(path, &names, err)) return nullptr;
  if (names.empty()) return root_;
  std::shared_ptr<Node> parent = Parent(names, err);
  if (!parent) return nullptr;
  auto it = parent->children.find(names.back());
  if (it == parent->children.end()) {
    *err = kNoEnt;
    return nullptr;
  }
  return it->second;
}

uint64_t Efs::BlocksFor(uint64_t bytes) const { return (bytes + block_size_ - 1) / block_size_; }

uint64_t Efs::TotalBlocks() const { return capacity_ / block_size_; }

uint64_t Efs::UsedBytes() const {
  uint64_t blocks = 0;
  std::function<void(const Node&)> walk = [&](const Node& node) {
    if (!node.folder) blocks += BlocksFor(node.data.size());
    for (const auto& child : node.children) walk(*child.second);
  };
  walk(*root_);
  return blocks * block_size_;
}

uint64_t Efs::FreeBlocks() const {
  if (full_) return 0;
  const uint64_t used = UsedBytes() / block_size_;
  return used >= TotalBlocks() ? 0 : TotalBlocks() - used;
}

int32_t Efs::Open(const std::string& path, uint32_t flags, uint32_t mode, int32_t* fd) {
  *fd = -1;
  int32_t err = kOk;
  std::vector<std::string> names;
  if (!Split(path, &names, &err)) return err;
  if (names.empty()) return kIsDir;
  std::shared_ptr<Node> parent = Parent(names, &err);
  if (!parent) return err;
  const bool writable = (flags & efs_flags::kAccMode) != 0;
  std::shared_ptr<Node> node;
  auto it = parent->children.find(names.back());
  if (it != parent->children.end()) {
    node = it->second;
    if ((flags & efs_flags::kCreat) && (flags & efs_flags::kExcl)) return kExist;
    if (node->folder) return kIsDir;
    if (!node->link.empty()) {
      // A link opens the file it names; links to links or folders are not followed.
      int32_t ignored = kOk;
      node = Find(node->link, &ignored);
      if (!node || node->folder || !node->link.empty()) return kNoEnt;
    }
  } else {
    if (!(flags & efs_flags::kCreat)) return kNoEnt;
    node = std::make_shared<Node>();
    node->mode = kIfReg | (mode & 07777);
    node->atime = node->mtime = node->ctime = Now();
    parent->children[names.back()] = node;
    parent->mtime = Now();
  }
  if (files_.size() >= kMaxOpenFiles) return kMFile;
  if (writable && (flags & efs_flags::kTrunc)) {
    node->data.clear();
    node->mtime = Now();
  }
  if (growing_descriptors_) {
    *fd = next_fd_++;
  } else {
    // As a POSIX file system does: the lowest number not in use, after the three standard ones.
    *fd = 3;
    while (files_.count(*fd) != 0) ++*fd;
  }
  files_[*fd] = OpenFile{node, writable, (flags & efs_flags::kAppend) != 0};
  return kOk;
}

int32_t Efs::Write(int32_t fd, uint32_t offset, const uint8_t* data, uint32_t size,
                   uint32_t* written) {
  *written = 0;
  auto it = files_.find(fd);
  if (it == files_.end() || !it->second.writable) return kBadF;
  Node& node = *it->second.node;
  uint64_t at = it->second.append ? node.data.size() : offset;
  uint64_t end = at + size;
  // The file may grow into its own last block and the free blocks, no further.
  const uint64_t limit = (BlocksFor(node.data.size()) + FreeBlocks()) * block_size_;
  if (end > limit) {
    if (at >= limit) return kNoSpc;
    end = limit;
  }
  if (end > node.data.size()) node.data.resize(end, 0);  // a gap reads as zeros
  std::copy(data, data + (end - at), node.data.begin() + static_cast<std::ptrdiff_t>(at));
  node.mtime = Now();
  *written = static_cast<uint32_t>(end - at);
  return kOk;
}

int32_t Efs::Close(int32_t fd) { return files_.erase(fd) ? kOk : kBadF; }

int32_t Efs::Mkdir(const std::string& path, uint32_t mode) {
  int32_t err = kOk;
  std::vector<std::string> names;
  if (!Split(path, &names, &err)) return err;
  if (names.empty()) return kExist;
  std::shared_ptr<Node> parent = Parent(names, &err);
  if (!parent) return err;
  if (parent->children.count(names.back())) return kExist;
  auto node = std::make_shared<Node>();
  node->folder = true;
  node->mode = kIfDir | (mode & 07777);
  node->atime = node->mtime = node->ctime = Now();
  parent->children[names.back()] = node;
  parent->mtime = Now();
  return kOk;
}

int32_t Efs::Rmdir(const std::string& path) {
  int32_t err = kOk;
  std::vector<std::string> names;
  if (!Split(path, &names, &err)) return err;
  if (names.empty()) return kInval;  // the root stays
  std::shared_ptr<Node> parent = Parent(names, &err);
  if (!parent) return err;
  auto it = parent->children.find(names.back());
  if (it == parent->children.end()) return kNoEnt;
  if (!it->second->folder) return kNotDir;
  if (unremovable_.count(names) != 0) return kAcces;
  if (!it->second->children.empty()) return kNotEmpty;
  parent->children.erase(it);
  parent->mtime = Now();
  return kOk;
}

bool Efs::RefuseRemoval(const std::string& path) {
  int32_t err = kOk;
  std::vector<std::string> names;
  if (!Split(path, &names, &err) || names.empty()) return false;
  unremovable_.insert(names);
  return true;
}

int32_t Efs::Unlink(const std::string& path) {
  int32_t err = kOk;
  std::vector<std::string> names;
  if (!Split(path, &names, &err)) return err;
  if (names.empty()) return kIsDir;
  std::shared_ptr<Node> parent = Parent(names, &err);
  if (!parent) return err;
  auto it = parent->children.find(names.back());
  if (it == parent->children.end()) return kNoEnt;
  if (it->second->folder) return kIsDir;
  parent->children.erase(it);  // an open descriptor keeps the data alive, as POSIX does
  parent->mtime = Now();
  return kOk;
}

int32_t Efs::OpenDir(const std::string& path, uint32_t* handle) {
  *handle = 0;
  int32_t err = kOk;
  std::shared_ptr<Node> node = Find(path, &err);
  if (!node) return err;
  if (!node->folder) return kNotDir;
  std::vector<DirEntry> entries;
  for (const auto& [name, child] : node->children) {
    DirEntry e;
    e.name = name;
    e.type = child->folder         ? EntryType::kFolder
             : child->link.empty() ? EntryType::kFile
                                   : EntryType::kLink;
    e.mode = child->mode;
    e.size = child->folder ? 0
                           : static_cast<uint32_t>(child->link.empty() ? child->data.size()
                                                                       : child->link.size());
    e.atime = child->atime;
    e.mtime = child->mtime;
    e.ctime = child->ctime;
    entries.push_back(std::move(e));
  }
  *handle = next_dir_++;
  if (next_dir_ == 0) next_dir_ = 1;  // 0 is never a handle
  dirs_[*handle] = std::move(entries);
  return kOk;
}

int32_t Efs::ReadDir(uint32_t handle, uint32_t seq, DirEntry* entry, bool* end) {
  *entry = DirEntry{};
  *end = false;
  auto it = dirs_.find(handle);
  if (it == dirs_.end()) return kBadF;
  if (seq == 0) return kInval;
  if (seq > it->second.size()) {
    *end = true;
    return kOk;
  }
  *entry = it->second[seq - 1];
  return kOk;
}

int32_t Efs::CloseDir(uint32_t handle) { return dirs_.erase(handle) ? kOk : kBadF; }

bool Efs::Exists(const std::string& path) const {
  int32_t err = kOk;
  return Find(path, &err) != nullptr;
}

bool Efs::IsDir(const std::string& path) const {
  int32_t err = kOk;
  auto node = Find(path, &err);
  return node && node->folder;
}

bool Efs::ReadFile(const std::string& path, std::vector<uint8_t>* data) const {
  int32_t err = kOk;
  auto node = Find(path, &err);
  if (!node || node->folder || !node->link.empty()) return false;
  *data = node->data;
  return true;
}

bool Efs::MakeDirs(const std::string& path) {
  int32_t err = kOk;
  std::vector<std::string> names;
  if (!Split(path, &names, &err)) return false;
  std::string sofar;
  for (const auto& name : names) {
    sofar += "/" + name;
    int32_t e = Mkdir(sofar, 0777);
    if (e != kOk && !(e == kExist && IsDir(sofar))) return false;
  }
  return true;
}

bool Efs::MakeLink(const std::string& path, const std::string& target) {
  int32_t err = kOk;
  std::vector<std::string> names;
  if (target.empty() || !Split(path, &names, &err) || names.empty()) return false;
  std::shared_ptr<Node> parent = Parent(names, &err);
  if (!parent || parent->children.count(names.back())) return false;
  auto node = std::make_shared<Node>();
  node->link = target;
  node->mode = kIfLnk | 0777;
  node->atime = node->mtime = node->ctime = Now();
  parent->children[names.back()] = node;
  return true;
}

bool Efs::WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  int32_t err = kOk;
  std::vector<std::string> names;
  if (!Split(path, &names, &err) || names.empty()) return false;
  std::string parent;
  for (size_t i = 0; i + 1 < names.size(); ++i) parent += "/" + names[i];
  if (!MakeDirs(parent)) return false;
  int32_t fd = -1;
  if (Open(path, efs_flags::kWrOnly | efs_flags::kCreat | efs_flags::kTrunc, 0666, &fd) != kOk) {
    return false;
  }
  // Host-side set-up is not bound by the capacity: tests fill a device on purpose.
  files_[fd].node->data = data;
  Close(fd);
  return true;
}

std::vector<std::string> Efs::Listing() const {
  std::vector<std::string> out;
  std::function<void(const Node&, const std::string&)> walk = [&](const Node& node,
                                                                  const std::string& at) {
    for (const auto& [name, child] : node.children) {
      const std::string path = at + "/" + name;
      out.push_back(child->folder         ? path + "/"
                    : child->link.empty() ? path
                                          : path + " -> " + child->link);
      if (child->folder) walk(*child, path);
    }
  };
  walk(*root_, "");
  return out;
}

bool Efs::LoadFrom(const std::string& host_dir, std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(host_dir, ec)) {
    *error = "not a folder: " + host_dir;
    return false;
  }
  Clear();
  fs::recursive_directory_iterator it(host_dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string rel = "/" + fs::relative(it->path(), host_dir, ec).generic_string();
    if (it->is_symlink(ec)) {
      if (!MakeLink(rel, fs::read_symlink(it->path(), ec).generic_string())) {
        *error = "cannot make link " + rel;
        return false;
      }
    } else if (it->is_directory(ec)) {
      if (!MakeDirs(rel)) {
        *error = "cannot make folder " + rel;
        return false;
      }
    } else if (it->is_regular_file(ec)) {
      std::ifstream in(it->path(), std::ios::binary);
      std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
      if (!in.good() && !in.eof()) {
        *error = "cannot read " + it->path().string();
        return false;
      }
      if (!WriteFile(rel, data)) {
        *error = "cannot store " + rel;
        return false;
      }
    }
  }
  if (ec) {
    *error = "cannot walk " + host_dir + ": " + ec.message();
    return false;
  }
  return true;
}

bool Efs::DumpTo(const std::string& host_dir, std::string* error) const {
  std::error_code ec;
  fs::create_directories(host_dir, ec);
  if (ec) {
    *error = "cannot make " + host_dir + ": " + ec.message();
    return false;
  }
  bool ok = true;
  std::function<void(const Node&, const fs::path&)> walk = [&](const Node& node,
                                                               const fs::path& at) {
    for (const auto& [name, child] : node.children) {
      const fs::path target = at / name;
      if (child->folder) {
        fs::create_directories(target, ec);
        if (ec) {
          *error = "cannot make " + target.string();
          ok = false;
          return;
        }
        walk(*child, target);
      } else if (!child->link.empty()) {
        fs::remove(target, ec);
        fs::create_symlink(child->link, target, ec);
        if (ec) {
          *error = "cannot make link " + target.string();
          ok = false;
          return;
        }
      } else {
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(child->data.data()),
                  static_cast<std::streamsize>(child->data.size()));
        if (!out) {
          *error = "cannot write " + target.string();
          ok = false;
          return;
        }
      }
      if (!ok) return;
    }
  };
  walk(*root_, fs::path(host_dir));
  return ok;
}

}  // namespace devicesim
