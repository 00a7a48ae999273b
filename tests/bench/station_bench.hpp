// What the station benchmarks share: a folder with the template and the programs, and fresh
// virtual devices at every slot of a large fixture.
#pragma once

#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/treesmith_harness.hpp"
#include "tests/integration/efstool/efs_tree.hpp"
#include "tests/support/station_programs.hpp"

namespace bench_station {

namespace fs = std::filesystem;
using treesmith_e2e::Child;

// Eight hubs of eight ports, as a large fixture has them.
inline std::string Location(int slot) {
  return "1-4." + std::to_string((slot - 1) / 8 + 1) + "." + std::to_string((slot - 1) % 8 + 1);
}

// A temporary folder holding the KVX template and the programs; "" when none could be made.
inline std::string MakeBase() {
  char pattern[] = "/tmp/bench-station-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return "";
  const std::string base = pattern;
  fs::create_directories(base + "/template");
  efstool_test::CopyExample("kvx", base + "/template");
  fs::copy_file(efstool_test::ExamplePath("KVX_nvitem.txt"), base + "/template/KVX_nvitem.txt");
  testsupport::LinkStationPrograms(base + "/bin");
  return base;
}

// One device at each of `slots` slots under base/root, each serving its port; empty when one
// did not start.
inline std::vector<std::unique_ptr<Child>> StartDevices(const std::string& base, int slots) {
  std::vector<std::unique_ptr<Child>> devices;
  for (int slot = 1; slot <= slots; ++slot) {
    devices.push_back(std::make_unique<Child>());
    if (!devices.back()->Start(
            {std::string(TEST_BINARY_DIR) + "/devicesim/diagsim", "--root", base + "/root", "--com",
             std::to_string(20 + slot), "--usb-location", Location(slot), "--efs-load",
             efstool_test::ExamplePath("device-before")},
            "", {}, "") ||
        !devices.back()->WaitForOutput("diagsim: serving COM"))
      return {};
  }
  return devices;
}

inline void StopDevices(std::vector<std::unique_ptr<Child>>* devices) {
  for (auto& device : *devices) {
    device->Signal(SIGTERM);
    device->Wait();
  }
  devices->clear();
}

// linestation's command line for a batch of itemsmith and treesmith kvx on `slots` slots.
inline std::vector<std::string> StationArgs(const std::string& base, int slots) {
  std::vector<std::string> argv = {std::string(TEST_BINARY_DIR) + "/station/linestation",
                                   "--template",
                                   base + "/template",
                                   "--itemsmith",
                                   "--treesmith",
                                   "kvx",
                                   "--programs",
                                   base + "/bin",
                                   "--work",
                                   base + "/runs",
                                   "--csv",
                                   base + "/station.csv"};
  for (int slot = 1; slot <= slots; ++slot) argv.insert(argv.end(), {"--slot", Location(slot)});
  return argv;
}

}  // namespace bench_station
