// Everything the NV writer touches outside itself. main() fills it with the operating system's
// adapter; tests put a scripted adapter or the virtual device behind the same fields, so the
// whole run can be driven without a device or a production-length wait.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.hpp"
#include "platform/com_port.hpp"
#include "platform/device_discovery.hpp"
#include "platform/files.hpp"

namespace nvtool {

// Opens the device's port: the real adapter in the program, a scripted one or the virtual device
// in the tests.
using PortFactory = std::function<std::unique_ptr<platform::ComPort>(platform::Clock&)>;

struct Environment {
  platform::Clock* clock = nullptr;
  PortFactory make_com_port;
  platform::DeviceDiscovery* discovery = nullptr;
  std::function<bool(std::vector<std::wstring>*)> list_process_names;
  std::function<void(bool)> show_console_window;
  std::function<void(const std::string&)> console_write;
  std::function<void(const std::wstring&)> console_write_wide;
  std::function<std::unique_ptr<platform::OutputFile>(const std::string&)> create_output_file;
  std::function<bool(const std::string&)> remove_file;
  // Opens the list file for reading; null for a file that cannot be opened or is no regular file.
  std::function<std::FILE*(const std::string&, const char*)> open_stream;
};

// The real adapter and clock. The discovery object it points to lives until the process ends.
Environment RealEnvironment();

}  // namespace nvtool
