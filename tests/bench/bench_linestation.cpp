// linestation on 1, 4, 8 and 32 virtual devices in one root (BENCH_STATION_SLOTS, for example
// "1 8 16 32 64", chooses others): itemsmith and treesmith (kvx) on every slot at once. The wall
// time of a whole station run, with "vs_one" its ratio to the one-device run, and the processor
// time per device of everything that ran (station, programs, virtual devices). The goal, on two
// cores that the devices share: 8 devices within 1.2 times one, 32 within 1.1, 64 within 1.3.
//
// Beside it, the floor under any station: the same number of virtual devices, each sent as many
// round trips as one device's itemsmith and treesmith kvx runs make, by a bare client thread per
// device with none of our code in between. Its "seconds" are what the machine needs for the
// devices' exchanges alone; a station cannot be faster than its 3 s offline pause plus that.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/bench/raw_port_client.hpp"
#include "tests/bench/station_bench.hpp"

namespace {

namespace fs = std::filesystem;
using bench_station::Child;

double g_one_device_seconds = 0;  // the one-device station run
double g_one_device_bare = 0;     // one device's round trips alone

// Processor seconds of every child process that has ended and been waited for, with theirs.
double ChildrenCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_Station(benchmark::State& state) {
  const int slots = static_cast<int>(state.range(0));
  const std::string base = bench_station::MakeBase();
  if (base.empty()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string root = base + "/root";

  double total = 0;
  const double cpu_before = ChildrenCpuSeconds();
  for (auto _ : state) {
    // Fresh devices for every run, started outside the measured time.
    state.PauseTiming();
    std::vector<std::unique_ptr<Child>> devices = bench_station::StartDevices(base, slots);
    const bool started = !devices.empty();
    const std::vector<std::string> argv = bench_station::StationArgs(base, slots);
    Child station;
    const auto begin = std::chrono::steady_clock::now();
    state.ResumeTiming();
    const bool ran =
        started && station.Start(argv, base, {"DIAG_DEVICE_ROOT=" + root}, base + "/station.txt") &&
        station.Wait() == 0;
    state.PauseTiming();
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    bench_station::StopDevices(&devices);
    state.ResumeTiming();
    if (!ran) {
      state.SkipWithError("a station run did not pass");
      break;
    }
  }
  const double seconds = total / static_cast<double>(state.iterations());
  if (slots == 1) g_one_device_seconds = seconds;
  state.counters["devices"] = slots;
  state.counters["cpu_per_device"] =
      (ChildrenCpuSeconds() - cpu_before) / static_cast<double>(state.iterations() * slots);
  if (g_one_device_seconds > 0) state.counters["vs_one"] = seconds / g_one_device_seconds;
  std::error_code ignored;
  fs::remove_all(base, ignored);
}

// Requests on the wire for one device of the batch above, counted at the virtual device:
// itemsmith's dozen, treesmith kvx's listings, deletes and file writes.
constexpr int kRoundTripsPerDevice = 490;

void BM_BareRoundTripsAtOnce(benchmark::State& state) {
  const int slots = static_cast<int>(state.range(0));
  const std::string base = bench_station::MakeBase();
  if (base.empty()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::vector<uint8_t> frame = bench_raw::FrameOf({0x00});  // the version request
  double total = 0;
  bool failed = false;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::unique_ptr<Child>> devices = bench_station::StartDevices(base, slots);
    std::vector<int> ports;
    for (int slot = 1; slot <= slots && !devices.empty(); ++slot) {
      ports.push_back(
          bench_raw::OpenRaw(base + "/root/dev/serial/com/COM" + std::to_string(20 + slot)));
    }
    std::vector<char> ok(ports.size(), 0);
    const auto begin = std::chrono::steady_clock::now();
    state.ResumeTiming();
    std::vector<std::thread> clients;
    for (size_t p = 0; p < ports.size(); ++p) {
      clients.emplace_back([&, p] {
        std::vector<uint8_t> buffer(4096);
        bool all = ports[p] >= 0;
        for (int n = 0; all && n < kRoundTripsPerDevice; ++n) {
          all = bench_raw::RoundTrip(ports[p], frame, &buffer);
        }
        ok[p] = all ? 1 : 0;
      });
    }
    for (std::thread& client : clients) client.join();
    state.PauseTiming();
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (const int fd : ports) {
      if (fd >= 0) close(fd);
    }
    bench_station::StopDevices(&devices);
    state.ResumeTiming();
    failed = ports.size() != static_cast<size_t>(slots) ||
             std::find(ok.begin(), ok.end(), 0) != ok.end();
    if (failed) break;
  }
  std::error_code ignored;
  fs::remove_all(base, ignored);
  if (failed) {
    state.SkipWithError("a device did not answer every request");
    return;
  }
  const double seconds = total / static_cast<double>(state.iterations());
  state.counters["devices"] = slots;
  state.counters["seconds"] = seconds;
  state.counters["round_trips_per_s"] = slots * kRoundTripsPerDevice / seconds;
  // The lowest "vs_one" a station of this many devices could show here: the one-device run
  // with all the devices' exchanges in place of its own.
  if (slots == 1) g_one_device_bare = seconds;
  if (g_one_device_seconds > 0 && g_one_device_bare > 0) {
    state.counters["floor_vs_one"] =
        (g_one_device_seconds - g_one_device_bare + seconds) / g_one_device_seconds;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* set = std::getenv("BENCH_STATION_SLOTS");
  std::istringstream counts(set != nullptr ? set : "1 4 8 32");
  // The one-device run first, whatever the list: the others are measured against it.
  std::vector<int> slots = {1};
  for (int n = 0; counts >> n;) {
    if (n > 1 && n <= 64) slots.push_back(n);
  }
  // Every station run first, then the floors, which read the one-device station run.
  const std::pair<const char*, void (*)(benchmark::State&)> kinds[] = {
      {"BM_Station", BM_Station}, {"BM_BareRoundTripsAtOnce", BM_BareRoundTripsAtOnce}};
  for (const auto& [name, function] : kinds) {
    for (const int n : slots) {
      benchmark::RegisterBenchmark(name, function)
          ->Arg(n)
          ->Iterations(3)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
