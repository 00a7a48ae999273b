// linestation on 8 virtual devices (itemsmith and treesmith kvx on each) with --http and a
// client that loads the page and follows the event stream as a browser does, beside the same
// station without: the web view must cost no slot any time. Each iteration runs both, one
// after the other, so that the machine's load meets both alike; "with_vs_without" is the ratio
// of their mean wall times, "events" what the client received per run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/bench/station_bench.hpp"
#include "tests/support/http_client.hpp"

namespace {

namespace fs = std::filesystem;
using bench_station::Child;

constexpr int kSlots = 8;

// The browser: waits for the station's address, loads the page, then reads events until the
// stream ends with the station. The events it saw.
int Watch(const std::string& station_output, const std::atomic<bool>& ended) {
  int port = 0;
  while (port == 0 && !ended) {
    std::ifstream in(station_output);
    std::string line;
    std::getline(in, line);
    const size_t at = line.find("http://127.0.0.1:");
    if (at != std::string::npos && line.back() == '/') port = std::atoi(line.c_str() + at + 17);
    if (port == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (port == 0 || testsupport::Http(port, "/").status != 200) return 0;
  const int fd = testsupport::HttpSend(port, "GET", "/api/events");
  if (fd < 0) return 0;
  std::string text;
  testsupport::ReadUntil(fd, &text, "", 600000);
  close(fd);
  int events = 0;
  for (size_t at = text.find("event: "); at != std::string::npos; at = text.find("event: ", at + 1))
    ++events;
  return events;
}

// One station run; false when it did not pass.
bool RunStation(const std::string& base, bool web, double* seconds, int* events) {
  std::vector<std::unique_ptr<Child>> devices = bench_station::StartDevices(base, kSlots);
  std::vector<std::string> argv = bench_station::StationArgs(base, kSlots);
  if (web) argv.insert(argv.end(), {"--http", "0"});
  const std::string output = base + "/station.txt";
  fs::remove(output);
  std::atomic<bool> ended{false};
  Child station;
  const auto begin = std::chrono::steady_clock::now();
  const bool started =
      !devices.empty() && station.Start(argv, base, {"DIAG_DEVICE_ROOT=" + base + "/root"}, output);
  std::thread browser;
  if (started && web) browser = std::thread([&] { *events = Watch(output, ended); });
  const bool passed = started && station.Wait() == 0;
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  ended = true;
  if (browser.joinable()) browser.join();
  bench_station::StopDevices(&devices);
  return passed;
}

void BM_WebView(benchmark::State& state) {
  const std::string base = bench_station::MakeBase();
  if (base.empty()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  double without = 0, with = 0;
  int events = 0;
  for (auto _ : state) {
    double seconds = 0;
    int seen = 0;
    if (!RunStation(base, false, &seconds, &seen)) {
      state.SkipWithError("a station run without --http did not pass");
      break;
    }
    without += seconds;
    if (!RunStation(base, true, &seconds, &seen)) {
      state.SkipWithError("a station run with --http did not pass");
      break;
    }
    with += seconds;
    events += seen;
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["without_s"] = without / runs;
  state.counters["with_s"] = with / runs;
  state.counters["with_vs_without"] = without > 0 ? with / without : 0;
  state.counters["events"] = events / runs;
  std::error_code ignored;
  fs::remove_all(base, ignored);
}

BENCHMARK(BM_WebView)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
