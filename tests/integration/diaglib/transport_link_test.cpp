// The serial port, framing, reader thread, dispatcher and synchronous exchange against the
// virtual device over a real pseudo-terminal.
#include "common/diag_frame.hpp"
#include "diaglib/transport/hdlc_deframer.hpp"
#include "transport_fixture.hpp"

using namespace diaglib;  // the library's own classes under test

namespace transport_test {
namespace {

TEST_F(TransportTest, VersionRequestLeavesAsItsFrameAndTheReplyIsDeliveredOnce) {
  CSerialPort serial(clock_);
  CProtAHDLC ahdlc(clock_);
  ASSERT_EQ(serial.Open(kComNumber), 1);
  ASSERT_TRUE(ahdlc.SetPort(&serial));
  std::vector<Bytes> packets;
  HdlcDeframer deframer(
      [&packets](int size, const uint8_t* bytes) { packets.emplace_back(bytes, bytes + size); });
  const uint8_t version = 0x00;
  ASSERT_EQ(ahdlc.Send(&version, 1, 4000, 0), 1);
  Bytes buffer(40960);
  auto read = [&] {
    int length = static_cast<int>(buffer.size());
    if (serial.WaitReadable(10) == CSerialPort::WaitResult::kReadable &&
        ahdlc.Receive(buffer.data(), &length, 0))
      deframer.DeframeChunk(buffer.data(), length);
    return !packets.empty();
  };
  ASSERT_TRUE(Eventually(read));
  for (int i = 0; i < 5; ++i) read();
  EXPECT_EQ(device_->RawReceived(), (Bytes{0x00, 0x78, 0xF0, 0x7E}));
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0][0], 0x00);
  EXPECT_TRUE(common::CrcResidueGood(packets[0].data(), packets[0].size()));
}

TEST_F(TransportTest, ResponseLengthLeavesOutTheCrcAndIsCutToTheCapacity) {
  OpenLink();
  ASSERT_TRUE(Exchange({0x00}));
  ASSERT_EQ(SeenPackets().size(), 1u);
  const Bytes frame = SeenPackets()[0];  // the unescaped frame, CRC included
  EXPECT_EQ(response_length_, frame.size() - 2);
  EXPECT_EQ(Bytes(response_.begin(), response_.begin() + frame.size()), frame);
  const std::string size = std::to_string(frame.size());
  EXPECT_TRUE(capture_->HasPrefix("SEND (1 bytes):00 "));
  // The de-framer logs after handing the packet on, so its line may follow the exchange.
  EXPECT_TRUE(
      Eventually([&] { return capture_->HasPrefix("SYNC REC (" + size + " bytes): 00 "); }));
  EXPECT_TRUE(capture_->HasPrefix("SYNC REC--listener--(" + size + " bytes): 00 "));
  EXPECT_TRUE(capture_->Has("CVodeThreadInterface::SendSync = result = 1"));

  ASSERT_TRUE(Exchange({0x00}, 10));
  EXPECT_EQ(response_length_, 10);
  EXPECT_EQ(response_[10], 0xCC);
}

TEST_F(TransportTest, AnErrorResponseFailsAtOnceAndLeavesThePortOpen) {
  ContextTransport& link = OpenLink();
  device_->ErrorResponses(1, 0x13);
  const uint64_t before = clock_.NowMs();
  EXPECT_FALSE(Exchange({0x4B, 0x13, 0x0B, 0x00}));
  EXPECT_LT(clock_.NowMs() - before, 4000u);
  EXPECT_EQ(response_[0], 0x13);
  EXPECT_TRUE(link.IsConnected());
  const int different =
      capture_->Find("Received different response command byte (0x13)than was requested (0x4B)");
  const int failed = capture_->Find("Error. Send Sync Read failed.", different);
  ASSERT_GE(different, 0);
  ASSERT_GT(failed, different);
  EXPECT_GT(capture_->Find("ERROR:\tDIAG_BAD_CMD_F (19) received, bad command", failed), failed);
  EXPECT_FALSE(capture_->HasPrefix("Port close request."));
}

TEST_F(TransportTest, ATimeOutClosesThePortAndTheNextRequestReopensIt) {
  ContextTransport& link = OpenLink();
  device_->DropResponses(1);
  const uint64_t before = clock_.NowMs();
  EXPECT_FALSE(Exchange({0x00}));
  EXPECT_GE(clock_.NowMs() - before, 4000u);
  EXPECT_FALSE(link.IsConnected());
  EXPECT_TRUE(capture_->Has("Port close request.  Connected = 1, User Defined Transport = 0"));

  capture_->Clear();
  ASSERT_TRUE(Exchange({0x00}));
  EXPECT_TRUE(link.IsConnected());
  int at = 0;
  for (const char* line : {"Port open request, first close port",
                           "Port close request.  Connected = 0, User Defined Transport = 0",
                           "Port close was not issued because connected flag not set or user "
                           "defined transport is being used",
                           "Port open request, proceed with open", "SEND (1 bytes):00 "}) {
    at = capture_->Find(line, at);
    ASSERT_GE(at, 0) << line;
  }
}

TEST_F(TransportTest, OnlyEventReportsWithoutLengthReachTheResponseQueue) {
  ContextTransport& link = OpenLink();
  device_->SendUnsolicited({0x60, 0x02, 0x00, 0x11, 0x22});
  device_->SendUnsolicited({0x60, 0x00, 0x00});
  ASSERT_TRUE(Eventually([&] { return !link.SyncResponseQueue().IsEmpty(); }));
  // Delivered in order, so the first queued packet tells whether the real event got in.
  uint8_t packet[PacketQueue::kDataSize];
  uint16_t length = 0;
  ASSERT_TRUE(link.SyncResponseQueue().Pop(&length, packet));
  EXPECT_EQ(Bytes(packet, packet + 3), (Bytes{0x60, 0x00, 0x00}));
  EXPECT_EQ(length, 5);
}

TEST_F(TransportTest, ALogPacketNeverSatisfiesARequestButTheCallbackSeesEverything) {
  OpenLink();
  device_->UnsolicitedBeforeResponses(1, {0x10, 0x00, 0x04, 0x00, 0x99, 0x99});
  EXPECT_FALSE(Exchange({0x10, 0x00}));
  EXPECT_NE(response_[0], 0x10);
  device_->UnsolicitedBeforeResponses(1, {0x79, 0x01, 0x02});
  ASSERT_TRUE(Exchange({0x00}));
  const std::vector<Bytes> seen = SeenPackets();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(std::vector<int>({seen[0][0], seen[1][0], seen[2][0], seen[3][0]}),
            std::vector<int>({0x10, 0x13, 0x79, 0x00}));
}

TEST_F(TransportTest, AFlushBetweenTwoHalvesOfAFrameDropsTheFirstHalf) {
  ContextTransport& link = OpenLink();
  const Bytes packet = {0x7C, 0x01, 0x02, 0x03, 0x04, 0x05};
  Bytes frame(32);
  frame.resize(common::EncodeFrame(packet.data(), packet.size(), frame.data(), frame.size()));
  const Bytes first(frame.begin(), frame.begin() + 3), rest(frame.begin() + 3, frame.end());
  auto reads = [&] {
    int n = 0;
    for (const std::string& text : capture_->Texts())
      n += text.compare(0, 20, "THREAD READ (3 bytes") == 0;
    return n;
  };

  device_->SendRaw(first);
  ASSERT_TRUE(Eventually([&] { return reads() == 1; }));
  // The read is logged before its bytes reach the de-framer; a pause is acknowledged only
  // between two passes, so the first half is in the de-framer once the pause is.
  ASSERT_TRUE(link.ThreadInterface().PauseThread());
  ASSERT_TRUE(link.ThreadInterface().ResumeThread());
  link.RequestRxFlush();
  device_->SendRaw(rest);
  ASSERT_TRUE(Eventually([&] { return capture_->HasPrefix("ERROR SYNC REC ("); }));
  EXPECT_TRUE(link.SyncResponseQueue().IsEmpty());

  device_->SendRaw(first);  // without the flush the halves make one packet
  ASSERT_TRUE(Eventually([&] { return reads() == 2; }));
  device_->SendRaw(rest);
  ASSERT_TRUE(Eventually([&] { return link.SyncResponseQueue().Count() == 1; }));
}

TEST_F(TransportTest, AVanishedDeviceEndsTheReadersReadsAndLeavesItAsleepUntilAsked) {
  ContextTransport& link = OpenLink();
  device_->Disappear();
  // The hung-up line wakes the reader once, and its read fails.
  ASSERT_TRUE(Eventually([&] { return capture_->Has("  Device received 0 bytes"); }));
  EXPECT_TRUE(link.ThreadInterface().IsConnected());
  capture_->Clear();
  usleep(200000);
  // A reader that kept reading a line that is gone would log every pass.
  EXPECT_FALSE(capture_->Has("  Device received 0 bytes"));
  // It still hears its caller, who closes the port once the device does not answer.
  EXPECT_TRUE(link.ThreadInterface().PauseThread());
  EXPECT_TRUE(
      capture_->Has("CVodeThreadInterface::PauseThread - Thread Pause event ack succeeded"));
}

TEST_F(TransportTest, APauseRightAfterAResumeIsAcknowledgedAgain) {
  CVodeThreadInterface& reader = OpenLink().ThreadInterface();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(reader.PauseThread()) << i;
    reader.ResumeThread();  // the reader may not have seen this before the next request
  }
  EXPECT_FALSE(
      capture_->HasPrefix("CVodeThreadInterface::PauseThread - Thread Pause event ack failed"));
}

TEST_F(TransportTest, TheNullPortOpensWithoutADeviceAndSendsNothing) {
  ContextTransport& link = OpenLink(CVodeThreadInterface::kNullPort);
  EXPECT_TRUE(link.AlwaysConnected());
  EXPECT_FALSE(Exchange({0x00}));
  EXPECT_TRUE(capture_->Has("Send Sync skipped for NULL port"));
  EXPECT_TRUE(device_->RawReceived().empty());
}

TEST_F(TransportTest, ClosingEndsTheReaderAndTheLogAndALaterRequestReopens) {
  ContextTransport& link = OpenLink();
  EXPECT_TRUE(link.ClosePort());
  EXPECT_FALSE(link.ThreadInterface().ThreadStarted());
  for (const char* line : {"CVodeThreadInterface::StopThread - thread stop event was received",
                           "VODE Internal: ClosePort()", "VODE_StopLogging()"}) {
    EXPECT_TRUE(capture_->Has(line)) << line;
  }
  CSerialPort other(clock_);
  EXPECT_EQ(other.Open(kComNumber), 1);  // the port was given back
  other.Close();
  capture_->Clear();
  EXPECT_TRUE(link.ThreadInterface().PauseThread());
  EXPECT_TRUE(link.ThreadInterface().StopThread());
  EXPECT_EQ(capture_->Texts(), std::vector<std::string>{
                                   "CVodeThreadInterface::PauseThread - thread is already paused"});
  ASSERT_TRUE(Exchange({0x00}));
  EXPECT_TRUE(link.ThreadInterface().ThreadStarted());
}

}  // namespace
}  // namespace transport_test
