#include <dirent.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "posix_support.hpp"
#include "platform/portable/usb_pin.hpp"
#include "posix_usb_location.hpp"

namespace platform {
namespace posix {
namespace {

std::string Resolved(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

}  // namespace

std::string UsbDeviceFolderOf(const std::string& class_entry) {
  const std::string sys = Resolved(DeviceRoot() + "/sys");
  std::string at = Resolved(class_entry);
  if (sys.empty() || at.empty()) return "";
  // The nearest USB device folder above the entry: hubs above it have the same shape, but the
  // device's own folder comes first on the way up.
  while (at.size() > sys.size() && at.compare(0, sys.size(), sys) == 0 && at[sys.size()] == '/') {
    const size_t slash = at.find_last_of('/');
    if (portable::IsUsbDeviceName(at.substr(slash + 1))) return at;
    at.erase(slash);
  }
  return "";
}

std::string UsbLocationOf(const std::string& class_entry) {
  const std::string folder = UsbDeviceFolderOf(class_entry);
  return folder.empty() ? folder : folder.substr(folder.find_last_of('/') + 1);
}

bool VisibleTo(const UsbPin& pin, const std::string& class_entry) {
  switch (pin.state) {
    case UsbPin::State::kUnpinned:
      return true;
    case UsbPin::State::kPinned:
      return UsbLocationOf(class_entry) == pin.location;
    case UsbPin::State::kRefused:
      break;
  }
  return false;
}

}  // namespace posix

UsbPin ReadUsbPin() {
  const char* pin = std::getenv("DIAG_USB_LOCATION");
  return portable::PinFromLinuxText(pin != nullptr, pin != nullptr ? pin : "");
}
namespace {

// The USB device folder of the first entry of `folder` at the location; "" when none is there.
std::string FolderOfEntryAt(const std::string& folder, const std::string& prefix,
                            const std::string& location) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return "";
  std::string found;
  while (found.empty()) {
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string device = posix::UsbDeviceFolderOf(folder + "/" + name);
    if (!device.empty() && device.substr(device.find_last_of('/') + 1) == location) found = device;
  }
  closedir(dir);
  return found;
}

}  // namespace

namespace posix {

// A tty or a CD-ROM at the location counts, linked as a COM port or not: the slot is taken.
std::string UsbDeviceFolderAt(const std::string& location) {
  const std::string sys = DeviceRoot() + "/sys/class";
  std::string folder = FolderOfEntryAt(sys + "/tty", "tty", location);
  if (folder.empty()) folder = FolderOfEntryAt(sys + "/block", "sr", location);
  return folder;
}

}  // namespace posix

bool DeviceAtUsbLocation(const std::string& location) {
  return !posix::UsbDeviceFolderAt(location).empty();
}

bool UsbLocationWellFormed(const std::string& location, std::string* form) {
  *form = "bus-port[.port...], for example 1-2.3";
  return portable::PinFromLinuxText(true, location).state == UsbPin::State::kPinned;
}

}  // namespace platform
