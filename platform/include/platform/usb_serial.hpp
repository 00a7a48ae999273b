// The USB serial number of the device in a slot: what names a device in a station's record,
// whichever slot it was plugged into.
#pragma once

#include <string>

namespace platform {

// The serial number the USB device at `location` (a slot, as DIAG_USB_LOCATION names it)
// reports; "" when it reports none or nothing is at the slot. Linux: the USB device's `serial`
// in sysfs. Windows: the last part of the USB device's instance ID, when the device gave it
// (an ID the system made up for a device without a serial number holds '&' and is none).
// Only printable ASCII is kept, other characters become '?'.
std::string UsbSerialAt(const std::string& location);

}  // namespace platform
