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

bool IsUsbDeviceName(const std::string& name) {
  const size_t dash = name.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == name.size()) return false;
  bool digit_before = false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c >= '0' && c <= '9') {
      digit_before = true;
    } else if ((c == '-' && i == dash) || (c == '.' && i > dash)) {
      if (!digit_before) return false;
      digit_before = false;
    } else {
      return false;
    }
  }
  return digit_before;
}

std::string UsbLocationOf(const std::string& class_entry) {
  const std::string sys = Resolved(DeviceRoot() + "/sys");
  std::string at = Resolved(class_entry);
  if (sys.empty() || at.empty()) return "";
  // The nearest USB device folder above the entry: hubs above it have the same shape, but the
  // device's own folder comes first on the way up.
  while (at.size() > sys.size() && at.compare(0, sys.size(), sys) == 0 && at[sys.size()] == '/') {
    const size_t slash = at.find_last_of('/');
    const std::string name = at.substr(slash + 1);
    if (IsUsbDeviceName(name)) return name;
    at.erase(slash);
  }
  return "";
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
}  // namespace platform
