#include "platform/processes.hpp"

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <string>

#include "posix_support.hpp"

namespace platform {

bool ListProcessNames(std::vector<std::wstring>* names) {
  names->clear();
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  while (const dirent* entry = readdir(proc)) {
    const char* pid = entry->d_name;
    if (!std::isdigit(static_cast<unsigned char>(pid[0]))) continue;
    std::string name;
    // Processes of other users, kernel threads and those that just ended cannot be read.
    if (!posix::LinkTargetName(std::string("/proc/") + pid + "/exe", &name)) continue;
    static const std::string kDeleted = " (deleted)";
    if (name.size() > kDeleted.size() &&
        name.compare(name.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
      name.erase(name.size() - kDeleted.size());
    }
    names->push_back(posix::WideFromUtf8(name));
  }
  closedir(proc);
  return true;
}

}  // namespace platform
