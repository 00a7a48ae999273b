#include <string>
#include <vector>

#include "platform/child_process.hpp"
#include "platform/clock.hpp"
#include "platform/console.hpp"
#include "platform/usb_slots.hpp"
#include "station/slot_list.hpp"
#include "station/station.hpp"

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--list-slots") {
    platform::ConsoleWrite(station::SlotListing(platform::PresentDevices()));
    return 0;
  }
  station::Options options;
  bool help = false;
  std::string message;
  if (!station::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &help,
                             &message)) {
    platform::ConsoleWrite("linestation: " + message +
                           "\n(linestation --help lists the options)\n");
    return 2;
  }
  if (help) {
    platform::ConsoleWrite(station::kUsage);
    return 0;
  }
  return station::RunStation(options, platform::RealClock(), platform::StartChild,
                             platform::PrepareLiveConsole(), platform::ConsoleWrite);
}
