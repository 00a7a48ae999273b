// The USB slot a run is pinned to (DIAG_USB_LOCATION), and where a tty or a CD-ROM sits: the
// kernel's name of the USB device folder its sysfs entry resolves into. Shared by the serial
// port list and the CD-ROM discovery, so that a pinned run sees one device everywhere.
#pragma once

#include <string>

#include "platform/usb_slots.hpp"

namespace platform {
namespace posix {

// "1-2.3" for an entry below the root's sys folder (sys/class/tty/ttyUSB0,
// sys/class/block/sr0) that resolves into that USB device's folder (through its interface, a
// usb-serial port, a SCSI host...); "" when the entry is on no USB device or leaves the root.
std::string UsbLocationOf(const std::string& class_entry);

// The resolved sysfs folder of that USB device; "" as above.
std::string UsbDeviceFolderOf(const std::string& class_entry);

// The resolved sysfs folder of the USB device at `location` that shows a tty or a CD-ROM; ""
// when nothing is there.
std::string UsbDeviceFolderAt(const std::string& location);

// The serial number the USB device of that folder reports, as UsbSerialAt gives it.
std::string SerialOfUsbDeviceFolder(const std::string& folder);

// True when nothing is pinned, or the entry sits at the pinned location; never for a refused pin.
bool VisibleTo(const UsbPin& pin, const std::string& class_entry);

}  // namespace posix
}  // namespace platform
