// The serial port's opening sequence and settings, its failures, and its read and write loops.
#include <gtest/gtest.h>

#include "diaglib/transport/serial_port.hpp"
#include "log_capture.hpp"
#include "serial_fake_com_port.hpp"

using namespace diaglib;  // the library's own classes under test

namespace transport_test {
namespace {

class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest()
      : port_(clock_, std::make_unique<FakeComPort>(&state_, &clock_)),
        log_(clock_),
        capture_(&log_) {
    port_.SetLogHandler(&log_);
  }

  testsupport::TestClock clock_;
  FakeComState state_;
  CSerialPort port_;
  DataLogFileHandler log_;
  LogCapture capture_;
};

TEST_F(SerialPortTest, OpenAppliesTheDiagPortSettingsInOrder) {
  EXPECT_EQ(port_.Open(0), 0);
  EXPECT_EQ(port_.Open(256), 0);
  EXPECT_TRUE(state_.calls.empty());
  state_.state.XonChar = 0x11;  // left as the driver had it
  state_.state.fOutX = true;
  state_.state.XonLim = 2048;
  ASSERT_EQ(port_.Open(255), 1);
  EXPECT_EQ(state_.opened_number, 255);
  EXPECT_EQ(state_.calls, (std::vector<std::string>{"Open", "Setup 4096 4096", "GetProperties 64",
                                                    "GetTimeouts", "SetTimeouts", "GetState",
                                                    "SetState", "SetRts", "ClrDtr", "Purge"}));
  const platform::CommTimeouts& t = state_.timeouts_set;
  EXPECT_EQ(std::vector<uint32_t>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                   t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                   t.WriteTotalTimeoutConstant}),
            std::vector<uint32_t>({0xFFFFFFFFu, 0, 0, 1, 50}));
  const platform::LineSettings& s = state_.state;
  EXPECT_EQ(s.BaudRate, 115200u);
  EXPECT_EQ(s.ByteSize + s.Parity + s.StopBits, 8);
  EXPECT_TRUE(s.fBinary && s.fParity && s.fTXContinueOnXoff);
  EXPECT_EQ(s.fRtsControl, platform::kRtsControlEnable);
  EXPECT_EQ(s.fDtrControl, platform::kDtrControlDisable);
  EXPECT_FALSE(s.fOutX);
  EXPECT_EQ(s.XonLim, 0);
  EXPECT_EQ(s.XonChar, 0x11);
  EXPECT_EQ(state_.purges, std::vector<uint32_t>{0x0F});

  state_.calls.clear();
  ASSERT_EQ(port_.Open(255), 1);  // an open port is closed first
  EXPECT_EQ(state_.calls[0], "Close");
}

TEST_F(SerialPortTest, OpeningFailuresGiveTheirCodesAndCloseTheHandle) {
  state_.open_error = platform::kErrorFileNotFound;
  EXPECT_EQ(port_.Open(3), 0);
  EXPECT_EQ(port_.LastError(), kSerialErrorOpenFailed);
  state_ = FakeComState{};
  state_.setup_ok = false;
  EXPECT_EQ(port_.Open(3), 0);
  EXPECT_EQ(port_.LastError(), kSerialErrorSetupFailed);
  EXPECT_EQ(state_.calls.back(), "Close");
  state_ = FakeComState{};
  state_.set_state_ok = false;
  EXPECT_EQ(port_.Open(3), 0);
  EXPECT_EQ(port_.LastError(), kSerialErrorStateFailed);
  EXPECT_EQ(state_.calls.back(), "Close");
  EXPECT_FALSE(port_.IsOpen());
}

TEST_F(SerialPortTest, SendIsChunkedAndBoundedByItsDeadlineAndTheDriverQueue) {
  ASSERT_EQ(port_.Open(4), 1);
  std::vector<uint8_t> frame(10000, 0x55);
  EXPECT_EQ(port_.Send(frame.data(), 10000), 10000);
  EXPECT_EQ(state_.write_sizes, (std::vector<uint32_t>{4099, 4099, 1802}));
  EXPECT_EQ(state_.written, frame);
  EXPECT_TRUE(capture_.Has("    CSerialPort::Send(nbyte=10000)"));
  EXPECT_TRUE(capture_.Has("    CSerialPort::Send(bytes_sent=10000) ... OK"));

  // Past the deadline nothing counts as sent, although 300 bytes left.
  port_.SetWriteTimeout(900);
  state_.written.clear();
  state_.max_write = 100;
  state_.advance_per_write_ms = 400;
  EXPECT_EQ(port_.Send(frame.data(), 1000), 0);
  EXPECT_EQ(state_.written.size(), 300u);
  EXPECT_TRUE(capture_.Has("    CSerialPort::Send(bytes_sent=0) ... OK"));

  state_.advance_per_write_ms = 0;
  state_.out_queue = 4096;
  EXPECT_EQ(port_.Send(frame.data(), 1000), 100);
}

TEST_F(SerialPortTest, ReceiveReturnsAtOnceWithWhatIsWaiting) {
  ASSERT_EQ(port_.Open(4), 1);
  std::vector<uint8_t> buffer(40960);
  EXPECT_EQ(port_.Receive(buffer.data(), 40960), 0);
  EXPECT_FALSE(capture_.HasPrefix("    CSerialPort::Receive"));
  for (int i = 0; i < 25; ++i) state_.input.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(port_.Receive(buffer.data(), 40960), 25);  // three driver reads
  EXPECT_EQ(buffer[24], 24);
  EXPECT_TRUE(capture_.Has("    CSerialPort::Receive(wRec=25) ... OK"));
  state_.input.assign(10, 9);
  EXPECT_EQ(port_.Receive(buffer.data(), 4), 4);
  EXPECT_EQ(state_.input.size(), 6u);
  EXPECT_EQ(port_.FlushPCBuffer(), 1);
  EXPECT_EQ(state_.purges.back(), 0x08u);
}

}  // namespace
}  // namespace transport_test
