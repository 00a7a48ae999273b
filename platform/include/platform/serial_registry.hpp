// The system's list of serial ports, in the order the system keeps it.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Windows: the data of every value under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM that enumerates,
// in value order (values that fail to enumerate are skipped). POSIX: "COMn" for every link of
// dev/serial/com below the device root, oldest link first, ties by name. False when the list
// cannot be opened at all. With DIAG_USB_LOCATION set, only the ports of the USB device at that
// location are listed (usb_slots.hpp says how locations are read).
bool ReadSerialPortList(std::vector<std::string>* entries);

}  // namespace platform
