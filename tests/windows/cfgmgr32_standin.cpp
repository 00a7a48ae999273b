// A stand-in for cfgmgr32.dll, for the Windows suite only (never shipped). The Wine the suite
// runs under answers the configuration manager's parent and property questions with "no such
// node", so a pinned run there could not be tried. This DLL answers the three calls the
// programs make from the registry shape the suite writes for each device instance under
// HKLM\System\CurrentControlSet\Enum\<instance id>:
//   TestParent          the instance id of the node's parent (none: the node is a root)
//   LocationPaths       REG_MULTI_SZ, LocationInformation, DeviceDesc, FriendlyName
// Device nodes SetupAPI hands out keep their own numbers (their ids come from Wine's SetupAPI);
// parents found here get numbers of their own, with a high bit SetupAPI's never carry.
#include <windows.h>

#include <cwchar>

namespace {

using ConfigRet = DWORD;
constexpr ConfigRet kSuccess = 0x00;
constexpr ConfigRet kInvalidPointer = 0x03;
constexpr ConfigRet kInvalidDevnode = 0x05;
constexpr ConfigRet kNoSuchDevnode = 0x0D;
constexpr ConfigRet kBufferSmall = 0x1A;
constexpr ConfigRet kNoSuchValue = 0x25;
constexpr DWORD kOwnNode = 0x40000000;
constexpr int kMaxId = 200;
constexpr int kMaxNodes = 256;

wchar_t g_ids[kMaxNodes][kMaxId + 1];
int g_count = 0;

using GetIdFunction = ConfigRet(WINAPI*)(DWORD, wchar_t*, ULONG, ULONG);

bool IdOf(DWORD node, wchar_t* id, ULONG length) {
  if (node & kOwnNode) {
    const DWORD index = node & ~kOwnNode;
    if (index >= static_cast<DWORD>(g_count) || std::wcslen(g_ids[index]) >= length) return false;
    std::wcscpy(id, g_ids[index]);
    return true;
  }
  HMODULE setupapi = LoadLibraryW(L"setupapi.dll");
  auto get = setupapi != nullptr ? reinterpret_cast<GetIdFunction>(reinterpret_cast<void*>(
                                       GetProcAddress(setupapi, "CM_Get_Device_IDW")))
                                 : nullptr;
  return get != nullptr && get(node, id, length, 0) == kSuccess;
}

DWORD NodeFor(const wchar_t* id) {
  for (int i = 0; i < g_count; ++i) {
    if (_wcsicmp(g_ids[i], id) == 0) return kOwnNode | static_cast<DWORD>(i);
  }
  if (g_count == kMaxNodes || std::wcslen(id) > kMaxId) return 0;
  std::wcscpy(g_ids[g_count], id);
  return kOwnNode | static_cast<DWORD>(g_count++);
}

// The value of the node's Enum key; ERROR_* of the registry.
LONG ReadValue(DWORD node, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) {
  wchar_t id[kMaxId + 1];
  if (!IdOf(node, id, kMaxId + 1)) return ERROR_FILE_NOT_FOUND;
  wchar_t key_name[kMaxId + 64] = L"System\\CurrentControlSet\\Enum\\";
  std::wcscat(key_name, id);
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_name, 0, KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegQueryValueExW(key, name, nullptr, type, data, size);
  RegCloseKey(key);
  return rc;
}

const wchar_t* ValueName(ULONG property) {
  switch (property) {
    case 0x01:
      return L"DeviceDesc";
    case 0x0D:
      return L"FriendlyName";
    case 0x0E:
      return L"LocationInformation";
    case 0x24:
      return L"LocationPaths";
    default:
      return nullptr;
  }
}

}  // namespace

extern "C" {

__declspec(dllexport) ConfigRet WINAPI
    CM_Get_Device_IDW(DWORD node, wchar_t* buffer, ULONG length, ULONG) {
  if (buffer == nullptr) return kInvalidPointer;
  return IdOf(node, buffer, length) ? kSuccess : kInvalidDevnode;
}

__declspec(dllexport) ConfigRet WINAPI CM_Get_Parent(DWORD* parent, DWORD node, ULONG) {
  if (parent == nullptr) return kInvalidPointer;
  wchar_t id[kMaxId + 1] = {};
  DWORD type = 0, size = sizeof id - sizeof(wchar_t);
  if (ReadValue(node, L"TestParent", &type, reinterpret_cast<BYTE*>(id), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return kNoSuchDevnode;
  const DWORD found = NodeFor(id);
  if (found == 0) return kNoSuchDevnode;
  *parent = found;
  return kSuccess;
}

__declspec(dllexport) ConfigRet WINAPI
    CM_Get_DevNode_Registry_PropertyW(DWORD node, ULONG property, ULONG* type, void* buffer,
                                      ULONG* length, ULONG) {
  if (length == nullptr) return kInvalidPointer;
  const wchar_t* name = ValueName(property);
  if (name == nullptr) return kNoSuchValue;
  DWORD value_type = 0, size = 0;
  if (ReadValue(node, name, &value_type, nullptr, &size) != ERROR_SUCCESS) return kNoSuchValue;
  if (type != nullptr) *type = value_type;
  if (buffer == nullptr || *length < size) {
    *length = size;
    return kBufferSmall;
  }
  DWORD got = *length;
  if (ReadValue(node, name, &value_type, static_cast<BYTE*>(buffer), &got) != ERROR_SUCCESS)
    return kNoSuchValue;
  *length = got;
  return kSuccess;
}

}  // extern "C"
