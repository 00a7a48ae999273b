// Request/response round trips through the library's synchronous exchange against the virtual
// device, beside a bare client on the same kind of pseudo-terminal that writes the same frame
// and blocks until the reply's closing flag: the difference is what the library costs. A third
// client passes each reply through a reader thread and a dispatcher thread with nothing else in
// between, which shows how much of that difference the thread hand-over alone accounts for.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "common/diag_frame.hpp"
#include "devicesim/virtual_device.hpp"
#include "diaglib/log/library_log.hpp"
#include "diaglib/transport/context_transport.hpp"
#include "platform/clock.hpp"
#include "tests/bench/raw_port_client.hpp"

using namespace diaglib;  // the library's own classes under test

namespace {

constexpr int kCom = 7;

// A device of its own below a fresh root for one benchmark.
class BenchDevice {
 public:
  BenchDevice() {
    char pattern[] = "/tmp/bench_sendsync_XXXXXX";
    if (mkdtemp(pattern) != nullptr) root_ = pattern;
    setenv("DIAG_DEVICE_ROOT", root_.c_str(), 1);
    devicesim::Options options;
    options.root = root_;
    options.com_number = kCom;
    device_ = std::make_unique<devicesim::VirtualDevice>(options);
    ok_ = !root_.empty() && device_->Start();
  }
  ~BenchDevice() {
    device_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  bool ok() const { return ok_; }
  std::string ComPath() const { return device_->ComLinkPath(); }

 private:
  std::string root_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
  bool ok_ = false;
};

// The version request (one byte) or a loopback request with `payload` bytes behind its code.
std::vector<uint8_t> Request(int payload) {
  if (payload == 0) return {0x00};
  std::vector<uint8_t> request(1 + static_cast<size_t>(payload));
  request[0] = 0x7B;
  for (int i = 1; i <= payload; ++i) request[i] = static_cast<uint8_t>(i);
  return request;
}

void BM_SendSync(benchmark::State& state) {
  BenchDevice device;
  if (!device.ok()) {
    state.SkipWithError("virtual device did not start");
    return;
  }
  platform::Clock& clock = platform::RealClock();
  LibraryLog log(clock);
  ContextTransport link(clock, log, kCom);
  link.SetWriteTimeout(900);
  link.SetReceiveTimeout(900);
  if (!link.OpenPort()) {
    state.SkipWithError("port did not open");
    return;
  }
  const std::vector<uint8_t> request = Request(static_cast<int>(state.range(0)));
  DiagRequest exchange;
  exchange.bytes = request.data();
  exchange.length = static_cast<uint16_t>(request.size());
  exchange.expected_code = request[0];
  exchange.timeout_ms = 4000;
  std::vector<uint8_t> response(4096);
  DiagReply reply(response.data(), static_cast<uint16_t>(response.size()));
  for (auto _ : state) {
    if (!link.SendSync(exchange, reply)) {
      state.SkipWithError("exchange failed");
      break;
    }
    benchmark::DoNotOptimize(reply.length);
  }
  state.counters["round_trips_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_RawRoundTrip(benchmark::State& state) {
  BenchDevice device;
  const int fd = device.ok() ? bench_raw::OpenRaw(device.ComPath()) : -1;
  if (fd < 0) {
    state.SkipWithError("no device");
    return;
  }
  const std::vector<uint8_t> frame = bench_raw::FrameOf(Request(static_cast<int>(state.range(0))));
  std::vector<uint8_t> buffer(8192);
  for (auto _ : state) {
    if (!bench_raw::RoundTrip(fd, frame, &buffer)) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.counters["round_trips_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  close(fd);
}

// A bare hand-over between two threads.
class HandOver {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      set_ = true;
    }
    changed_.notify_one();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(4), [this] { return set_; });
    const bool was_set = set_;
    set_ = false;
    return was_set;
  }

 private:
  std::mutex mutex_;  // owned by the hand-over; guards set_
  std::condition_variable changed_;
  bool set_ = false;
};

void BM_RawWithTwoHandOvers(benchmark::State& state) {
  BenchDevice device;
  const int fd = device.ok() ? open(device.ComPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
  if (fd < 0) {
    state.SkipWithError("no device");
    return;
  }
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  HandOver to_dispatcher, to_caller;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::vector<uint8_t> buffer(8192);
    size_t in_frame = 0;
    while (!stop.load()) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1) <= 0) continue;
      const ssize_t n = read(fd, buffer.data(), buffer.size());
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] != common::kFrameFlag) {
          ++in_frame;
        } else if (in_frame != 0) {
          in_frame = 0;
          to_dispatcher.Set();
        }
      }
    }
  });
  std::thread dispatcher([&] {
    while (!stop.load()) {
      if (to_dispatcher.Wait()) to_caller.Set();
    }
  });
  const std::vector<uint8_t> frame = bench_raw::FrameOf(Request(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()) ||
        !to_caller.Wait()) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.counters["round_trips_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  stop.store(true);
  to_dispatcher.Set();
  reader.join();
  dispatcher.join();
  close(fd);
}

BENCHMARK(BM_SendSync)->Arg(0)->Arg(512)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RawRoundTrip)->Arg(0)->Arg(512)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RawWithTwoHandOvers)->Arg(0)->Arg(512)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
