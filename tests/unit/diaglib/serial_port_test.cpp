// The serial port's opening sequence, settings, error mapping and read/write loops, checked
// against a COM port that records every call.
#include <gtest/gtest.h>

#include "diaglib/transport/serial_port.hpp"
#include "log_capture.hpp"
#include "serial_fake_com_port.hpp"

namespace transport_test {
namespace {

class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest()
      : port_(clock_, std::make_unique<FakeComPort>(&state_, &clock_)), log_(clock_), capture_(&log_) {
    port_.SetLogHandler(&log_);
  }

  testsupport::TestClock clock_;
  FakeComState state_;
  CSerialPort port_;
  DataLogFileHandler log_;
  LogCapture capture_;
};

TEST_F(SerialPortTest, PortNumbersOutsideOneTo255FailWithoutTouchingTheSystem) {
  EXPECT_EQ(port_.Open(0), 0);
  EXPECT_EQ(port_.Open(256), 0);
  EXPECT_TRUE(state_.calls.empty());
  EXPECT_EQ(port_.Open(255), 1);
  EXPECT_EQ(state_.opened_number, 255);
  EXPECT_EQ(state_.opened_mode, platform::IoMode::kOverlapped);
}

TEST_F(SerialPortTest, OpenAppliesTheDiagPortSettingsInOrder) {
  state_.state_from_driver.XonChar = 0x11;  // a field the port must leave as the driver had it
  state_.state_from_driver.fOutX = true;
  state_.state_from_driver.XonLim = 2048;
  ASSERT_EQ(port_.Open(7), 1);
  EXPECT_TRUE(port_.IsOpen());
  const std::vector<std::string> expected = {"Open",       "Setup",    "GetProperties", "GetTimeouts",
                                             "SetTimeouts", "GetState", "SetState",      "SetRts",
                                             "ClrDtr",     "Purge"};
  EXPECT_EQ(state_.calls, expected);
  EXPECT_EQ(state_.setup_in, 4096u);
  EXPECT_EQ(state_.setup_out, 4096u);
  EXPECT_EQ(state_.packet_length_seen, 64);
  EXPECT_EQ(state_.timeouts_set.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(state_.timeouts_set.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(state_.timeouts_set.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(state_.timeouts_set.WriteTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(state_.timeouts_set.WriteTotalTimeoutConstant, 50u);
  const platform::LineSettings& s = state_.state_set;
  EXPECT_EQ(s.BaudRate, 115200u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, 0);
  EXPECT_EQ(s.StopBits, 0);
  EXPECT_TRUE(s.fBinary);
  EXPECT_TRUE(s.fParity);
  EXPECT_TRUE(s.fTXContinueOnXoff);
  EXPECT_EQ(s.fRtsControl, platform::kRtsControlEnable);
  EXPECT_EQ(s.fDtrControl, platform::kDtrControlDisable);
  EXPECT_FALSE(s.fOutX);
  EXPECT_EQ(s.XonLim, 0);
  EXPECT_EQ(s.XonChar, 0x11);
  ASSERT_EQ(state_.purges.size(), 1u);
  EXPECT_EQ(state_.purges[0], 0x0Fu);
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

TEST_F(SerialPortTest, OpeningAnOpenPortClosesItFirst) {
  ASSERT_EQ(port_.Open(5), 1);
  state_.calls.clear();
  ASSERT_EQ(port_.Open(5), 1);
  ASSERT_GE(state_.calls.size(), 2u);
  EXPECT_EQ(state_.calls[0], "Close");
  EXPECT_EQ(state_.calls[1], "Open");
}

TEST(SerialPortErrors, PlatformCodesMapToTheLibraryCodes) {
  EXPECT_EQ(CSerialPort::MapPlatformError(0), 0);
  for (uint32_t code : {1u, 2u, 3u, 1118u}) EXPECT_EQ(CSerialPort::MapPlatformError(code), -198);
  EXPECT_EQ(CSerialPort::MapPlatformError(5), -197);
  EXPECT_EQ(CSerialPort::MapPlatformError(8), -195);
  EXPECT_EQ(CSerialPort::MapPlatformError(14), -195);
  EXPECT_EQ(CSerialPort::MapPlatformError(87), -200);
}

TEST_F(SerialPortTest, SetBaudRateChangesOnlyTheRateAndReportsTheMappedError) {
  ASSERT_EQ(port_.Open(4), 1);
  EXPECT_TRUE(port_.SetBaudRate(19200));
  EXPECT_EQ(state_.state_set.BaudRate, 19200u);
  EXPECT_TRUE(state_.state_set.fParity);
  int baud = 0;
  port_.GetBaudRate(&baud);
  EXPECT_EQ(baud, 19200);
  state_.set_state_ok = false;
  EXPECT_FALSE(port_.SetBaudRate(9600));
  EXPECT_EQ(port_.LastError(), -200);
  port_.GetBaudRate(&baud);
  EXPECT_EQ(baud, 19200);
}

TEST_F(SerialPortTest, SendCutsWritesIntoChunksOf4099) {
  ASSERT_EQ(port_.Open(4), 1);
  std::vector<uint8_t> frame(10000, 0x55);
  EXPECT_EQ(port_.Send(frame.data(), 10000), 10000);
  EXPECT_EQ(state_.write_sizes, (std::vector<uint32_t>{4099, 4099, 1802}));
  EXPECT_EQ(state_.written, frame);
  EXPECT_TRUE(capture_.Has("    CSerialPort::Send(nbyte=10000)"));
  EXPECT_TRUE(capture_.Has("    CSerialPort::Send(bytes_sent=10000) ... OK"));
}

TEST_F(SerialPortTest, SendPastItsDeadlineReportsNothingSentEvenWhenBytesLeft) {
  ASSERT_EQ(port_.Open(4), 1);
  port_.SetWriteTimeout(900);
  state_.max_write = 100;
  state_.advance_per_write_ms = 400;
  std::vector<uint8_t> frame(1000, 1);
  EXPECT_EQ(port_.Send(frame.data(), 1000), 0);
  EXPECT_EQ(state_.written.size(), 300u);  // the third write crossed the deadline
  EXPECT_TRUE(capture_.Has("    CSerialPort::Send(bytes_sent=0) ... OK"));
}

TEST_F(SerialPortTest, SendStopsWithWhatWentOutWhenTheDriverQueueIsFullOrTheWriteFails) {
  ASSERT_EQ(port_.Open(4), 1);
  state_.max_write = 100;
  state_.out_queue = 4096;
  std::vector<uint8_t> frame(1000, 1);
  EXPECT_EQ(port_.Send(frame.data(), 1000), 100);
  state_.out_queue = 0;
  state_.write_fails = true;
  EXPECT_EQ(port_.Send(frame.data(), 1000), 0);
  EXPECT_EQ(state_.write_sizes.size(), 2u);  // a refused write is not repeated
}

TEST_F(SerialPortTest, ReceiveReturnsAtOnceWithWhatIsWaiting) {
  ASSERT_EQ(port_.Open(4), 1);
  std::vector<uint8_t> buffer(40960);
  EXPECT_EQ(port_.Receive(buffer.data(), 40960), 0);
  EXPECT_FALSE(capture_.HasPrefix("    CSerialPort::Receive"));
  for (int i = 0; i < 25; ++i) state_.input.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(port_.Receive(buffer.data(), 40960), 25);  // three driver reads of 10, 10 and 5
  EXPECT_EQ(buffer[24], 24);
  EXPECT_TRUE(capture_.Has("    CSerialPort::Receive(wRec=25) ... OK"));
  for (int i = 0; i < 10; ++i) state_.input.push_back(9);
  EXPECT_EQ(port_.Receive(buffer.data(), 4), 4);
  EXPECT_EQ(state_.input.size(), 6u);
}

TEST_F(SerialPortTest, FlushPurgesOnlyTheReceiveSide) {
  ASSERT_EQ(port_.Open(4), 1);
  EXPECT_EQ(port_.FlushPCBuffer(), 1);
  EXPECT_EQ(state_.purges.back(), 0x08u);
  EXPECT_TRUE(capture_.Has("    CSerialPort::FlushPCBuffer()"));
}

}  // namespace
}  // namespace transport_test
