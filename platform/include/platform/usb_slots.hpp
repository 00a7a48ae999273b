// USB slots: where each DIAG port and CD-ROM sits, and the slot a run is pinned to.
//
// A run pinned to one USB slot (the environment variable DIAG_USB_LOCATION) sees only what
// belongs to the USB device at that location: the COM port set, the CD-ROM set and the serial
// port list hold nothing else, so that several devices can be provisioned side by side.
// Linux: the kernel's name of the USB device folder ("1-2.3") that the tty's or the CD-ROM's
// sysfs entry resolves into. Windows: one of the location paths, or the location information,
// that the device tree reports for the USB device (not its interface) the port or the CD-ROM
// belongs to. Unset pins nothing. A pin that is set but cannot name a slot (empty, too long to
// read whole, not shaped like a location) shows the run nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class Clock;

struct UsbPin {
  enum class State { kUnpinned, kPinned, kRefused };
  State state = State::kUnpinned;
  std::string location;  // kPinned: the pin as given
  std::string refusal;   // kRefused: why the run sees nothing, one line for a run log
};

// DIAG_USB_LOCATION as this run reads it.
UsbPin ReadUsbPin();

// A DIAG port candidate or a CD-ROM present now, and its slot.
struct PresentDevice {
  enum class Kind { kComPort, kCdrom };
  Kind kind = Kind::kComPort;
  std::string slot;         // what DIAG_USB_LOCATION takes to pin it; "" when on no USB port
  std::string name;         // "COM7", or the CD-ROM's drive ("sr2", "E:") where known
  std::string description;  // the port's device description; the CD-ROM's name
  std::string vendor;       // CD-ROM: the SCSI vendor and product strings, trimmed
  std::string product;
};

// True when `location` can name a slot on this system, as a pin must (Linux: B-P[.P...], "1-2.3";
// Windows: a location path or location information); *form says what is expected, for a usage
// message.
bool UsbLocationWellFormed(const std::string& location, std::string* form);

// What a slot holds at one moment.
struct SlotSight {
  bool device = false;  // a COM port or a CD-ROM of the USB device there
  bool port = false;    // a COM port: the device is past its CD-ROM and its reboots
  std::string serial;   // the USB serial number, read where the port is ("" for none), as
                        // UsbSerialAt reads it
};

// What each of `locations` holds now, in their order, from one walk of the device tree however
// many slots there are.
std::vector<SlotSight> LookAtUsbLocations(const std::vector<std::string>& locations);

// Every COM port and CD-ROM present, whatever the run's own pin; with `at` not empty, only those
// a run pinned to `at` would see (matched as a pin is).
std::vector<PresentDevice> PresentDevices(const std::string& at = std::string());

// Follows the ports and CD-ROMs coming and going, so that a runner that waits for devices need
// not walk the device tree for every slot on every pass.
class DeviceChanges {
 public:
  virtual ~DeviceChanges() = default;
  // Waits at most `ms` (through `clock`) for a device to appear or go; true when one may have
  // (a stop signal also ends the wait early with true). A device tree is not laid out or taken
  // away in one step: look again for a moment after a change.
  virtual bool Wait(Clock& clock, uint32_t ms) = 0;
};

// Null where the platform cannot follow the changes (Windows), or cannot start to.
std::unique_ptr<DeviceChanges> FollowDeviceChanges();

}  // namespace platform
