// diagsim: one virtual device as a program, so that a line script can be rehearsed against it
// without hardware. It serves until SIGINT or SIGTERM, then saves its state and cleans up.
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "devicesim/diagsim_options.hpp"
#include "devicesim/virtual_device.hpp"

namespace {

using devicesim::DiagsimOptions;

// --verbose: every request received, in hex, on standard error.
void PrintRequest(const std::vector<uint8_t>& request) {
  std::string line = "diagsim: request";
  char hex[4];
  for (uint8_t b : request) {
    std::snprintf(hex, sizeof hex, " %02X", b);
    line += hex;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

// The port comes and goes (eject, reset); each change is told so that a script can follow.
std::function<void(bool)> PresenceReporter(const devicesim::Options& options) {
  const int com = options.com_number;
  const std::string link =
      (std::filesystem::path(options.root) / "dev/serial/com" / ("COM" + std::to_string(com)))
          .string();
  return [com, link](bool present) {
    if (present) {
      std::printf("diagsim: serving COM%d at %s\n", com, link.c_str());
    } else {
      std::printf("diagsim: COM%d gone\n", com);
    }
    std::fflush(stdout);
  };
}

// The device's thread must not take the signals: they are waited for here.
sigset_t BlockStopSignals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed output pipe must not turn a clean stop into a crash
  return stop_signals;
}

// --report: the NV items held (id and first 16 bytes) and the file system's entries.
void PrintReport(const devicesim::VirtualDevice& device) {
  for (const auto& [id, data] : device.NvItems()) {
    std::printf("diagsim: NV%u", static_cast<unsigned>(id));
    for (size_t i = 0; i < 16; ++i) std::printf(" %02x", data[i]);
    std::printf("\n");
  }
  for (const std::string& entry : device.EfsListing()) {
    std::printf("diagsim: EFS %s\n", entry.c_str());
  }
}

// Serves until a stop signal comes; the exit code.
int Serve(DiagsimOptions parsed) {
  devicesim::Options& options = parsed.device;
  if (parsed.verbose) options.request_observer = PrintRequest;
  sigset_t stop_signals = BlockStopSignals();
  options.presence_observer = PresenceReporter(options);

  devicesim::VirtualDevice device(options);
  if (!parsed.efs_load.empty() && !device.LoadEfs(parsed.efs_load)) {
    std::fprintf(stderr, "diagsim: cannot load the file system: %s\n", device.Error().c_str());
    return 1;
  }
  for (const std::string& folder : parsed.kept_folders) {
    if (!device.RefuseRmdirOf(folder)) {
      std::fprintf(stderr, "diagsim: no folder path: %s\n", folder.c_str());
      return 1;
    }
  }
  // Preloaded items win over the state file, which the device has read, and are in place
  // before the port is announced.
  for (const auto& [id, data] : parsed.preload) device.SetNvItem(id, data);
  for (uint16_t id : parsed.inactive) device.SetNvItemInactive(id, true);
  if (parsed.ignored_nv_writes > 0) device.IgnoreNvWrites(parsed.ignored_nv_writes);
  if (!device.Start()) {
    std::fprintf(stderr, "diagsim: cannot start: %s\n", device.Error().c_str());
    return 1;
  }
  if (options.start_as_cdrom) {
    std::printf("diagsim: CD-ROM sr%d at %s; COM%d follows the eject\n", options.cdrom_index,
                options.root.c_str(), options.com_number);
    std::fflush(stdout);
  }

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);

  int code = 0;
  if (!parsed.efs_dump.empty() && !device.DumpEfs(parsed.efs_dump)) {
    std::fprintf(stderr, "diagsim: cannot dump the file system: %s\n", device.Error().c_str());
    code = 1;
  }
  device.Stop();
  if (parsed.report) PrintReport(device);
  std::printf("diagsim: stopped\n");
  std::fflush(stdout);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  const DiagsimOptions parsed = devicesim::ParseDiagsimOptions(argc, argv);
  switch (parsed.action) {
    case DiagsimOptions::Action::kHelp:
      std::fputs(devicesim::DiagsimUsage(), stdout);
      return 0;
    case DiagsimOptions::Action::kVersion:
      std::printf("diagsim %s\n", LINETOOLS_VERSION);
      return 0;
    case DiagsimOptions::Action::kUsageError:
      std::fprintf(stderr, "diagsim: %s (diagsim --help lists the options)\n",
                   parsed.error.c_str());
      return 2;
    case DiagsimOptions::Action::kServe:
      break;
  }
  return Serve(parsed);
}
