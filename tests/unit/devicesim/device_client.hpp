// A tiny DIAG client for the device's own tests: opens the port through the device root the
// way a tool does, frames requests and collects answer frames with a bounded real wait.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "devicesim/hdlc.hpp"
#include "eventually.hpp"

namespace devicesim_test {

using devicesim::Bytes;

// Generous enough for sanitizer builds on a busy machine; only a failing test waits it out.
inline constexpr int kCapMs = 3000;

inline bool WaitFor(const std::function<bool()>& condition, int cap_ms = kCapMs) {
  return testsupport::Eventually(condition, cap_ms);
}

class Client {
 public:
  ~Client() { Close(); }

  bool Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return false;
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd_, TCSANOW, &tio);
    return true;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    frames_.clear();
    deframer_.Reset();
  }

  bool SendRaw(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  bool Send(const Bytes& packet) { return SendRaw(devicesim::FramePacket(packet)); }

  // The next frame, good or bad; false when none completes within the wait. Every chunk read
  // is kept in chunks() so tests can see how an answer arrived.
  bool NextFrame(devicesim::Deframer::Frame* frame, int wait_ms = kCapMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (frames_.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      if (p.revents & (POLLHUP | POLLERR)) return false;
      uint8_t buf[4096];
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) return false;
      chunks_.emplace_back(buf, buf + n);
      std::vector<devicesim::Deframer::Frame> got;
      deframer_.Feed(buf, static_cast<size_t>(n), &got);
      for (auto& f : got) frames_.push_back(std::move(f));
    }
    *frame = std::move(frames_.front());
    frames_.pop_front();
    return true;
  }

  // The next good frame's packet; empty when none came.
  Bytes Receive(int wait_ms = kCapMs) {
    devicesim::Deframer::Frame f;
    while (NextFrame(&f, wait_ms)) {
      if (f.good) return f.packet;
    }
    return {};
  }

  Bytes Transact(const Bytes& packet, int wait_ms = kCapMs) {
    return Send(packet) ? Receive(wait_ms) : Bytes{};
  }

  const std::vector<Bytes>& chunks() const { return chunks_; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  devicesim::Deframer deframer_;
  std::deque<devicesim::Deframer::Frame> frames_;
  std::vector<Bytes> chunks_;
};

inline uint32_t U32(const Bytes& b, size_t at) {
  return b.size() < at + 4 ? 0xFFFFFFFFu
                           : static_cast<uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
                                                   (static_cast<uint32_t>(b[at + 3]) << 24));
}

inline Bytes Efs2(uint16_t cmd, Bytes fields) {
  // Sized first: growing a short vector by insert draws a false array-bounds warning from g++ 12.
  Bytes r(4 + fields.size());
  r[0] = 0x4B, r[1] = 0x13, r[2] = static_cast<uint8_t>(cmd), r[3] = static_cast<uint8_t>(cmd >> 8);
  std::copy(fields.begin(), fields.end(), r.begin() + 4);
  return r;
}

inline void Add32(Bytes* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void AddText(Bytes* b, const std::string& text) {
  b->insert(b->end(), text.begin(), text.end());
  b->push_back(0);
}

}  // namespace devicesim_test
