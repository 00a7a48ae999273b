#include "platform/portable/usb_pin.hpp"

namespace platform {
namespace portable {
namespace {

// Hubs nest at most seven tiers deep; the bound keeps a looping tree from hanging the walk.
constexpr int kMaxLevels = 64;
constexpr char kSeesNothing[] = "; this run sees no device";

bool Printable(wchar_t c) { return c >= 0x20 && c < 0x7F; }

// The pin as a run log may show it: ASCII kept, anything else a question mark.
template <typename Text>
std::string Shown(const Text& text) {
  std::string shown;
  for (auto c : text)
    shown.push_back(Printable(static_cast<wchar_t>(c)) ? static_cast<char>(c) : '?');
  return shown;
}

UsbPin Refused(const std::string& why) {
  UsbPin pin;
  pin.state = UsbPin::State::kRefused;
  pin.refusal = "DIAG_USB_LOCATION " + why + kSeesNothing;
  return pin;
}

template <typename Text>
UsbPin Pinned(const Text& text) {
  UsbPin pin;
  pin.state = UsbPin::State::kPinned;
  pin.location = Shown(text);
  return pin;
}

}  // namespace

bool IsUsbDeviceName(const std::string& text) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos || dash == 0) return false;
  bool digit_before = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
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

namespace {

bool IsNameCharacter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
         c == L'_';
}

// NAME(arg)#NAME(arg)...; the names of its elements, or none when it is not so shaped.
std::vector<std::wstring> PathElements(const std::wstring& text) {
  std::vector<std::wstring> names;
  size_t at = 0;
  while (at < text.size()) {
    const size_t open = text.find(L'(', at);
    const size_t close = text.find(L')', at);
    if (open == std::wstring::npos || close == std::wstring::npos || open == at || close < open)
      return {};
    for (size_t i = at; i < open; ++i) {
      if (!IsNameCharacter(text[i])) return {};
    }
    for (size_t i = open + 1; i < close; ++i) {
      if (!Printable(text[i]) || text[i] == L'(' || text[i] == L'#') return {};
    }
    names.push_back(text.substr(at, open - at));
    at = close + 1;
    if (at == text.size()) break;
    if (text[at] != L'#' || at + 1 == text.size()) return {};
    ++at;
  }
  return names;
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

// A location path of a device on a USB port ends in that port's element.
bool EndsAtUsbPort(const std::wstring& path) {
  const std::vector<std::wstring> names = PathElements(path);
  return !names.empty() && Upper(names.back()) == L"USB";
}

// The location information of a device on a USB port: "Port_#0003.Hub_#0002".
bool NamesUsbPort(const std::wstring& information) {
  return Upper(information).compare(0, 6, L"PORT_#") == 0;
}

}  // namespace

UsbPin PinFromLinuxText(bool present, const std::string& text) {
  if (!present) return UsbPin();
  if (text.empty()) return Refused("is set but empty");
  if (text.size() > kPinLimit) return Refused("is longer than 1023 characters");
  if (!IsUsbDeviceName(text)) {
    return Refused("\"" + Shown(text) +
                   "\" is not a USB location (bus-port.port..., for example 1-2.3)");
  }
  return Pinned(text);
}

UsbPin PinFromWindowsText(bool present, const std::wstring& text, bool read_whole) {
  if (!present) return UsbPin();
  if (!read_whole || text.size() > kPinLimit) return Refused("is longer than 1023 characters");
  if (text.empty()) return Refused("is set but empty");
  const bool path_shaped = text.find(L'(') != std::wstring::npos;
  if (path_shaped) {
    const std::vector<std::wstring> names = PathElements(text);
    if (!names.empty() && Upper(names.back()) == L"USBMI") {
      return Refused("\"" + Shown(text) +
                     "\" names a USB interface, not the USB device (linestation --list-slots "
                     "shows the slot)");
    }
    if (!names.empty()) return Pinned(text);
  } else {
    bool printable = text.front() != L' ' && text.back() != L' ';
    for (wchar_t c : text) printable = printable && Printable(c);
    if (printable) return Pinned(text);
  }
  return Refused("\"" + Shown(text) +
                 "\" is not a USB location (a location path such as "
                 "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3), or location information such as "
                 "Port_#0003.Hub_#0002)");
}

bool NodeAtLocation(DeviceTree& tree, uint32_t node, const std::wstring& pin) {
  const std::wstring wanted = Upper(pin);
  for (int level = 0; level < kMaxLevels; ++level) {
    bool on_usb_port = false;
    for (const std::wstring& path : tree.LocationPaths(node)) {
      if (Upper(path) == wanted) return true;
      on_usb_port = on_usb_port || EndsAtUsbPort(path);
    }
    for (const std::wstring& info : tree.LocationInformation(node)) {
      if (Upper(info) == wanted) return true;
      on_usb_port = on_usb_port || NamesUsbPort(info);
    }
    if (on_usb_port) return false;
    uint32_t parent = 0;
    if (!tree.Parent(node, &parent)) return false;
    node = parent;
  }
  return false;
}

namespace {

// The walk up to the USB device on its port, with the slot it names there.
bool WalkToUsbPort(DeviceTree& tree, uint32_t node, uint32_t* usb_device, std::wstring* slot) {
  for (int level = 0; level < kMaxLevels; ++level) {
    for (const std::wstring& path : tree.LocationPaths(node)) {
      if (EndsAtUsbPort(path)) {
        *usb_device = node;
        *slot = path;
        return true;
      }
    }
    for (const std::wstring& info : tree.LocationInformation(node)) {
      if (NamesUsbPort(info)) {
        *usb_device = node;
        *slot = info;
        return true;
      }
    }
    uint32_t parent = 0;
    if (!tree.Parent(node, &parent)) return false;
    node = parent;
  }
  return false;
}

}  // namespace

std::wstring SlotOfNode(DeviceTree& tree, uint32_t node) {
  uint32_t usb_device = 0;
  std::wstring slot;
  return WalkToUsbPort(tree, node, &usb_device, &slot) ? slot : L"";
}

bool UsbDeviceNode(DeviceTree& tree, uint32_t node, uint32_t* usb_device) {
  std::wstring slot;
  return WalkToUsbPort(tree, node, usb_device, &slot);
}

std::string UsbSerialText(const std::string& raw) {
  size_t begin = 0, end = raw.size();
  while (begin < end && (raw[begin] == ' ' || raw[begin] == '\t')) ++begin;
  while (end > begin && (raw[end - 1] == ' ' || raw[end - 1] == '\t' || raw[end - 1] == '\n' ||
                         raw[end - 1] == '\r'))
    --end;
  std::string text;
  for (size_t i = begin; i < end && text.size() < 126; ++i) {
    const unsigned char c = static_cast<unsigned char>(raw[i]);
    text.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
  }
  return text;
}

std::string SerialOfInstanceId(const std::wstring& instance_id) {
  const size_t slash = instance_id.find_last_of(L'\\');
  if (slash == std::wstring::npos) return "";
  const std::wstring part = instance_id.substr(slash + 1);
  if (part.find(L'&') != std::wstring::npos) return "";
  std::string narrow;
  for (const wchar_t c : part) narrow.push_back(c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
  return UsbSerialText(narrow);
}

}  // namespace portable

}  // namespace platform
