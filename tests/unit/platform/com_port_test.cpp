#include "platform/com_port.hpp"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.hpp"
#include "temp_root.hpp"
#include "test_clock.hpp"

namespace {

using platform::CommTimeouts;
using platform::kMaxDword;

// A pseudo-terminal whose slave is COM7 of a temporary device root; the test plays the device
// on the master side.
class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    termios tio{};
    tcgetattr(master_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    root_.Link("dev/serial/com/COM7", name);
  }
  void TearDown() override {
    close(master_);
    close(slave_);
  }

  void DeviceSends(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    // Let the line discipline pass the bytes on before the test reads.
    for (int i = 0; i < 1000; ++i) {
      uint32_t in = 0, out = 0;
      if (port_ && port_->QueueStatus(&in, &out) && in >= bytes.size()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void OpenWith(const CommTimeouts& timeouts) {
    ASSERT_EQ(port_->Open(7, platform::IoMode::kBlocking), 0u);
    ASSERT_TRUE(port_->SetTimeouts(timeouts));
  }

  platform_test::TempRoot root_;
  int master_ = -1;
  int slave_ = -1;
  testsupport::TestClock clock_{20};
  std::unique_ptr<platform::ComPort> port_ = platform::MakeComPort(clock_);
};

const CommTimeouts kFirstBytes500{kMaxDword, kMaxDword, 500, 1, 50};
const CommTimeouts kPollOnly{kMaxDword, 0, 0, 1, 50};

TEST_F(PtyPort, OpenFailuresGiveWindowsCodes) {
  EXPECT_EQ(port_->Open(8, platform::IoMode::kBlocking), platform::kErrorFileNotFound);
  EXPECT_EQ(port_->LastError(), platform::kErrorFileNotFound);
  EXPECT_FALSE(port_->IsOpen());

  // The port is not shared: a second opener is refused while the first holds it.
  ASSERT_EQ(port_->Open(7, platform::IoMode::kBlocking), 0u);
  auto other = platform::MakeComPort(clock_);
  EXPECT_EQ(other->Open(7, platform::IoMode::kOverlapped), platform::kErrorAccessDenied);
  port_->Close();
  EXPECT_FALSE(port_->IsOpen());
  EXPECT_EQ(other->Open(7, platform::IoMode::kOverlapped), 0u);

  // Calls on a closed port fail instead of touching a stale descriptor.
  uint8_t byte;
  uint32_t got = 1;
  EXPECT_FALSE(port_->Read(&byte, 1, &got));
  EXPECT_EQ(got, 0u);
  CommTimeouts t;
  EXPECT_FALSE(port_->GetTimeouts(&t));
}

TEST_F(PtyPort, FirstByteTimeoutReturnsBufferedAtOnceOrNothingAfterTheConstant) {
  OpenWith(kFirstBytes500);
  uint8_t buffer[64];
  uint32_t got = 99;

  // Nothing comes: the whole 500 ms pass in test time, and the read gives no bytes.
  const uint64_t before = clock_.NowMs();
  ASSERT_TRUE(port_->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(port_->LastError(), 0u);
  EXPECT_GE(clock_.NowMs() - before, 500u);

  // Bytes already buffered: returned at once, fewer than asked for, no wait at all.
  DeviceSends("\x01\x02\x03");
  const uint64_t at = clock_.NowMs();
  ASSERT_TRUE(port_->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(buffer[2], 3);
  EXPECT_EQ(clock_.NowMs(), at);

  // A read never takes more than asked for; the rest stays for the next one.
  DeviceSends("abcdef");
  ASSERT_TRUE(port_->Read(buffer, 4, &got));
  EXPECT_EQ(got, 4u);
  ASSERT_TRUE(port_->Read(buffer, sizeof buffer, &got));
  ASSERT_EQ(got, 2u);
  EXPECT_EQ(buffer[0], 'e');
}

TEST_F(PtyPort, FirstByteTimeoutReturnsBytesArrivingDuringTheWait) {
  testsupport::TestClock patient(10000);
  port_ = platform::MakeComPort(patient);
  OpenWith({kMaxDword, kMaxDword, 20000, 1, 50});
  std::thread device([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    (void)!write(master_, "xyz", 3);
  });
  uint8_t buffer[16];
  uint32_t got = 0;
  const uint64_t before = patient.NowMs();
  ASSERT_TRUE(port_->Read(buffer, sizeof buffer, &got));
  device.join();
  EXPECT_GE(got, 1u);
  EXPECT_EQ(buffer[0], 'x');
  // The wait ended with the data, long before the 20 s time-out.
  EXPECT_LT(patient.NowMs() - before, 20000u);
}

TEST_F(PtyPort, PollOnlyTimeoutsNeverWait) {
  OpenWith(kPollOnly);
  uint8_t buffer[8];
  uint32_t got = 5;
  const uint64_t before = clock_.NowMs();
  ASSERT_TRUE(port_->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(clock_.NowMs(), before);

  DeviceSends("hi");
  ASSERT_TRUE(port_->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 2u);
}

TEST_F(PtyPort, TotalTimeoutWaitsForTheWholeCountThenGivesWhatCame) {
  OpenWith({0, 10, 100, 0, 0});
  DeviceSends("ab");
  uint8_t buffer[4];
  uint32_t got = 0;
  const uint64_t before = clock_.NowMs();
  ASSERT_TRUE(port_->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 2u);
  EXPECT_GE(clock_.NowMs() - before, 140u);  // 4 bytes x 10 ms + 100 ms
}

TEST_F(PtyPort, SettingsRoundTripThroughTheTerminal) {
  ASSERT_EQ(port_->Open(7, platform::IoMode::kBlocking), 0u);
  platform::LineSettings wanted;
  ASSERT_TRUE(port_->GetState(&wanted));
  wanted.BaudRate = 57600;
  // A pseudo-terminal always keeps 8 data bits without parity, so those are not asked for.
  wanted.ByteSize = 8;
  wanted.Parity = 0;
  wanted.StopBits = 2;
  wanted.fOutxCtsFlow = true;
  wanted.fOutX = true;
  wanted.fInX = false;
  wanted.fDtrControl = platform::kDtrControlEnable;
  wanted.fTXContinueOnXoff = true;
  wanted.EvtChar = 0x7E;
  wanted.XonLim = 12;
  ASSERT_TRUE(port_->SetState(wanted));

  termios tio{};
  ASSERT_EQ(tcgetattr(slave_, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B57600);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
  EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_NE(tio.c_iflag & IXON, 0u);
  EXPECT_EQ(tio.c_iflag & IXOFF, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

  platform::LineSettings back;
  ASSERT_TRUE(port_->GetState(&back));
  EXPECT_EQ(back.BaudRate, 57600u);
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.Parity, 0);
  EXPECT_EQ(back.StopBits, 2);
  EXPECT_TRUE(back.fOutxCtsFlow);
  EXPECT_TRUE(back.fOutX);
  EXPECT_FALSE(back.fInX);
  EXPECT_EQ(back.fDtrControl, platform::kDtrControlEnable);
  EXPECT_TRUE(back.fTXContinueOnXoff);
  EXPECT_EQ(back.EvtChar, 0x7E);
  EXPECT_EQ(back.XonLim, 12);

  wanted.BaudRate = 12345;
  EXPECT_FALSE(port_->SetState(wanted));
  EXPECT_NE(port_->LastError(), 0u);
  // The modem-line calls succeed on a terminal without modem lines.
  EXPECT_TRUE(port_->Escape(platform::CommFunction::kSetRts));
  EXPECT_TRUE(port_->Escape(platform::CommFunction::kClrDtr));
}

TEST_F(PtyPort, WriteReachesTheDeviceAndPurgeDropsInput) {
  OpenWith(kPollOnly);
  const uint8_t frame[] = {0x00, 0x78, 0xF0, 0x7E};
  uint32_t written = 0;
  ASSERT_TRUE(port_->Write(frame, sizeof frame, &written));
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(port_->LastError(), 0u);
  uint8_t seen[8] = {};
  ssize_t n = 0;
  for (int i = 0; i < 1000 && n < 4; ++i) {
    const ssize_t r = read(master_, seen + n, sizeof seen - n);
    if (r > 0)
      n += r;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(n, 4);
  EXPECT_EQ(seen[1], 0x78);
  EXPECT_EQ(seen[3], 0x7E);

  DeviceSends("stale");
  uint32_t in = 0, out = 0;
  ASSERT_TRUE(port_->QueueStatus(&in, &out));
  EXPECT_EQ(in, 5u);
  ASSERT_TRUE(port_->Purge(platform::kPurgeRxClear | platform::kPurgeTxClear));
  ASSERT_TRUE(port_->QueueStatus(&in, &out));
  EXPECT_EQ(in, 0u);
}

TEST_F(PtyPort, CloseWakesAWaitingReaderAtOnce) {
  // Blocking as the NV writer opens the port, overlapped as the library's reader uses it.
  for (platform::IoMode mode : {platform::IoMode::kBlocking, platform::IoMode::kOverlapped}) {
    port_ = platform::MakeComPort(platform::RealClock());
    ASSERT_EQ(port_->Open(7, mode), 0u);
    ASSERT_TRUE(port_->SetTimeouts({kMaxDword, kMaxDword, 600000, 1, 50}));
    auto waiting = std::async(std::launch::async, [this] { return port_->WaitReadable(600000); });
    auto reading = std::async(std::launch::async, [this] {
      uint8_t buffer[4];
      uint32_t got = 0;
      const bool ok = port_->Read(buffer, sizeof buffer, &got);
      return ok ? static_cast<int>(got) : -1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = std::chrono::steady_clock::now();
    port_->Close();
    // Bounded so that a reader Close failed to wake fails the test instead of hanging it.
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3))
        << "Close waits 2 s at most";
    EXPECT_EQ(port_->LastError(), 0u) << "the waits ended, nothing was abandoned";
    EXPECT_FALSE(waiting.get());
    EXPECT_LE(reading.get(), 0);
  }
}

// The reader's wait without a time-out, and each way it has to end: a wake-up (given before it
// starts or while it waits), input, the device going away, a Close.
TEST_F(PtyPort, UntimedWaitEndsOnWakeInputHangUpAndCloseOnly) {
  enum class End { kWakeFirst, kWakeLater, kInput, kHangUp, kClose };
  struct Case {
    End end;
    bool readable;
    uint32_t error;  // LastError() after a false answer
  };
  // The hang-up last: the device does not come back.
  const Case cases[] = {{End::kWakeFirst, false, 0},
                        {End::kWakeLater, false, 0},
                        {End::kInput, true, 0},
                        {End::kClose, false, 995},
                        {End::kHangUp, true, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.end));
    port_ = platform::MakeComPort(clock_);
    ASSERT_EQ(port_->Open(7, platform::IoMode::kOverlapped), 0u);
    ASSERT_TRUE(port_->SetTimeouts(kPollOnly));
    if (c.end == End::kWakeFirst) port_->Wake();
    auto waiting = std::async(std::launch::async, [this] {
      const bool readable = port_->WaitReadableOrWoken();
      return std::make_pair(readable, port_->LastError());
    });
    // Nothing ends the wait on its own: neither a quiet line nor time.
    if (c.end != End::kWakeFirst) {
      ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    }
    switch (c.end) {
      case End::kWakeFirst:
        break;
      case End::kWakeLater:
        port_->Wake();
        break;
      case End::kInput:
        ASSERT_EQ(write(master_, "x", 1), 1);
        break;
      case End::kHangUp:
        close(master_);
        master_ = -1;
        break;
      case End::kClose:
        port_->Close();
        break;
    }
    // Bounded so that a wait nothing ends fails the test instead of hanging it.
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const auto [readable, error] = waiting.get();
    EXPECT_EQ(readable, c.readable);
    if (!readable) {
      EXPECT_EQ(error, c.error);
    }
    // A wake-up ends one wait, not the next.
    if (c.end == End::kWakeFirst || c.end == End::kWakeLater) {
      auto next = std::async(std::launch::async, [this] { return port_->WaitReadableOrWoken(); });
      EXPECT_EQ(next.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
      port_->Close();
      ASSERT_EQ(next.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    }
    if (port_->IsOpen()) port_->Purge(platform::kPurgeRxClear);
    port_->Close();
  }
}

TEST_F(PtyPort, ReaderThreadAndCloserThreadShareThePort) {
  // The library's pattern: one thread polls and reads while another writes and closes.
  for (int round = 0; round < 20; ++round) {
    OpenWith(kPollOnly);
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> total{0};
    std::thread reader([&] {
      uint8_t buffer[64];
      while (!stop.load()) {
        uint32_t in = 0, out = 0, got = 0;
        port_->WaitReadable(1);
        port_->QueueStatus(&in, &out);
        if (port_->Read(buffer, sizeof buffer, &got))
          total += got;
        else if (!port_->IsOpen())
          break;
      }
    });
    const uint8_t ping[] = {1, 2, 3};
    uint32_t written = 0;
    port_->Write(ping, sizeof ping, &written);
    ASSERT_EQ(write(master_, "0123456789", 10), 10);
    port_->Purge(platform::kPurgeRxClear);
    port_->Close();
    stop = true;
    reader.join();
    EXPECT_LE(total.load(), 10u);
    char drain[64];
    while (read(master_, drain, sizeof drain) > 0) {
    }
  }
}

TEST_F(PtyPort, DeviceGoneEndsReadsWithAnErrorEvenWithoutTimeouts) {
  OpenWith({0, 0, 0, 0, 0});  // no time-outs at all: a read waits for its whole count
  DeviceSends("ab");
  close(master_);
  master_ = -1;
  uint8_t buffer[8];
  uint32_t got = 0;
  EXPECT_FALSE(port_->Read(buffer, sizeof buffer, &got));
  EXPECT_NE(port_->LastError(), 0u);
  EXPECT_TRUE(port_->WaitReadable(100000));  // the next read reports it, at once
  EXPECT_FALSE(port_->Read(buffer, sizeof buffer, &got));
  const uint32_t gone = port_->LastError();
  EXPECT_NE(gone, 0u);
  // The reader's untimed wait hands it to a read as well, which fails the same way.
  EXPECT_TRUE(port_->WaitReadableOrWoken());
  EXPECT_FALSE(port_->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(port_->LastError(), gone);
}

TEST_F(PtyPort, WriteToADeviceThatStopsReadingEndsAtItsTimeout) {
  OpenWith({kMaxDword, 0, 0, 0, 300});
  std::vector<uint8_t> big(1 << 20, 0x55);  // far more than a terminal buffers
  uint32_t written = 0;
  const uint64_t before = clock_.NowMs();
  EXPECT_TRUE(port_->Write(big.data(), static_cast<uint32_t>(big.size()), &written));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
  EXPECT_NE(port_->LastError(), 0u);  // the shortfall is reported, not passed off as success
  EXPECT_GE(clock_.NowMs() - before, 300u);
}

}  // namespace
