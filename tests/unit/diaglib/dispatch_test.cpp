// The response queue's bound and the listener's sorting; delivery across threads is covered
// against the device.
#include <gtest/gtest.h>

#include <vector>

#include "diaglib/transport/event_listener.hpp"
#include "log_capture.hpp"
#include "test_clock.hpp"

using namespace diaglib;  // the library's own classes under test

namespace transport_test {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> Drain(PacketQueue& queue) {
  std::vector<Bytes> out;
  uint8_t buffer[PacketQueue::kDataSize];
  uint16_t length = 0;
  while (queue.Pop(&length, buffer)) out.emplace_back(buffer, buffer + length);
  return out;
}

TEST(DispatchQueue, KeepsTheNewest4096) {
  PacketQueue queue;
  for (int i = 0; i < 4097; ++i) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(i & 0xFF), static_cast<uint8_t>(i >> 8)};
    queue.Push(bytes, 2);
  }
  const std::vector<Bytes> packets = Drain(queue);
  ASSERT_EQ(packets.size(), 4096u);
  EXPECT_EQ(packets.front(), (Bytes{1, 0}));
  EXPECT_EQ(packets.back(), (Bytes{0x00, 0x10}));
}

TEST(DispatchListener, SortsByFirstByteAndShowsEveryPacketToTheCallback) {
  testsupport::TestClock clock;
  DataLogFileHandler log(clock);
  LogCapture capture(&log);
  PacketQueue sync;
  CVodeEventListener listener(&sync, &log);
  static std::vector<Bytes> seen;
  seen.clear();
  listener.SetAsyncMessageCallBack(
      [](uint16_t size, const uint8_t* bytes, int context) {
        if (context == 42) seen.emplace_back(bytes, bytes + size);
      },
      42);

  const Bytes empty_event = {0x60, 0x00, 0x00, 0xAA, 0xBB};
  const Bytes response = {0x4B, 0x13, 0x00, 0x00, 0xAA, 0xBB};
  const std::vector<Bytes> all = {
      {0x10, 1, 2}, {0x1F, 1, 2}, {0x79, 1, 2},  {0x92, 1, 2}, {0x60, 0x02, 0x00, 1, 2},
      empty_event,  response,     Bytes(4096, 0)};
  for (const Bytes& p : all) listener.OnPacket(static_cast<int>(p.size()), p.data(), 0, 0, 0, 0);
  for (const Bytes& p : {Bytes{0x00}, Bytes(4097, 0)})
    listener.OnPacket(static_cast<int>(p.size()), p.data(), 0, 0, 0, 0);

  EXPECT_EQ(seen, all);
  EXPECT_EQ(Drain(sync), (std::vector<Bytes>{empty_event, response, Bytes(4096, 0)}));
  EXPECT_TRUE(capture.Has("ASYNC REC--listener--(5 bytes): 60 00 00 AA BB "));
  EXPECT_TRUE(capture.Has("SYNC REC--listener--(6 bytes): 4B 13 00 00 AA BB "));
}

}  // namespace
}  // namespace transport_test
