#include <memory>
#include <string>
#include <vector>

#include "platform/child_process.hpp"
#include "platform/clock.hpp"
#include "platform/console.hpp"
#include "platform/stop_request.hpp"
#include "platform/usb_slots.hpp"
#include "station/options.hpp"
#include "station/preflight.hpp"
#include "station/shift.hpp"
#include "station/slot_list.hpp"
#include "station/station.hpp"
#include "station/web_server.hpp"

int main(int argc, char** argv) {
  // A line script's `| tee` or `| head` may go away mid-shift: the table is then lost, never a
  // run or a record.
  platform::KeepRunningWithoutConsole();
  if (argc == 2 && std::string(argv[1]) == "--list-slots") {
    platform::ConsoleWrite(station::SlotListing(platform::PresentDevices()));
    return 0;
  }
  // From the first moment: a stop during the check must not end the station uncounted.
  platform::CatchStopRequests();
  station::Options options;
  station::Request request = station::Request::kRun;
  std::string message;
  if (!station::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &request,
                             &message)) {
    platform::ConsoleWriteError("linestation: " + message +
                                " (linestation --help lists the options)\n");
    return station::kExitUsage;
  }
  if (request == station::Request::kHelp) {
    platform::ConsoleWrite(station::kUsage);
    return 0;
  }
  if (request == station::Request::kVersion) {
    platform::ConsoleWrite("linestation " LINETOOLS_VERSION "\n");
    return 0;
  }
  if (!station::CheckBeforeStart(&options, platform::OwnProgramFolder(), &message)) {
    platform::ConsoleWriteError("linestation: " + message + "\n");
    return station::kExitUsage;
  }
  // The port is checked with the rest: a station whose view cannot be served does not start.
  std::unique_ptr<station::WebServer> web;
  if (!options.http.empty()) {
    web = station::WebServer::Open({options.http, options.work_folder, options.csv_file}, &message);
    if (web == nullptr) {
      platform::ConsoleWriteError("linestation: " + message + "\n");
      return station::kExitUsage;
    }
  }
  station::Surroundings outside;
  outside.launch = platform::StartChild;
  outside.wait_for_run_end = [](uint32_t ms) {
    platform::WaitForAChildToEnd(platform::RealClock(), ms);
  };
  outside.run_ended = platform::AChildHasEnded;
  outside.look = platform::LookAtUsbLocations;
  const std::unique_ptr<platform::DeviceChanges> changes = platform::FollowDeviceChanges();
  if (changes != nullptr) {
    outside.device_changes = [&changes](uint32_t ms) {
      return changes->Wait(platform::RealClock(), ms);
    };
  }
  outside.stop_request = platform::StopRequest;
  outside.urgent_stop_request = platform::UrgentStopRequest;
  outside.write = platform::ConsoleWrite;
  outside.write_error = platform::ConsoleWriteError;
  outside.live = platform::PrepareLiveConsole();
  outside.columns = platform::ConsoleColumns();
  if (web != nullptr) {
    outside.shown = [&web](const station::StationView& view) { web->Show(view); };
    outside.recorded = [&web](const station::Row& row) { web->Record(row); };
    web->Start();
    platform::ConsoleWrite("linestation: web view at " + web->Url() + "\n");
  }
  const int code = options.continuous
                       ? station::RunShift(options, platform::RealClock(), outside)
                       : station::RunStation(options, platform::RealClock(), outside);
  platform::StopHandled();
  return code;
}
