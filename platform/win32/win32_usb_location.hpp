// The USB slot a run is pinned to (DIAG_USB_LOCATION) and where a device node sits: the location
// paths and the location information SetupAPI reports for the USB device it belongs to. Shared
// by the COM port set, the CD-ROM set and the serial port list.
#pragma once

#include <windows.h>

#include <cfgmgr32.h>

#include <string>
#include <vector>

namespace platform {
namespace win32 {

// DIAG_USB_LOCATION; "" when unset or empty, which pins nothing.
std::wstring PinnedUsbLocation();

// True when the device node belongs to the USB device at `pin`: walking up from the node (a
// port, a CD-ROM, an interface) to the first USB device that is not one of a composite device's
// interfaces, one of its location paths or its location information equals the pin, ignoring
// letter case. The interface is skipped because the CD-ROM and the serial ports that replace it
// after the eject hang off different interfaces of the one device in the one slot.
bool DeviceAtLocation(DEVINST node, const std::wstring& pin);

// The "COMn" port names of the present devices at `pin`.
std::vector<std::wstring> PortNamesAt(const std::wstring& pin);

}  // namespace win32
}  // namespace platform
