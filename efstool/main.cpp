#include <string>
#include <vector>

#include "efstool/treesmith.hpp"
#include "platform/command_line.hpp"
#include "platform/console.hpp"

namespace {

const char kUsage[] =
    "usage: treesmith [--VEXA | --DeleteDLFile]\n"
    "\n"
    "Writes the upload folders of the current folder into the device's embedded file system\n"
    "over its DIAG serial port, after deleting the old content: the KVX set without an\n"
    "argument (or with any other first word), the VEXA set with --VEXA; --DeleteDLFile only\n"
    "deletes the download marker /DL_Processing. The options take any letter case.\n"
    "It writes the run log Kvx_treesmith.log and the verdict Kvx_treesmith_Result.txt (PASS\n"
    "or FAIL), or Kvx_treesmith_Delete_DL.log and Kvx_treesmith_Delete_DL_Result.txt.\n"
    "\n"
    "DIAG_USB_LOCATION pins the run to the device at one USB location; on Linux\n"
    "DIAG_DEVICE_ROOT names the folder devices are looked for below (default /).\n"
    "\n"
    "  --help, -h   show this text (only as the one argument; touches nothing)\n"
    "  --version    show the version (only as the one argument; touches nothing)\n"
    "\n"
    "The manual page treesmith(1) has the upload folders, the exit codes and the files.\n";

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::wstring> args = platform::CommandLineArguments(argc, argv);
  // Asked as the only argument, these are questions about the program, not a KVX run.
  if (args.size() == 1 && (args[0] == L"--help" || args[0] == L"-h")) {
    platform::ConsoleWrite(kUsage);
    return 0;
  }
  if (args.size() == 1 && args[0] == L"--version") {
    platform::ConsoleWrite("treesmith " LINETOOLS_VERSION " (treesmith version 20120903)\n");
    return 0;
  }
  return efstool::RunTreesmith(args, platform::RealClock(), efstool::RealConsole());
}
