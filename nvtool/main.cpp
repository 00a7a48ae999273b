#include <string>

#include "common/itemsmith_contract.hpp"
#include "common/program_questions.hpp"
#include "common/text_format.hpp"
#include "nvtool/environment.hpp"
#include "nvtool/run_sequence.hpp"
#include "platform/console.hpp"

namespace {

// The files and words are filled in from the program's contract.
const char kUsageFormat[] =
    "usage: itemsmith [ARGUMENT]\n"
    "\n"
    "Writes the NV items listed in %s (in the current folder) into the device on\n"
    "its DIAG serial port: finds the port (ejecting the device's CD-ROM when only that is\n"
    "there), switches the device offline, writes every item that differs and reads it back.\n"
    "With exactly one argument, whatever its text, the device is reset at the end.\n"
    "It writes the run log %s and the verdict %s\n"
    "(%s or %s).\n"
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
  // One argument otherwise means a run with the reset.
  namespace contract = common::itemsmith;
  const std::string usage =
      common::Format(kUsageFormat, contract::kListFile, contract::kLogFile, contract::kResultFile,
                     contract::kPassVerdict, contract::kFailVerdict);
  if (const char* answer = common::AnswerToQuestion(argc, argv, usage.c_str(),
                                                    "itemsmith " LINETOOLS_VERSION
                                                    " (KVX_WriteNVItem version 20120831)\n")) {
    platform::ConsoleWrite(answer);
    return 0;
  }
  const nvtool::Environment env = nvtool::RealEnvironment();
  return nvtool::RunItemsmith(argc - 1, env);
}
