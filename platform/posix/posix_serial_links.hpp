// The COMn links of dev/serial/com, shared by the serial port list and the COM port discovery
// so that both see the ports in the same order.
#pragma once

#include <string>
#include <vector>

#include "platform/usb_slots.hpp"

namespace platform {
namespace posix {

struct ComLink {
  std::string name;  // "COM7"
  int number = 0;    // 7
  std::string path;  // the link itself
  std::string tty;   // last component of the link's target, for example ttyUSB2
};

// Oldest link first, ties by name, only those a run with `pin` sees. False when the folder
// cannot be read.
bool ListComLinks(const UsbPin& pin, std::vector<ComLink>* links);

// The port's device description: what the udev rule names it, else its USB strings.
bool PortDescription(const std::string& tty, std::string* description);

}  // namespace posix
}  // namespace platform
