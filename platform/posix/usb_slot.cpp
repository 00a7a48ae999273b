#include "platform/usb_slot.hpp"

#include <dirent.h>

#include <string>

#include "posix_support.hpp"
#include "posix_usb_location.hpp"

namespace platform {
namespace {

bool AnyEntryAt(const std::string& folder, const std::string& prefix, const std::string& location) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (!found) {
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    found = posix::UsbLocationOf(folder + "/" + name) == location;
  }
  closedir(dir);
  return found;
}

}  // namespace

bool UsbLocationWellFormed(const std::string& location, std::string* form) {
  *form = "bus-port[.port...], for example 1-2.3";
  return posix::IsUsbDeviceName(location);
}

bool DeviceAtUsbLocation(const std::string& location) {
  const std::string sys = posix::DeviceRoot() + "/sys/class";
  return AnyEntryAt(sys + "/tty", "tty", location) || AnyEntryAt(sys + "/block", "sr", location);
}

}  // namespace platform
