#include "platform/usb_serial.hpp"

#include <string>

#include "platform/portable/usb_pin.hpp"
#include "posix_support.hpp"
#include "posix_usb_location.hpp"

namespace platform {

std::string UsbSerialAt(const std::string& location) {
  const std::string folder = posix::UsbDeviceFolderAt(location);
  std::string serial;
  if (folder.empty() || !posix::ReadTextFile(folder + "/serial", &serial)) return "";
  return portable::UsbSerialText(serial);
}

}  // namespace platform
