#include "efstool/treesmith.hpp"
#include "platform/command_line.hpp"

int main(int argc, char** argv) {
  return efstool::RunTreesmith(platform::CommandLineArguments(argc, argv), platform::RealClock(),
                               efstool::RealConsole());
}
