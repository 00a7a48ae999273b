// A USB slot as a station names it: the location of one device (see DIAG_USB_LOCATION in
// device_discovery.hpp), checked for its form and for whether anything is there.
#pragma once

#include <string>

namespace platform {

// True when `location` has the form the platform names a USB device by. Linux: B-P[.P...]
// ("1-2.3"). Windows: a location path or location information, printable, without blanks at
// either end. *form says what is expected, for a usage message.
bool UsbLocationWellFormed(const std::string& location, std::string* form);

// True when a device is at `location` now: a serial port or a CD-ROM of the USB device there.
bool DeviceAtUsbLocation(const std::string& location);

}  // namespace platform
