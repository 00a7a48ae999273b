// The response queue, the listener's sorting and the dispatcher thread.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "diaglib/transport/event_listener.hpp"
#include "diaglib/transport/packet_queue.hpp"
#include "diaglib/transport/vode_events.hpp"
#include "log_capture.hpp"
#include "test_clock.hpp"

namespace transport_test {
namespace {

using Bytes = std::vector<uint8_t>;

void PopAll(PacketQueue& queue, std::vector<Bytes>* out) {
  uint8_t buffer[PacketQueue::kDataSize];
  uint16_t length = 0;
  while (queue.Pop(&length, buffer)) out->emplace_back(buffer, buffer + length);
}

TEST(DispatchQueue, KeepsTheNewestWhenFullAndPopsOldestFirst) {
  PacketQueue queue;
  for (int i = 0; i < 4097; ++i) {
    const uint8_t bytes[3] = {static_cast<uint8_t>(i & 0xFF), static_cast<uint8_t>(i >> 8), 0x55};
    queue.Push(bytes, 3);
  }
  EXPECT_EQ(queue.Count(), 4096);
  uint8_t buffer[PacketQueue::kDataSize];
  uint16_t length = 0;
  ASSERT_TRUE(queue.Pop(&length, buffer));
  EXPECT_EQ(length, 3);
  EXPECT_EQ(buffer[0] | (buffer[1] << 8), 1);  // packet 0 was dropped
  queue.Clear();
  EXPECT_TRUE(queue.IsEmpty());
  length = 99;
  EXPECT_FALSE(queue.Pop(&length, buffer));
  EXPECT_EQ(length, 0);
}

TEST(DispatchQueue, EveryPushWakesOneWaiter) {
  PacketQueue queue;
  EXPECT_FALSE(queue.ArrivalEvent().WaitFor(0));
  std::thread pusher([&queue] {
    const uint8_t bytes[2] = {1, 2};
    queue.Push(bytes, 2);
  });
  EXPECT_TRUE(queue.ArrivalEvent().WaitFor(5000));
  pusher.join();
  EXPECT_FALSE(queue.ArrivalEvent().Poll());  // auto reset: consumed by the wait
}

class ListenerTest : public ::testing::Test {
 protected:
  ListenerTest() : log_(clock_), capture_(&log_), listener_(&async_, &sync_, &events_, &log_) {}

  static void OnAsync(uint16_t size, const uint8_t* bytes, int context) {
    std::lock_guard<std::mutex> lock(SeenMutex());
    Seen().emplace_back(bytes, bytes + size);
    Contexts().push_back(context);
  }
  static std::mutex& SeenMutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<Bytes>& Seen() {
    static std::vector<Bytes> seen;
    return seen;
  }
  static std::vector<int>& Contexts() {
    static std::vector<int> contexts;
    return contexts;
  }
  void Deliver(const Bytes& packet) {
    listener_.OnPacket(static_cast<int>(packet.size()), packet.data(), 0, 0, 0, 0);
  }
  std::vector<Bytes> SyncPackets() {
    std::vector<Bytes> out;
    PopAll(sync_, &out);
    return out;
  }

  testsupport::TestClock clock_;
  DataLogFileHandler log_;
  LogCapture capture_;
  PacketQueue async_, sync_, events_;
  CVodeEventListener listener_;
};

TEST_F(ListenerTest, SortsByFirstByteIntoResponsesAndAsynchronousTraffic) {
  const Bytes empty_event = {0x60, 0x00, 0x00, 0xAA, 0xBB};
  const Bytes real_event = {0x60, 0x02, 0x00, 0x01, 0x02, 0xAA, 0xBB};
  const Bytes response = {0x4B, 0x13, 0x00, 0x00, 0xAA, 0xBB};
  for (const Bytes& p : {Bytes{0x10, 0x01, 0xAA, 0xBB}, Bytes{0x1F, 1, 2}, Bytes{0x79, 1, 2},
                         Bytes{0x92, 1, 2}, real_event, empty_event, response}) {
    Deliver(p);
  }
  EXPECT_EQ(SyncPackets(), (std::vector<Bytes>{empty_event, response}));
  EXPECT_TRUE(async_.IsEmpty());  // not capturing
  EXPECT_TRUE(capture_.Has("ASYNC REC--listener--(5 bytes): 60 00 00 AA BB "));
  EXPECT_TRUE(capture_.Has("SYNC REC--listener--(6 bytes): 4B 13 00 00 AA BB "));

  listener_.SetAsyncCapture(true);
  Deliver(real_event);
  EXPECT_EQ(async_.Count(), 1);
  EXPECT_TRUE(sync_.IsEmpty());
}

TEST_F(ListenerTest, TheCallbackSeesEveryPacketOfTwoTo4096Bytes) {
  {
    std::lock_guard<std::mutex> lock(SeenMutex());
    Seen().clear();
    Contexts().clear();
  }
  listener_.SetAsyncMessageCallBack(&ListenerTest::OnAsync, 42);
  const Bytes log_packet = {0x10, 0x00, 0xAA, 0xBB};
  const Bytes response = {0x00, 0x01, 0xAA, 0xBB};
  Deliver(log_packet);
  Deliver(response);
  Deliver({0x00});                   // too short
  Deliver(Bytes(4097, 0x00));        // too long
  Deliver(Bytes(4096, 0x00));
  std::lock_guard<std::mutex> lock(SeenMutex());
  ASSERT_EQ(Seen().size(), 3u);
  EXPECT_EQ(Seen()[0], log_packet);
  EXPECT_EQ(Seen()[1], response);
  EXPECT_EQ(Seen()[2].size(), 4096u);
  EXPECT_EQ(Contexts(), (std::vector<int>{42, 42, 42}));
  EXPECT_EQ(sync_.Count(), 2);
}

// Records deliveries; as a filter it lets through packets whose first byte is even.
class Recorder : public CVodeEvents_Listener {
 public:
  explicit Recorder(bool even_only = false) : even_only_(even_only) {}
  bool OnPacket(int size, const uint8_t* bytes, int v0, int, int, int v3) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (even_only_) return (bytes[0] & 1) == 0;
    packets_.emplace_back(bytes, bytes + size);
    values_.push_back(v0 + v3);
    thread_ = std::this_thread::get_id();
    arrived_.Set();
    return true;
  }
  bool WaitForCount(size_t n) {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (packets_.size() >= n) return true;
      }
      arrived_.WaitFor(10);
    }
    return false;
  }
  std::vector<Bytes> Packets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
  }
  std::vector<int> Values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }
  std::thread::id Thread() {
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_;
  }

 private:
  const bool even_only_;
  std::mutex mutex_;  // owned by the recorder; guards what it recorded
  std::vector<Bytes> packets_;
  std::vector<int> values_;
  std::thread::id thread_;
  SyncEvent arrived_{SyncEvent::Mode::kAutoReset};
};

TEST(DispatchEvents, DeliversInOrderOnItsOwnThreadThroughFilters) {
  CVodeEvents events;
  Recorder all, filtered, filter(true);
  events.AddListener(&all, nullptr);
  events.AddListener(&filtered, &filter);
  for (uint8_t i = 0; i < 50; ++i) {
    const uint8_t bytes[2] = {i, 0xEE};
    events.AddPacket(2, bytes, i, 0, 0, 1);
  }
  ASSERT_TRUE(all.WaitForCount(50));
  ASSERT_TRUE(filtered.WaitForCount(25));
  const std::vector<Bytes> packets = all.Packets();
  for (uint8_t i = 0; i < 50; ++i) EXPECT_EQ(packets[i][0], i);
  EXPECT_EQ(all.Values()[49], 50);
  EXPECT_EQ(filtered.Packets().size(), 25u);
  EXPECT_NE(all.Thread(), std::this_thread::get_id());

  events.RemoveListener(&all);
  const uint8_t late[2] = {0x02, 0x00};
  events.AddPacket(2, late, 0, 0, 0, 0);
  ASSERT_TRUE(filtered.WaitForCount(26));
  EXPECT_EQ(all.Packets().size(), 50u);
  events.Stop();
  events.Stop();  // a second stop finds no thread
}

}  // namespace
}  // namespace transport_test
