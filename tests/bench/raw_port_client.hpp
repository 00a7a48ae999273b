// A bare DIAG client on a port: one thread, the request's frame written, then a blocking wait
// for the reply's closing flag. What the machine and the virtual device cost without any of our
// own code in between; the benchmarks measure the library and the station against it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/diag_frame.hpp"

namespace bench_raw {

// The port opened raw, as the tools set it; -1 when it cannot be.
inline int OpenRaw(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return -1;
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

inline std::vector<uint8_t> FrameOf(const std::vector<uint8_t>& request) {
  std::vector<uint8_t> frame(request.size() * 2 + 8);
  frame.resize(common::EncodeFrame(request.data(), request.size(), frame.data(), frame.size()));
  return frame;
}

// One request and its reply; false when the port failed or stayed silent for 4 s.
inline bool RoundTrip(int fd, const std::vector<uint8_t>& frame, std::vector<uint8_t>* buffer) {
  if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return false;
  size_t in_frame = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 4000) <= 0) return false;
    const ssize_t n = read(fd, buffer->data(), buffer->size());
    if (n <= 0) return false;
    for (ssize_t i = 0; i < n; ++i) {
      if ((*buffer)[static_cast<size_t>(i)] != common::kFrameFlag) {
        ++in_frame;
      } else if (in_frame != 0) {
        return true;
      }
    }
  }
}

}  // namespace bench_raw
