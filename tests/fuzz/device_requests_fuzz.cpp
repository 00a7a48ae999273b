// The virtual device's request intake: any bytes arriving on its port, as frames it can check
// or as noise, in any pieces. It runs without port or thread here; what it would send must be
// good frames only, one answer at most per good request, and nothing may bring it down, since
// every test that talks to it depends on it.
#include <string>

#include "devicesim/device_impl.hpp"
#include "devicesim/hdlc.hpp"
#include "fuzz_support.hpp"
#include "fuzz_targets.hpp"

namespace fuzz {
namespace {

// Request heads the device tells apart, so that the input reaches each answer's own checks.
const Bytes kHeads[] = {{},
                        {0x00},
                        {0x7C},
                        {0x7B},
                        {0x29, 0x01, 0x00},
                        {0x29, 0x02, 0x00},
                        {0x29},
                        {0x26},
                        {0x27},
                        {0x4B, 0x0F, 0x00, 0x00},
                        {0x4B, 0x13, 0x02, 0x00},
                        {0x4B, 0x13, 0x03, 0x00},
                        {0x4B, 0x13, 0x05, 0x00},
                        {0x4B, 0x13, 0x08, 0x00},
                        {0x4B, 0x13, 0x09, 0x00},
                        {0x4B, 0x13, 0x0A, 0x00},
                        {0x4B, 0x13, 0x0B, 0x00},
                        {0x4B, 0x13, 0x0C, 0x00},
                        {0x4B, 0x13, 0x0D, 0x00},
                        {0x4B, 0x13, 0x13, 0x00}};
constexpr size_t kHeadCount = sizeof kHeads / sizeof kHeads[0];

}  // namespace

int FuzzDeviceRequests(const uint8_t* data, size_t size) {
  ByteSource in(data, size);
  const uint8_t setup = in.Byte();
  devicesim::Options options;
  options.strict_lengths = (setup & 1) != 0;
  options.unknown_nv_inactive = (setup & 2) != 0;
  options.nv_write_needs_offline = (setup & 4) != 0;
  // A small file system, so that filling it up is within reach of the input.
  options.efs_capacity_bytes = 8 * 1024;
  options.efs_block_size = setup & 8 ? 512 : 64;
  const size_t piece = in.Byte() % 32 + 1;

  Bytes stream;
  while (!in.Empty()) {
    const uint8_t shape = in.Byte();
    Bytes request = kHeads[(shape >> 2) % kHeadCount];
    const Bytes body = in.Chunk();
    request.insert(request.end(), body.begin(), body.end());
    if ((shape & 3) == 3) {
      stream.insert(stream.end(), request.begin(), request.end());  // as noise, unframed
    } else {
      const Bytes frame = devicesim::FramePacket(request);
      stream.insert(stream.end(), frame.begin(), frame.end());
    }
  }

  devicesim::VirtualDevice::Impl device(options);
  device.present = true;
  for (size_t at = 0; at < stream.size(); at += piece) {
    device.OnSerialBytes(stream.data() + at, std::min(piece, stream.size() - at));
  }

  FUZZ_CHECK(device.good_requests.size() <= device.requests.size());
  FUZZ_CHECK(device.output.size() <= device.good_requests.size());
  // What it would send reads back as good frames, one per queued answer.
  devicesim::Deframer reader;
  std::vector<devicesim::Deframer::Frame> frames;
  for (const auto& out : device.output) reader.Feed(out.bytes.data(), out.bytes.size(), &frames);
  FUZZ_CHECK(frames.size() == device.output.size());
  for (const auto& frame : frames) FUZZ_CHECK(frame.good && !frame.packet.empty());
  return 0;
}

}  // namespace fuzz

FUZZ_ENTRY(fuzz::FuzzDeviceRequests)
