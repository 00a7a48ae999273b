#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "platform/portable/usb_pin.hpp"
#include "platform/usb_serial.hpp"
#include "win32_support.hpp"
#include "win32_usb_location.hpp"

namespace platform {
namespace win32 {
namespace {

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

// The device tree as the configuration manager reports it.
class ConfigManagerTree final : public portable::DeviceTree {
 public:
  bool Parent(uint32_t node, uint32_t* parent) override {
    DEVINST up = 0;
    if (CM_Get_Parent(&up, node, 0) != CR_SUCCESS) return false;
    *parent = up;
    return true;
  }
  std::vector<std::wstring> LocationPaths(uint32_t node) override {
    return Strings(node, CM_DRP_LOCATION_PATHS);
  }
  std::vector<std::wstring> LocationInformation(uint32_t node) override {
    return Strings(node, CM_DRP_LOCATION_INFORMATION);
  }

 private:
  // A property of the node as its strings: one for a plain string, each of a multi-string.
  static std::vector<std::wstring> Strings(DEVINST node, ULONG property) {
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
      out.push_back(one);
      if (type != REG_MULTI_SZ) break;
    }
    return out;
  }
};

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The COM number a port driver took: the PortName value of the device's hardware key.
bool PortName(HDEVINFO set, SP_DEVINFO_DATA* data, std::wstring* name) {
  HKEY key = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return false;
  WCHAR value[64] = {};
  DWORD size = sizeof value - sizeof(WCHAR);
  DWORD type = 0;
  const bool named = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                      reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
                     type == REG_SZ;
  RegCloseKey(key);
  if (named) *name = Upper(value);
  return named;
}

std::string Property(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property) {
  WCHAR buffer[256] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, data, property, nullptr,
                                         reinterpret_cast<PBYTE>(buffer), sizeof buffer - 2,
                                         nullptr)) {
    return "";
  }
  return Narrow(buffer);
}

// The SCSI vendor and product strings of a USB CD-ROM, from its first hardware id,
// "USBSTOR\CdRomKVX_____Mass_storage____1.00": eight characters of vendor and sixteen of
// product, blanks written as underscores, in their own letter case. Read there, they need no
// handle on a drive another run may hold.
bool ScsiStrings(HDEVINFO set, SP_DEVINFO_DATA* data, std::string* vendor, std::string* product) {
  WCHAR ids[512] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_HARDWAREID, nullptr,
                                         reinterpret_cast<PBYTE>(ids), sizeof ids - 4, nullptr)) {
    return false;
  }
  const std::wstring first = ids;
  const std::wstring prefix = L"USBSTOR\\CDROM";
  if (first.size() < prefix.size() + 24 || Upper(first.substr(0, prefix.size())) != prefix)
    return false;
  const auto field = [&](size_t at, size_t length) {
    std::string text = Narrow(first.substr(prefix.size() + at, length));
    for (char& c : text) {
      if (c == '_') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  };
  *vendor = field(0, 8);
  *product = field(8, 16);
  return true;
}

}  // namespace

bool DeviceAtLocation(DEVINST node, const UsbPin& pin) {
  switch (pin.state) {
    case UsbPin::State::kUnpinned:
      return true;
    case UsbPin::State::kPinned: {
      ConfigManagerTree tree;
      return portable::NodeAtLocation(tree, node, Wide(pin.location));
    }
    case UsbPin::State::kRefused:
      break;
  }
  return false;
}

std::string SlotOf(DEVINST node) {
  ConfigManagerTree tree;
  return Narrow(portable::SlotOfNode(tree, node));
}

std::vector<std::wstring> PortNamesAt(const UsbPin& pin) {
  std::vector<std::wstring> names;
  if (pin.state == UsbPin::State::kRefused) return names;
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return names;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    std::wstring name;
    if (PortName(set, &data, &name) && DeviceAtLocation(data.DevInst, pin)) names.push_back(name);
  }
  SetupDiDestroyDeviceInfoList(set);
  return names;
}

}  // namespace win32

UsbPin ReadUsbPin() {
  WCHAR value[portable::kPinLimit + 1] = {};
  SetLastError(ERROR_SUCCESS);
  const DWORD n = GetEnvironmentVariableW(L"DIAG_USB_LOCATION", value, portable::kPinLimit + 1);
  if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
    return portable::PinFromWindowsText(false, L"", true);
  }
  // A value that does not fit comes back as the size it needs, and nothing of it is read.
  const bool whole = n <= portable::kPinLimit;
  return portable::PinFromWindowsText(true, whole ? std::wstring(value, n) : std::wstring(), whole);
}

bool UsbLocationWellFormed(const std::string& location, std::string* form) {
  *form =
      "the USB device's location path or location information, for example "
      "Port_#0003.Hub_#0002 (linestation --list-slots shows them)";
  return portable::PinFromWindowsText(true, win32::WideFromAnsi(location), true).state ==
         UsbPin::State::kPinned;
}

// A slot may be named by a location path or by location information, so each is matched as a
// pin is.
std::vector<SlotSight> LookAtUsbLocations(const std::vector<std::string>& locations) {
  std::vector<SlotSight> sights(locations.size());
  for (size_t i = 0; i < locations.size(); ++i) {
    for (const PresentDevice& device : PresentDevices(locations[i])) {
      sights[i].device = true;
      sights[i].port = sights[i].port || device.kind == PresentDevice::Kind::kComPort;
    }
    if (sights[i].port) sights[i].serial = UsbSerialAt(locations[i]);
  }
  return sights;
}

std::vector<PresentDevice> PresentDevices(const std::string& at) {
  UsbPin pin;
  if (!at.empty()) {
    pin = portable::PinFromWindowsText(true, win32::WideFromAnsi(at), true);
  }
  std::vector<PresentDevice> devices;
  HDEVINFO ports = SetupDiGetClassDevsW(&win32::kGuidDevinterfaceComport, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (ports != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(ports, i, &data); ++i) {
      if (!win32::DeviceAtLocation(data.DevInst, pin)) continue;
      PresentDevice port;
      std::wstring name;
      if (win32::PortName(ports, &data, &name)) port.name = win32::Narrow(name);
      port.description = win32::Property(ports, &data, SPDRP_DEVICEDESC);
      port.slot = win32::SlotOf(data.DevInst);
      devices.push_back(std::move(port));
    }
    SetupDiDestroyDeviceInfoList(ports);
  }
  HDEVINFO cdroms = SetupDiGetClassDevsW(&win32::kGuidDevinterfaceCdrom, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (cdroms != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(cdroms, i, &data); ++i) {
      if (!win32::DeviceAtLocation(data.DevInst, pin)) continue;
      PresentDevice cdrom;
      cdrom.kind = PresentDevice::Kind::kCdrom;
      win32::ScsiStrings(cdroms, &data, &cdrom.vendor, &cdrom.product);
      cdrom.name = "CD-ROM";
      cdrom.description = win32::Property(cdroms, &data, SPDRP_FRIENDLYNAME);
      if (cdrom.description.empty()) cdrom.description = cdrom.vendor + " " + cdrom.product;
      cdrom.slot = win32::SlotOf(data.DevInst);
      devices.push_back(std::move(cdrom));
    }
    SetupDiDestroyDeviceInfoList(cdroms);
  }
  return devices;
}

namespace {

// The instance ID of the USB device of the first COM port or CD-ROM present at the pin, in the
// order PresentDevices lists them. Read while the device set is open: a node number need not
// outlive the set it came from (Wine's do not).
bool UsbDeviceIdAt(const UsbPin& pin, std::wstring* id) {
  for (const GUID* kind : {&win32::kGuidDevinterfaceComport, &win32::kGuidDevinterfaceCdrom}) {
    HDEVINFO set =
        SetupDiGetClassDevsW(kind, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) continue;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    bool found = false, read = false;
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &data); ++i) {
      if (!win32::DeviceAtLocation(data.DevInst, pin)) continue;
      found = true;
      win32::ConfigManagerTree tree;
      uint32_t usb_device = 0;
      WCHAR text[MAX_DEVICE_ID_LEN + 1] = {};
      read = portable::UsbDeviceNode(tree, data.DevInst, &usb_device) &&
             CM_Get_Device_IDW(usb_device, text, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS;
      if (read) *id = text;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (found) return read;
  }
  return false;
}

}  // namespace

std::string UsbSerialAt(const std::string& location) {
  const UsbPin pin = portable::PinFromWindowsText(true, win32::WideFromAnsi(location), true);
  std::wstring id;
  if (pin.state != UsbPin::State::kPinned || !UsbDeviceIdAt(pin, &id)) return "";
  return portable::SerialOfInstanceId(id);
}

// The station looks at its slots on every pass here, as often as it waits.
std::unique_ptr<DeviceChanges> FollowDeviceChanges() { return nullptr; }

}  // namespace platform
