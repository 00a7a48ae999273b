// linestation on 1, 4 and 8 virtual devices in one root: itemsmith and treesmith (kvx) on every
// slot at once. The wall time of a whole station run, with "vs_one" its ratio to the one-device
// run; the goal is 8 devices within 1.2 times one.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/treesmith_harness.hpp"
#include "tests/integration/efstool/efs_tree.hpp"
#include "tests/support/station_programs.hpp"

namespace {

namespace fs = std::filesystem;
using treesmith_e2e::Child;

double g_one_device_seconds = 0;

std::string Location(int slot) { return "1-4." + std::to_string(slot); }

void BM_Station(benchmark::State& state) {
  const int slots = static_cast<int>(state.range(0));
  char pattern[] = "/tmp/bench-station-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string base = pattern, root = base + "/root";
  fs::create_directories(base + "/template");
  efstool_test::CopyExample("kvx", base + "/template");
  fs::copy_file(efstool_test::ExamplePath("KVX_nvitem.txt"), base + "/template/KVX_nvitem.txt");
  testsupport::LinkStationPrograms(base + "/bin");

  double total = 0;
  for (auto _ : state) {
    // Fresh devices for every run, started outside the measured time.
    state.PauseTiming();
    std::vector<std::unique_ptr<Child>> devices;
    bool started = true;
    for (int slot = 1; slot <= slots; ++slot) {
      devices.push_back(std::make_unique<Child>());
      started = started &&
                devices.back()->Start(
                    {std::string(TEST_BINARY_DIR) + "/devicesim/diagsim", "--root", root, "--com",
                     std::to_string(20 + slot), "--usb-location", Location(slot), "--efs-load",
                     efstool_test::ExamplePath("device-before")},
                    "", {}, "") &&
                devices.back()->WaitForOutput("diagsim: serving COM");
    }
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
    Child station;
    const auto begin = std::chrono::steady_clock::now();
    state.ResumeTiming();
    const bool ran =
        started && station.Start(argv, base, {"DIAG_DEVICE_ROOT=" + root}, base + "/station.txt") &&
        station.Wait() == 0;
    state.PauseTiming();
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (auto& device : devices) {
      device->Signal(SIGTERM);
      device->Wait();
    }
    state.ResumeTiming();
    if (!ran) {
      state.SkipWithError("a station run did not pass");
      break;
    }
  }
  const double seconds = total / static_cast<double>(state.iterations());
  if (slots == 1) g_one_device_seconds = seconds;
  state.counters["devices"] = slots;
  if (g_one_device_seconds > 0) state.counters["vs_one"] = seconds / g_one_device_seconds;
  std::error_code ignored;
  fs::remove_all(base, ignored);
}

BENCHMARK(BM_Station)
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
