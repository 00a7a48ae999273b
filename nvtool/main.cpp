#include "common/program_questions.hpp"
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
  // One argument otherwise means a run with the reset.
  if (const char* answer = common::AnswerToQuestion(argc, argv, kUsage,
                                                    "itemsmith " LINETOOLS_VERSION
                                                    " (KVX_WriteNVItem version 20120831)\n")) {
    platform::ConsoleWrite(answer);
    return 0;
  }
  const nvtool::Environment env = nvtool::RealEnvironment();
  return nvtool::RunItemsmith(argc - 1, env);
}
