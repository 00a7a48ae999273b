#include "nvtool/environment.hpp"

#include "platform/console.hpp"
#include "platform/processes.hpp"

namespace nvtool {

Environment RealEnvironment() {
  platform::KeepRunningWithoutConsole();
  static std::unique_ptr<platform::DeviceDiscovery> discovery = platform::MakeDeviceDiscovery();
  Environment env;
  env.clock = &platform::RealClock();
  env.make_com_port = [](platform::Clock& clock) { return platform::MakeComPort(clock); };
  env.discovery = discovery.get();
  env.list_process_names = platform::ListProcessNames;
  env.show_console_window = platform::ShowConsoleWindow;
  env.console_write = platform::ConsoleWrite;
  env.console_write_wide = platform::ConsoleWriteWide;
  env.create_output_file = platform::CreateOutputFile;
  env.remove_file = platform::RemoveFile;
  env.open_stream = platform::OpenRegularFileStream;
  return env;
}

}  // namespace nvtool
