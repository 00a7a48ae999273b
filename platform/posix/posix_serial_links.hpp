// The COMn links of dev/serial/com, shared by the serial port list and the COM port discovery
// so that both see the ports in the same order.
#pragma once

#include <string>
#include <vector>

namespace platform {
namespace posix {

struct ComLink {
  std::string name;  // "COM7"
  int number = 0;    // 7
  std::string path;  // the link itself
  std::string tty;   // last component of the link's target, for example ttyUSB2
};

// Oldest link first, ties by name. False when the folder cannot be read.
bool ListComLinks(std::vector<ComLink>* links);

}  // namespace posix
}  // namespace platform
