#include <cstring>

#include "nvtool/environment.hpp"
#include "nvtool/run_sequence.hpp"
#include "platform/console.hpp"

namespace {

const char kUsage[] =
    "usage: itemsmith [ARGUMENT]\n"
    "\n"
    "Writes the NV items listed in KVX_nvitem.txt (in the current folder) into the device on\n"
    "its DIAG serial port: finds the port (ejecting the device's CD-ROM when only that is\n"
    "there), switches the device offline, writes every item that differs and reads it back.\n"
    "With exactly one argument, whatever its text, the device is reset at the end.\n"
    "It writes the run log KVX_WriteNVItem_log.txt and the verdict KVX_WriteNVItem_result.txt\n"
    "([WriteNVItem PASS] or [WriteNVItem FAIL]).\n"
    "\n"
    "DIAG_USB_LOCATION pins the run to the device at one USB location; on Linux\n"
    "DIAG_DEVICE_ROOT names the folder devices are looked for below (default /).\n"
    "\n"
    "  --help, -h   show this text (only as the one argument; touches nothing)\n"
    "  --version    show the version (only as the one argument; touches nothing)\n"
    "\n"
    "The manual page itemsmith(1) has the exit codes and the files.\n";

}  // namespace

int main(int argc, char** argv) {
  // Asked as the only argument, these are questions about the program: answering them by
  // starting a run with the reset would provision whatever device is plugged in.
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    platform::ConsoleWrite(kUsage);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    platform::ConsoleWrite("itemsmith " LINETOOLS_VERSION " (KVX_WriteNVItem version 20120831)\n");
    return 0;
  }
  const nvtool::Environment env = nvtool::RealEnvironment();
  return nvtool::RunItemsmith(argc - 1, env);
}
