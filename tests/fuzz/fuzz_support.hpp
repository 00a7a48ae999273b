// What every fuzz target shares: the input read as a stream of choices, a clock that runs on the
// target's own time, and a check that stops the run on a broken invariant. A target is a plain
// function, so the replay suite of `make test` runs the same code on the stored inputs; the
// libFuzzer build adds the entry point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "platform/clock.hpp"

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// A broken invariant is a finding: say which and stop, as a sanitizer does.
#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

// The input consumed front to back; an exhausted input reads as zeros and empty chunks.
class ByteSource {
 public:
  ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }
  size_t Left() const { return size_ - at_; }
  uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  // Up to `count` bytes, fewer when the input ends.
  Bytes Take(size_t count) {
    const size_t n = count < Left() ? count : Left();
    Bytes out(data_ + at_, data_ + at_ + n);
    at_ += n;
    return out;
  }
  // A chunk whose length is the next byte (a length byte of 255 takes a second one added).
  Bytes Chunk() {
    size_t length = Byte();
    if (length == 255) length += Byte();
    return Take(length);
  }
  Bytes Rest() { return Take(Left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Time moves only by what the code under test waits: pauses and waits that time out at once.
class FuzzClock final : public platform::Clock {
 public:
  uint32_t TickCount() override { return now_; }
  void Pause(uint32_t ms) override { now_ += ms; }
  platform::LocalTime Now() override { return platform::LocalTime{2026, 12, 8, 12, 0, 0, 0}; }
  bool Wait(uint32_t timeout_ms, const std::function<bool(uint32_t)>&) override {
    now_ += timeout_ms;
    return false;
  }

 private:
  uint32_t now_ = 0;
};

}  // namespace fuzz

// The libFuzzer entry point of a target, in the fuzz build only.
#ifdef LINETOOLS_LIBFUZZER
#define FUZZ_ENTRY(function)                                                \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    return function(data, size);                                            \
  }
#else
#define FUZZ_ENTRY(function)
#endif
