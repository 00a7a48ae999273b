#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/serial_registry.hpp"

namespace platform {

bool ReadSerialPortList(std::vector<std::string>* entries) {
  entries->clear();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD values = 0;
  if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS) {
    values = 0;
  }
  constexpr DWORD kBuffer = 16383;
  std::vector<char> name(kBuffer);
  std::vector<BYTE> data(kBuffer);
  for (DWORD i = 0; i < values; ++i) {
    DWORD name_length = kBuffer;
    DWORD data_length = kBuffer;
    DWORD type = 0;
    if (RegEnumValueA(key, i, name.data(), &name_length, nullptr, &type, data.data(), &data_length) !=
        ERROR_SUCCESS) {
      continue;
    }
    // Registry strings need not carry their terminator; only the bytes returned count.
    const char* text = reinterpret_cast<const char*>(data.data());
    entries->emplace_back(text, strnlen(text, data_length));
  }
  RegCloseKey(key);
  return true;
}

}  // namespace platform
