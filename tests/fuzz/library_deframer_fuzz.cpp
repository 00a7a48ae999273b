// The library's receive de-framer over any byte stream cut into any reads, each packet handed
// on the way the dispatcher hands it to the context's listener. A small model of the framing
// rules judges what comes out, so a packet lost, doubled or cut is a finding as much as a crash.
#include <cstring>

#include "common/diag_frame.hpp"
#include "diaglib/transport/event_listener.hpp"
#include "diaglib/transport/hdlc_deframer.hpp"
#include "diaglib/transport/packet_dispatcher.hpp"
#include "diaglib/transport/packet_queue.hpp"
#include "fuzz_support.hpp"
#include "fuzz_targets.hpp"

namespace fuzz {
namespace {

constexpr size_t kFrameCapacity = 4094;

bool Unchecked(uint8_t first) {
  return first == 0x10 || first == 0x1F || first == 0x60 || first == 0x79;
}

// The receive rules written out plainly: flags end frames, escapes carry across flags and
// reads, a full buffer drops the byte and starts over, a read that ends inside a frame of
// zeros erases it.
class ModelDeframer {
 public:
  void Feed(const Bytes& chunk, std::vector<Bytes>* out) {
    for (uint8_t b : chunk) {
      if (b == 0x7D) {
        escape_ = true;
      } else if (b == 0x7E) {
        if (!frame_.empty()) Close(out);
      } else {
        if (escape_) b ^= 0x20, escape_ = false;
        if (frame_.size() < kFrameCapacity) {
          frame_.push_back(b);
        } else {
          frame_.clear();
        }
      }
    }
    if (!chunk.empty() && chunk.back() != 0x7E && !frame_.empty()) {
      bool zeros = true;
      for (uint8_t b : frame_) zeros = zeros && b == 0;
      if (zeros) frame_.clear();
    }
  }

 private:
  void Close(std::vector<Bytes>* out) {
    Bytes frame;
    frame.swap(frame_);
    if (Unchecked(frame[0])) {
      out->push_back(frame);
    } else if (frame[0] != 0x92 && frame.size() < kFrameCapacity &&
               common::CrcResidueGood(frame.data(), frame.size())) {
      out->push_back(frame);
    }
  }

  Bytes frame_;
  bool escape_ = false;
};

}  // namespace

int FuzzLibraryDeframer(const uint8_t* data, size_t size) {
  ByteSource in(data, size);
  // The read sizes first (cycled), then the stream itself.
  std::vector<size_t> reads;
  for (size_t n = in.Byte() % 8 + 1; n > 0; --n) reads.push_back(in.Byte() % 64 + 1);
  // Once whether asynchronous packets were queued as well; read still, so that the stored
  // inputs keep their meaning.
  in.Byte();
  const Bytes stream = in.Rest();

  diaglib::PacketQueue sync_queue;
  diaglib::CVodeEventListener listener(&sync_queue, nullptr);
  std::vector<Bytes> delivered;
  diaglib::HdlcDeframer deframer([&](int count, const uint8_t* bytes) {
    FUZZ_CHECK(count > 0 && static_cast<size_t>(count) <= kFrameCapacity);
    delivered.emplace_back(bytes, bytes + count);
    // The dispatcher's own copy goes to the listener, as its thread would deliver it.
    diaglib::PacketEvent event(count, bytes, 0, 0, 0, 0);
    listener.OnPacket(event.size(), event.bytes(), 0, 0, 0, 0);
  });

  ModelDeframer model;
  std::vector<Bytes> expected;
  size_t at = 0;
  for (size_t r = 0; at < stream.size(); ++r) {
    const size_t n = std::min(reads[r % reads.size()], stream.size() - at);
    Bytes chunk(stream.begin() + at, stream.begin() + at + n);
    deframer.DeframeChunk(chunk.data(), chunk.size());
    model.Feed(chunk, &expected);
    at += n;
    FUZZ_CHECK(deframer.PendingCount() < kFrameCapacity + 1);
  }
  FUZZ_CHECK(delivered == expected);

  // Every delivered synchronous packet of two bytes or more lands in the queue, once; an
  // asynchronous one reaches only the callback.
  size_t queued = 0;
  uint16_t length = 0;
  static uint8_t popped[diaglib::PacketQueue::kDataSize];
  while (sync_queue.Pop(&length, popped)) {
    FUZZ_CHECK(queued < delivered.size());
    ++queued;
    FUZZ_CHECK(length <= diaglib::PacketQueue::kDataSize);
  }
  size_t kept = 0;
  for (const Bytes& packet : delivered) {
    const bool asynchronous =
        Unchecked(packet[0]) &&
        (packet[0] != 0x60 || (packet.size() >= 4 && (packet[1] | packet[2] << 8) >= 1 &&
                               (packet[1] | packet[2] << 8) <= 4095));
    if (packet.size() >= 2 && !asynchronous) ++kept;
  }
  FUZZ_CHECK(queued == kept);
  return 0;
}

}  // namespace fuzz

FUZZ_ENTRY(fuzz::FuzzLibraryDeframer)
