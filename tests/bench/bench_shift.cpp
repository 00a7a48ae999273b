// A simulated shift: linestation --continuous on 8 slots (itemsmith and treesmith kvx), where an
// operator per slot replaces each device 0.5 s after its verdict, for BENCH_SHIFT_SECONDS
// (default 120). Counters: devices per hour, the ideal slots * 3600 / (one run + 0.5 s) with one
// run the mean of the shift's own runs as the station timed them, their ratio (goal >= 0.95),
// and the mean run. BENCH_SHIFT_RESET=1 runs itemsmith with the device's reset (the next program
// then waits for the device to be back); BENCH_LINESTATION names another linestation to time.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/treesmith_harness.hpp"
#include "tests/integration/efstool/efs_tree.hpp"
#include "tests/support/station_records.hpp"
#include "tests/support/station_programs.hpp"

namespace {

namespace fs = std::filesystem;
using treesmith_e2e::Child;

constexpr int kSlots = 8;
constexpr int kJobs = 2;

std::string Location(int slot) { return "1-6." + std::to_string(slot); }

// Per serial number: its lines and the tenths of seconds they took, from the CSV.
struct Tally {
  int lines = 0;
  double seconds = 0;
};

int LinesFor(const std::string& file, const std::string& serial) {
  int n = 0;
  for (const auto& fields : testsupport::CsvRecords(file))
    n += fields.size() == 10 && fields[9] == serial;
  return n;
}

void BM_Shift(benchmark::State& state) {
  const char* set = std::getenv("BENCH_SHIFT_SECONDS");
  const int shift_seconds = set != nullptr ? std::atoi(set) : 120;
  char pattern[] = "/tmp/bench-shift-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string base = pattern, root = base + "/root", csv = base + "/shift.csv";
  fs::create_directories(base + "/template");
  efstool_test::CopyExample("kvx", base + "/template");
  fs::copy_file(efstool_test::ExamplePath("KVX_nvitem.txt"), base + "/template/KVX_nvitem.txt");
  testsupport::LinkStationPrograms(base + "/bin");

  const char* reset = std::getenv("BENCH_SHIFT_RESET");
  const char* other_station = std::getenv("BENCH_LINESTATION");
  for (auto _ : state) {
    std::vector<std::string> argv = {
        other_station != nullptr ? std::string(other_station)
                                 : std::string(TEST_BINARY_DIR) + "/station/linestation",
        "--continuous",
        reset != nullptr && std::string(reset) == "1" ? "--itemsmith-reset" : "--itemsmith",
        "--treesmith",
        "kvx",
        "--template",
        base + "/template",
        "--programs",
        base + "/bin",
        "--work",
        base + "/runs",
        "--csv",
        csv};
    for (int slot = 1; slot <= kSlots; ++slot) argv.insert(argv.end(), {"--slot", Location(slot)});
    Child station;
    if (!station.Start(argv, base, {"DIAG_DEVICE_ROOT=" + root}, base + "/station.txt")) {
      state.SkipWithError("linestation did not start");
      break;
    }
    std::atomic<bool> over{false};
    std::atomic<int> failures{0};
    // Per slot, written by its operator only and read after the join: devices whose verdicts
    // came within the shift, and when the last of them came (seconds after the start).
    std::vector<int> served(kSlots + 1, 0);
    std::vector<double> last_verdict(kSlots + 1, 0);
    const auto begin = std::chrono::steady_clock::now();
    // The next device is in its slot 0.5 s after the verdict: the simulation's own pull and plug
    // (stopping one diagsim, starting the next) are counted in the 0.5 s, as an operator's hands.
    auto operate = [&](int slot) {
      using Clock = std::chrono::steady_clock;
      std::chrono::duration<double> plug_cost(0);
      Clock::time_point verdict = Clock::now();
      std::unique_ptr<Child> plugged;
      for (int device = 1; !over.load(); ++device) {
        if (plugged != nullptr) {
          plugged->Signal(SIGTERM);
          plugged->Wait();
          plugged.reset();
        }
        if (device > 1) {
          std::this_thread::sleep_until(verdict + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::milliseconds(500) - plug_cost));
        }
        const std::string serial = "S" + std::to_string(slot) + "-" + std::to_string(device);
        const Clock::time_point plug_begin = Clock::now();
        plugged = std::make_unique<Child>();
        if (!plugged->Start(
                {std::string(TEST_BINARY_DIR) + "/devicesim/diagsim", "--root", root, "--com",
                 std::to_string(40 + slot), "--usb-location", Location(slot), "--usb-serial",
                 serial, "--efs-load", efstool_test::ExamplePath("device-before")},
                "", {}, "") ||
            !plugged->WaitForOutput("diagsim: serving COM")) {
          ++failures;
          return;
        }
        plug_cost = Clock::now() - plug_begin;
        while (LinesFor(csv, serial) < kJobs && !over.load())
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // The shift is over: the device stays in until the station has stopped.
        if (over.load()) return;
        verdict = Clock::now();
        ++served[slot];
        last_verdict[slot] = std::chrono::duration<double>(verdict - begin).count();
      }
    };
    std::vector<std::thread> operators;
    for (int slot = 1; slot <= kSlots; ++slot) operators.emplace_back(operate, slot);
    std::this_thread::sleep_for(std::chrono::seconds(shift_seconds));
    over.store(true);
    // The runs still going are cut off (ABORTED), not counted.
    station.Signal(SIGTERM);
    station.Wait();
    for (std::thread& t : operators) t.join();
    const auto records = testsupport::CsvRecords(csv);

    std::map<std::string, Tally> devices;
    for (const auto& fields : records) {
      Tally& tally = devices[fields[9]];
      if (fields[5] == "ABORTED") continue;
      ++tally.lines;
      tally.seconds += std::stod(fields[6]);
      if (fields[5] != "PASS") ++failures;
    }
    int done = 0;
    double run_seconds = 0;
    for (const auto& [serial, tally] : devices) {
      if (tally.lines < kJobs) continue;
      ++done;
      run_seconds += tally.seconds;
    }
    // What each slot achieved through its last device's cycle, the 0.5 s of its replacement
    // included, summed over the slots: the start of the shift counts, its cut-off end does not.
    double per_hour = 0;
    int counted = 0;
    for (int slot = 1; slot <= kSlots; ++slot) {
      if (served[slot] == 0) continue;
      counted += served[slot];
      per_hour += served[slot] * 3600.0 / (last_verdict[slot] + 0.5);
    }
    if (done == 0 || failures.load() > 0) {
      state.SkipWithError("no device done, or a run did not pass");
      break;
    }
    const double one_run = run_seconds / done;
    const double ideal = kSlots * 3600.0 / (one_run + 0.5);
    state.counters["devices"] = counted;
    state.counters["per_hour"] = per_hour;
    state.counters["ideal_per_hour"] = ideal;
    state.counters["of_ideal"] = per_hour / ideal;
    state.counters["one_run_s"] = one_run;
    state.counters["s_per_device"] = kSlots * 3600.0 / per_hour;
  }
  std::error_code ignored;
  fs::remove_all(base, ignored);
}

BENCHMARK(BM_Shift)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
