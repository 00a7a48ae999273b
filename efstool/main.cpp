#include <string>
#include <vector>

#include "common/program_questions.hpp"
#include "common/text_format.hpp"
#include "common/treesmith_contract.hpp"
#include "efstool/treesmith.hpp"
#include "platform/command_line.hpp"
#include "platform/console.hpp"

namespace {

// The options, files and words are filled in from the program's contract.
const char kUsageFormat[] =
    "usage: treesmith [%s | %s]\n"
    "\n"
    "Writes the upload folders of the current folder into the device's embedded file system\n"
    "over its DIAG serial port, after deleting the old content: the KVX set without an\n"
    "argument (or with any other first word), the VEXA set with %s; %s only\n"
    "deletes the download marker /DL_Processing. The options take any letter case.\n"
    "It writes the run log %s and the verdict %s (%s\n"
    "or %s), or %s and %s.\n"
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
  namespace contract = common::treesmith;
  const std::string usage =
      common::Format(kUsageFormat, contract::kVexaOption, contract::kDeleteDlOption,
                     contract::kVexaOption, contract::kDeleteDlOption, contract::kProductFiles.log,
                     contract::kProductFiles.result, contract::kPassVerdict, contract::kFailVerdict,
                     contract::kDeleteDlFiles.log, contract::kDeleteDlFiles.result);
  if (const char* answer = common::AnswerToQuestion(argc, argv, usage.c_str(),
                                                    "treesmith " LINETOOLS_VERSION
                                                    " (treesmith version 20120903)\n")) {
    platform::ConsoleWrite(answer);
    return 0;
  }
  const std::vector<std::wstring> args = platform::CommandLineArguments(argc, argv);
  return efstool::RunTreesmith(args, platform::RealClock(), efstool::RealConsole());
}
