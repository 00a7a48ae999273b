#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/serial_registry.hpp"
#include "win32_usb_location.hpp"

namespace platform {

bool ReadSerialPortList(std::vector<std::string>* entries) {
  entries->clear();
  // A run pinned to a USB slot sees only the ports of the device there.
  const UsbPin pin = ReadUsbPin();
  const bool pinned = pin.state != UsbPin::State::kUnpinned;
  const std::vector<std::wstring> pinned_ports =
      pinned ? win32::PortNamesAt(pin) : std::vector<std::wstring>();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD values = 0;
  if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    values = 0;
  }
  constexpr DWORD kBuffer = 16383;
  std::vector<char> name(kBuffer);
  std::vector<BYTE> data(kBuffer);
  for (DWORD i = 0; i < values; ++i) {
    DWORD name_length = kBuffer;
    DWORD data_length = kBuffer;
    DWORD type = 0;
    if (RegEnumValueA(key, i, name.data(), &name_length, nullptr, &type, data.data(),
                      &data_length) != ERROR_SUCCESS) {
      continue;
    }
    // Registry strings need not carry their terminator; only the bytes returned count.
    const char* text = reinterpret_cast<const char*>(data.data());
    std::string entry(text, strnlen(text, data_length));
    if (pinned) {
      std::wstring wide;
      for (char c : entry)
        wide.push_back(static_cast<wchar_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
      if (std::find(pinned_ports.begin(), pinned_ports.end(), wide) == pinned_ports.end()) continue;
    }
    entries->push_back(std::move(entry));
  }
  RegCloseKey(key);
  return true;
}

}  // namespace platform
