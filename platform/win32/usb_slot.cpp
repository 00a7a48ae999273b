#include <windows.h>

#include <setupapi.h>

#include <string>

#include "platform/usb_slot.hpp"
#include "win32_support.hpp"
#include "win32_usb_location.hpp"

namespace platform {
namespace {

// The CD-ROM device interface class, {53F56308-B6BF-11D0-94F2-00A0C91EFB8B}.
const GUID kCdromInterface = {
    0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

bool CdromAt(const std::wstring& location) {
  HDEVINFO set = SetupDiGetClassDevsW(&kCdromInterface, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  bool found = false;
  for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    found = win32::DeviceAtLocation(data.DevInst, location);
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

}  // namespace

bool UsbLocationWellFormed(const std::string& location, std::string* form) {
  *form = "a location path or location information, for example Port_#0003.Hub_#0002";
  if (location.empty() || location.front() == ' ' || location.back() == ' ') return false;
  for (const char c : location) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

bool DeviceAtUsbLocation(const std::string& location) {
  const std::wstring wide = win32::WideFromAnsi(location);
  return !win32::PortNamesAt(wide).empty() || CdromAt(wide);
}

}  // namespace platform
