#include "diaglib/api/port_autodetect.hpp"

#include <algorithm>
#include <cstdlib>

#include "diaglib/api/resource_manager.hpp"
#include "diaglib/commands/core_commands.hpp"
#include "platform/serial_registry.hpp"

namespace diaglib {
namespace {

// Filled and read only while a context is being created, on the caller's thread.
std::vector<uint16_t>& PortList() {
  static std::vector<uint16_t> ports;
  return ports;
}

}  // namespace

uint16_t PortNumberFromListEntry(const std::string& entry) {
  if (entry.size() < 3) return 0;
  return static_cast<uint16_t>(std::atoi(entry.c_str() + 3) & 0xFF);
}

bool EnumerateSerialPorts() {
  std::vector<uint16_t>& ports = PortList();
  ports.clear();
  std::vector<std::string> entries;
  if (!platform::ReadSerialPortList(&entries)) return false;
  for (const std::string& entry : entries) ports.push_back(PortNumberFromListEntry(entry));
  return true;
}

const std::vector<uint16_t>& SerialPortList() { return PortList(); }

bool FindPhonePorts(int* count, uint16_t* ports, int ignore_count, const uint16_t* ignore) {
  Vode_ResourceManager& manager = Vode_ResourceManager::Instance();
  manager.CloseAllContexts();
  if (!EnumerateSerialPorts()) return false;

  int found = 0;
  for (const uint16_t port : PortList()) {
    if (found >= *count) break;
    if (ignore != nullptr &&
        std::find(ignore, ignore + ignore_count, port) != ignore + ignore_count) {
      continue;
    }
    VODE_HANDLE handle = manager.CreateContext(port);
    if (handle == nullptr) continue;
    Diag_Phone* phone = manager.Phone(handle);
    if (phone != nullptr) {
      if (phone->OpenPort() && IsPhoneConnected(*phone)) ports[found++] = port;
      phone->ClosePort();
    }
    manager.Release(handle, false);
  }
  *count = found;
  return true;
}

}  // namespace diaglib
