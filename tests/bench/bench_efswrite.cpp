// Throughput of copying a 1 MiB file into the virtual device's file system through the
// library, beside what a bare client achieves on the same pseudo-terminal when it sends each
// 512-byte write request and waits for its reply before the next: the ceiling any
// acknowledged-write copy can reach there.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/diag_frame.hpp"
#include "devicesim/virtual_device.hpp"
#include "diaglib/api/vode.hpp"
#include "platform/clock.hpp"

namespace {

constexpr size_t kFileSize = 1 << 20;
constexpr size_t kChunk = 512;
constexpr int kComNumber = 7;

// A device root, a working folder with the 1 MiB file, and one running virtual device.
class Bench {
 public:
  Bench() {
    char pattern[] = "/tmp/bench_efswrite_XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    base_ = pattern;
    std::filesystem::create_directories(base_ + "/root");
    setenv("DIAG_DEVICE_ROOT", (base_ + "/root").c_str(), 1);
    devicesim::Options options;
    options.root = base_ + "/root";
    options.com_number = kComNumber;
    options.efs_capacity_bytes = 64ull << 20;
    device_ = std::make_unique<devicesim::VirtualDevice>(options);
    ok_ = device_->Start();
    local_ = base_ + "/upload.bin";
    std::vector<char> bytes(kFileSize);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + (i >> 9));
    std::ofstream(local_, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ~Bench() {
    device_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
  bool ok() const { return ok_; }
  const std::string& local() const { return local_; }
  devicesim::VirtualDevice& device() { return *device_; }

 private:
  std::string base_, local_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
  bool ok_ = false;
};

void BM_EfsWrite1MiB(benchmark::State& state) {
  Bench bench;
  if (!bench.ok()) {
    state.SkipWithError("virtual device did not start");
    return;
  }
  VODE_UseClock(platform::RealClock());
  VODE_HANDLE handle = VODE_ConnectServer(kComNumber);
  if (handle == nullptr || !VODE_IsPhoneConnected(handle)) {
    state.SkipWithError("no phone");
    VODE_CloseAllContexts();
    return;
  }
  for (auto _ : state) {
    if (!VODE_EfsWrite(handle, bench.local().c_str(), "/bench.bin")) {
      state.SkipWithError("VODE_EfsWrite failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
  VODE_CloseAllContexts();
}

// A bare DIAG client on the pseudo-terminal itself: frame, write, wait for the closing flag.
// Nothing of the library or the adapter is in its path.
class RawClient {
 public:
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }
  bool Open(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ < 0) return false;
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    cfmakeraw(&tio);
    return tcsetattr(fd_, TCSANOW, &tio) == 0;
  }

  // One request for one reply (unescaped, CRC dropped); false on a lost or bad reply.
  bool Exchange(const std::vector<uint8_t>& request, std::vector<uint8_t>* reply) {
    uint8_t frame[2 * 600 + 4];
    const size_t length = common::EncodeFrame(request.data(), request.size(), frame, sizeof(frame));
    if (length == 0 || write(fd_, frame, length) != static_cast<ssize_t>(length)) return false;
    std::vector<uint8_t> raw;
    for (;;) {
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, 2000) <= 0) return false;
      uint8_t buffer[1024];
      const ssize_t got = read(fd_, buffer, sizeof(buffer));
      if (got <= 0) return false;
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] != common::kFrameFlag) {
          raw.push_back(buffer[i]);
          continue;
        }
        if (raw.empty()) continue;
        reply->resize(raw.size());
        const size_t n =
            common::UnescapeBytes(raw.data(), raw.size(), reply->data(), reply->size());
        if (n < 3 || !common::CrcResidueGood(reply->data(), n)) return false;
        reply->resize(n - 2);
        return true;
      }
    }
  }

 private:
  int fd_ = -1;
};

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}
uint32_t GetU32(const std::vector<uint8_t>& in, size_t at) {
  return in[at] | (in[at + 1] << 8) | (in[at + 2] << 16) |
         (static_cast<uint32_t>(in[at + 3]) << 24);
}

void BM_RawStopAndWait512(benchmark::State& state) {
  Bench bench;
  RawClient client;
  if (!bench.ok() || !client.Open(bench.device().ComLinkPath())) {
    state.SkipWithError("virtual device not reachable");
    return;
  }
  std::vector<uint8_t> data(kChunk, 0x5A);
  std::vector<uint8_t> reply;
  for (auto _ : state) {
    std::vector<uint8_t> open = {0x4B, 0x13, 0x02, 0x00};
    PutU32(&open, 0x241);
    PutU32(&open, 0x1B6);
    for (char c : std::string("/raw.bin")) open.push_back(static_cast<uint8_t>(c));
    open.push_back(0);
    if (!client.Exchange(open, &reply) || reply.size() < 12 || GetU32(reply, 8) != 0) {
      state.SkipWithError("open refused");
      return;
    }
    const uint32_t fd = GetU32(reply, 4);
    for (uint32_t offset = 0; offset < kFileSize; offset += kChunk) {
      std::vector<uint8_t> write = {0x4B, 0x13, 0x05, 0x00};
      PutU32(&write, fd);
      PutU32(&write, offset);
      write.insert(write.end(), data.begin(), data.end());
      if (!client.Exchange(write, &reply) || reply.size() < 20 || GetU32(reply, 16) != 0) {
        state.SkipWithError("write refused");
        return;
      }
    }
    std::vector<uint8_t> close = {0x4B, 0x13, 0x03, 0x00};
    PutU32(&close, fd);
    if (!client.Exchange(close, &reply)) {
      state.SkipWithError("close lost");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

BENCHMARK(BM_EfsWrite1MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RawStopAndWait512)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
