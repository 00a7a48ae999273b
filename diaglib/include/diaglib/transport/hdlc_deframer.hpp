// The receive side of the framing: cuts the byte stream at flags, undoes escapes, checks the
// CRC where the packet kind needs it and hands every good packet to a sink. Its state belongs
// to the one thread that feeds it and carries over from one chunk to the next.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace diaglib {

class DataLogFileHandler;

class HdlcDeframer {
 public:
  // Unescaped bytes of one frame, CRC included; a CRC-checked packet therefore has at most 4093.
  static constexpr size_t kFrameCapacity = 4094;
  // Called with the packet's length (its two CRC bytes included) and bytes.
  using Sink = std::function<void(int size, const uint8_t* bytes)>;

  explicit HdlcDeframer(Sink sink) : sink_(std::move(sink)) {}

  void SetLogHandler(DataLogFileHandler* handler) { log_ = handler; }
  void DeframeChunk(const uint8_t* bytes, size_t count);
  // Drops the partial frame (a receive flush).
  void DropPartialFrame() { count_ = 0; }
  size_t PendingCount() const { return count_; }

 private:
  void EndOfFrame();

  Sink sink_;
  DataLogFileHandler* log_ = nullptr;
  uint8_t frame_[kFrameCapacity] = {};
  size_t count_ = 0;
  bool escape_pending_ = false;
};

}  // namespace diaglib
