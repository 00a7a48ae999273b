#include "platform/serial_registry.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string>
#include <vector>

#include "posix_serial_links.hpp"
#include "posix_support.hpp"
#include "posix_usb_location.hpp"

namespace platform {
namespace posix {

bool ListComLinks(const UsbPin& pin, std::vector<ComLink>* links) {
  links->clear();
  const std::string folder = DeviceRoot() + "/dev/serial/com";
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  struct Found {
    ComLink link;
    timespec mtime;
  };
  std::vector<Found> found;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) continue;
    if (!std::all_of(name.begin() + 3, name.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
      continue;
    }
    const std::string path = folder + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
    Found f;
    f.link.name = name;
    f.link.number = std::stoi(name.substr(3));
    f.link.path = path;
    if (!LinkTargetName(path, &f.link.tty)) continue;
    // A run pinned to a USB slot sees only the ports of the device there.
    if (!VisibleTo(pin, DeviceRoot() + "/sys/class/tty/" + f.link.tty)) continue;
    f.mtime = st.st_mtim;
    found.push_back(f);
  }
  closedir(dir);
  // The order ports appeared in, as the system's own list keeps it; links made in the same
  // instant go by name.
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    if (a.mtime.tv_sec != b.mtime.tv_sec) return a.mtime.tv_sec < b.mtime.tv_sec;
    if (a.mtime.tv_nsec != b.mtime.tv_nsec) return a.mtime.tv_nsec < b.mtime.tv_nsec;
    return a.link.name < b.link.name;
  });
  for (const Found& f : found) links->push_back(f.link);
  return true;
}

}  // namespace posix

bool ReadSerialPortList(std::vector<std::string>* entries) {
  entries->clear();
  std::vector<posix::ComLink> links;
  if (!posix::ListComLinks(ReadUsbPin(), &links)) return false;
  for (const posix::ComLink& link : links) entries->push_back(link.name);
  return true;
}

}  // namespace platform
