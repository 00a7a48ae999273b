// Where a device node sits in the USB tree, read through the configuration manager, and the
// slot a run is pinned to (DIAG_USB_LOCATION). Shared by the COM port set, the CD-ROM set, the
// serial port list and the slot listing.
#pragma once

#include <windows.h>

#include <cfgmgr32.h>

#include <string>
#include <vector>

#include "platform/usb_slots.hpp"

namespace platform {
namespace win32 {

// The device interface classes of COM ports and CD-ROMs, as SetupAPI lists them.
inline const GUID kGuidDevinterfaceComport = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
inline const GUID kGuidDevinterfaceCdrom = {
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// True when a run with `pin` sees the device node: always unpinned, never for a refused pin,
// and when pinned, when the node belongs to the USB device at the pin (matched as the portable
// walk says, so the CD-ROM and the serial ports that replace it after the eject are in one slot).
bool DeviceAtLocation(DEVINST node, const UsbPin& pin);

// The slot of a device node as a pin names it; "" when it sits on no USB port.
std::string SlotOf(DEVINST node);

// The "COMn" port names of the present devices a run with `pin` sees.
std::vector<std::wstring> PortNamesAt(const UsbPin& pin);

}  // namespace win32
}  // namespace platform
