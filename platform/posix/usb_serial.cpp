#include "platform/usb_serial.hpp"

#include <string>

#include "platform/portable/usb_pin.hpp"
#include "posix_support.hpp"
#include "posix_usb_location.hpp"

namespace platform {

namespace posix {

std::string SerialOfUsbDeviceFolder(const std::string& folder) {
  std::string serial;
  if (folder.empty() || !ReadTextFile(folder + "/serial", &serial)) return "";
  return portable::UsbSerialText(serial);
}

}  // namespace posix

std::string UsbSerialAt(const std::string& location) {
  return posix::SerialOfUsbDeviceFolder(posix::UsbDeviceFolderAt(location));
}

}  // namespace platform
