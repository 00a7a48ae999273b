// The names by which the device's own ports and CD-ROM are told from every other port and drive
// of the PC: itemsmith looks for them, and a station lists them as slots.
#pragma once

#include <string>

namespace common {

// True when a COM port's device description names a DIAG port (case-sensitive substring match).
bool DescriptionNamesDiagPort(const std::wstring& description);

// True when the SCSI vendor and product strings name the device's own CD-ROM, the one the eject
// is sent to (prefixes compared, case-sensitive).
bool NamesDeviceCdrom(const std::wstring& vendor, const std::wstring& product);

}  // namespace common
