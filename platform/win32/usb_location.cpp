#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "win32_usb_location.hpp"

namespace platform {
namespace win32 {
namespace {

// Hubs and controllers are few; the bound keeps a malformed tree from looping.
constexpr int kMaxLevels = 16;

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

std::wstring InstanceId(DEVINST node) {
  WCHAR id[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return L"";
  return Upper(id);
}

// A property of the node as its strings: one for a plain string, each of a multi-string.
std::vector<std::wstring> Strings(DEVINST node, ULONG property) {
  ULONG size = 0;
  ULONG type = 0;
  std::vector<std::wstring> out;
  if (CM_Get_DevNode_Registry_PropertyW(node, property, &type, nullptr, &size, 0) !=
          CR_BUFFER_SMALL ||
      size == 0) {
    return out;
  }
  std::vector<WCHAR> buffer(size / sizeof(WCHAR) + 2, 0);
  if (CM_Get_DevNode_Registry_PropertyW(node, property, &type, buffer.data(), &size, 0) !=
      CR_SUCCESS)
    return out;
  for (size_t at = 0; at < buffer.size() && buffer[at] != 0;) {
    std::wstring one(buffer.data() + at);
    at += one.size() + 1;
    out.push_back(Upper(one));
    if (type != REG_MULTI_SZ) break;
  }
  return out;
}

}  // namespace

std::wstring PinnedUsbLocation() {
  WCHAR value[1024] = {};
  const DWORD n = GetEnvironmentVariableW(L"DIAG_USB_LOCATION", value, 1024);
  return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

bool DeviceAtLocation(DEVINST node, const std::wstring& pin) {
  const std::wstring wanted = Upper(pin);
  for (int level = 0; level < kMaxLevels; ++level) {
    const std::wstring id = InstanceId(node);
    if (id.compare(0, 4, L"USB\\") == 0 && id.find(L"&MI_") == std::wstring::npos) {
      for (const std::wstring& path : Strings(node, CM_DRP_LOCATION_PATHS)) {
        if (path == wanted) return true;
      }
      for (const std::wstring& info : Strings(node, CM_DRP_LOCATION_INFORMATION)) {
        if (info == wanted) return true;
      }
      return false;
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return false;
    node = parent;
  }
  return false;
}

std::vector<std::wstring> PortNamesAt(const std::wstring& pin) {
  std::vector<std::wstring> names;
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return names;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    // The COM number a port driver took is the PortName value of the device's hardware key.
    HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) continue;
    WCHAR name[64] = {};
    DWORD size = sizeof name - sizeof(WCHAR);
    DWORD type = 0;
    const bool named = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                        reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
                       type == REG_SZ;
    RegCloseKey(key);
    if (named && DeviceAtLocation(data.DevInst, pin)) names.push_back(Upper(name));
  }
  SetupDiDestroyDeviceInfoList(set);
  return names;
}

}  // namespace win32
}  // namespace platform
