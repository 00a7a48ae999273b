// The rules a USB slot pin follows on both systems, apart from how each reads its environment
// and its device tree: which texts can name a slot, and how a device node is matched against
// one. A pin that cannot name a slot makes the run see nothing: a run that saw every device
// would provision, or eject, its neighbours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/usb_slots.hpp"

namespace platform {
namespace portable {

// Longer pins are refused unread: no location of either system comes near it.
inline constexpr size_t kPinLimit = 1023;

// bus-port[.port...], digits only: the kernel's name of a USB device folder ("1-2.3"); interfaces
// ("1-2.3:1.0"), root hubs ("usb1") and other folders differ from that shape.
bool IsUsbDeviceName(const std::string& text);

// The pin as read from the environment: `present` false when the variable is unset.
UsbPin PinFromLinuxText(bool present, const std::string& text);
UsbPin PinFromWindowsText(bool present, const std::wstring& text, bool read_whole);

// A device node of the Windows device tree, as the adapter reads it; tests fake it.
class DeviceTree {
 public:
  virtual ~DeviceTree() = default;
  virtual bool Parent(uint32_t node, uint32_t* parent) = 0;
  virtual std::vector<std::wstring> LocationPaths(uint32_t node) = 0;
  virtual std::vector<std::wstring> LocationInformation(uint32_t node) = 0;
};

// True when `node` or a node above it carries the pin as a location path or its location
// information, ignoring letter case. The walk goes up through interfaces and whatever a vendor's
// driver hangs in between, and ends with the USB device on its port (the first node with a
// location path ending in a USB port): the hub above a device is not the device.
bool NodeAtLocation(DeviceTree& tree, uint32_t node, const std::wstring& pin);

// The slot of `node` as a pin names it: the first location path of that USB device, or its
// location information where it reports no path; "" when the node sits on no USB port.
std::wstring SlotOfNode(DeviceTree& tree, uint32_t node);

// The USB device node on its port that `node` belongs to (the node the walk above ends at);
// false when the node sits on no USB port.
bool UsbDeviceNode(DeviceTree& tree, uint32_t node, uint32_t* usb_device);

// A serial number as a record shows it: trimmed, at most 126 characters (a USB string's
// limit), characters other than printable ASCII as '?'.
std::string UsbSerialText(const std::string& raw);

// The serial number in a USB device's instance ID, "USB\VID_1E0F&PID_9001\SN0042" -> "SN0042";
// "" for an ID the system made up because the device reports none ("5&1A2B3C&0&3").
std::string SerialOfInstanceId(const std::wstring& instance_id);

}  // namespace portable
}  // namespace platform
