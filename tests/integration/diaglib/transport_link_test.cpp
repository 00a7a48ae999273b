// The serial port, framing, reader thread, dispatcher and synchronous exchange against the
// virtual device over a real pseudo-terminal.
#include <algorithm>

#include "common/diag_frame.hpp"
#include "diaglib/transport/hdlc_deframer.hpp"
#include "diaglib/transport/prot_ahdlc.hpp"
#include "diaglib/transport/serial_port.hpp"
#include "transport_fixture.hpp"

namespace transport_test {
namespace {

TEST_F(TransportTest, VersionRequestLeavesAsItsFrameAndTheReplyIsDeliveredOnce) {
  CSerialPort serial(clock_);
  CProtAHDLC ahdlc(clock_);
  ASSERT_EQ(serial.Open(kComNumber), 1);
  ASSERT_TRUE(ahdlc.SetPort(&serial));
  std::vector<Bytes> packets;
  HdlcDeframer deframer([&packets](int size, const uint8_t* bytes) { packets.emplace_back(bytes, bytes + size); });

  const uint8_t version = 0x00;
  ASSERT_EQ(ahdlc.Send(&version, 1, 4000, 0), 1);
  ASSERT_TRUE(Eventually([&] { return device_->RawReceived().size() >= 4; }));
  EXPECT_EQ(device_->RawReceived(), (Bytes{0x00, 0x78, 0xF0, 0x7E}));

  Bytes buffer(40960);
  ASSERT_TRUE(Eventually([&] {
    serial.WaitReadable(10);
    int length = static_cast<int>(buffer.size());
    if (ahdlc.Receive(buffer.data(), &length, 0)) deframer.DeframeChunk(buffer.data(), length);
    return !packets.empty();
  }));
  for (int i = 0; i < 5; ++i) {
    int length = static_cast<int>(buffer.size());
    if (serial.WaitReadable(10) && ahdlc.Receive(buffer.data(), &length, 0)) {
      deframer.DeframeChunk(buffer.data(), length);
    }
  }
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0][0], 0x00);
  EXPECT_TRUE(common::CrcResidueGood(packets[0].data(), packets[0].size()));
}

TEST_F(TransportTest, ResponseLengthLeavesOutTheCrcAndIsCutToTheCapacity) {
  DiagLink& link = MakeLink();
  AsyncSeen::Clear();
  link.SetAsyncMessageCallBack(&AsyncSeen::OnMessage, 5);
  ASSERT_TRUE(link.OpenPort());
  Bytes response;
  ASSERT_TRUE(Exchange({0x00}, &response));
  ASSERT_EQ(AsyncSeen::Snapshot().size(), 1u);
  const Bytes frame = AsyncSeen::Snapshot()[0];
  EXPECT_EQ(response_length_, frame.size() - 2);
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), response.begin()));

  ASSERT_TRUE(Exchange({0x00}, &response, 10));
  EXPECT_EQ(response_length_, 10);
  EXPECT_EQ(response[0], 0x00);
  const std::vector<std::string> texts = capture_->Texts();
  EXPECT_TRUE(capture_->HasPrefix("SEND (1 bytes):00 "));
  EXPECT_TRUE(capture_->HasPrefix("SYNC REC (" + std::to_string(frame.size()) + " bytes): 00 "));
  EXPECT_TRUE(capture_->HasPrefix("SYNC REC--listener--(" + std::to_string(frame.size()) + " bytes): 00 "));
  EXPECT_TRUE(capture_->Has("CVodeThreadInterface::SendSync = result = 1"));
}

TEST_F(TransportTest, AnErrorResponseFailsAtOnceAndLeavesThePortOpen) {
  DiagLink& link = MakeLink();
  ASSERT_TRUE(link.OpenPort());
  device_->ErrorResponses(1, 0x13);
  const uint64_t before = clock_.NowMs();
  Bytes response;
  EXPECT_FALSE(Exchange({0x4B, 0x13, 0x0B, 0x00}, &response));
  EXPECT_LT(clock_.NowMs() - before, 4000u);
  EXPECT_EQ(response[0], 0x13);
  EXPECT_TRUE(link.IsConnected());
  const int different = capture_->Find("Received different response command byte (0x13)than was requested (0x4B)");
  ASSERT_GE(different, 0);
  const int failed = capture_->Find("Error. Send Sync Read failed.", different);
  ASSERT_GT(failed, different);
  EXPECT_GT(capture_->Find("ERROR:\tDIAG_BAD_CMD_F (19) received, bad command", failed), failed);
  EXPECT_FALSE(capture_->HasPrefix("Port close request."));
}

TEST_F(TransportTest, ATimeOutClosesThePortAndTheNextRequestReopensIt) {
  DiagLink& link = MakeLink();
  ASSERT_TRUE(link.OpenPort());
  device_->DropResponses(1);
  const uint64_t before = clock_.NowMs();
  Bytes response;
  EXPECT_FALSE(Exchange({0x00}, &response));
  EXPECT_GE(clock_.NowMs() - before, 4000u);
  EXPECT_FALSE(link.IsConnected());
  EXPECT_TRUE(capture_->Has("Port close request.  Connected = 1, User Defined Transport = 0"));
  EXPECT_TRUE(capture_->Has("Error. Send Sync Read failed."));

  capture_->Clear();
  ASSERT_TRUE(Exchange({0x00}, &response));
  EXPECT_TRUE(link.IsConnected());
  const std::vector<std::string> expected = {
      "Port open request, first close port",
      "Port close request.  Connected = 0, User Defined Transport = 0",
      "Port close was not issued because connected flag not set or user defined transport is being used",
      "Port open request, proceed with open"};
  int at = 0;
  for (const std::string& line : expected) {
    const int found = capture_->Find(line, at);
    ASSERT_GE(found, at) << line;
    at = found + 1;
  }
  EXPECT_GT(capture_->Find("SEND (1 bytes):00 "), at - 1);
}

TEST_F(TransportTest, OnlyEventReportsWithoutLengthReachTheResponseQueue) {
  DiagLink& link = MakeLink();
  AsyncSeen::Clear();
  link.SetAsyncMessageCallBack(&AsyncSeen::OnMessage, 5);
  ASSERT_TRUE(link.OpenPort());
  device_->SendUnsolicited({0x60, 0x02, 0x00, 0x11, 0x22});
  ASSERT_TRUE(Eventually([] { return AsyncSeen::Snapshot().size() == 1; }));
  EXPECT_TRUE(link.SyncResponseQueue().IsEmpty());
  device_->SendUnsolicited({0x60, 0x00, 0x00});
  ASSERT_TRUE(Eventually([&] { return link.SyncResponseQueue().Count() == 1; }));
  EXPECT_EQ(AsyncSeen::Snapshot().size(), 2u);
}

TEST_F(TransportTest, ALogPacketNeverSatisfiesARequestButTheCallbackSeesEverything) {
  DiagLink& link = MakeLink();
  AsyncSeen::Clear();
  link.SetAsyncMessageCallBack(&AsyncSeen::OnMessage, 5);
  ASSERT_TRUE(link.OpenPort());
  device_->UnsolicitedBeforeResponses(1, {0x10, 0x00, 0x04, 0x00, 0x99, 0x99});
  Bytes response;
  EXPECT_FALSE(Exchange({0x10, 0x00}, &response));
  EXPECT_NE(response[0], 0x10);

  AsyncSeen::Clear();
  device_->UnsolicitedBeforeResponses(1, {0x79, 0x01, 0x02});
  ASSERT_TRUE(Exchange({0x00}, &response));
  ASSERT_TRUE(Eventually([] { return AsyncSeen::Snapshot().size() == 2; }));
  EXPECT_EQ(AsyncSeen::Snapshot()[0][0], 0x79);
  EXPECT_EQ(AsyncSeen::Snapshot()[1][0], 0x00);
}

TEST_F(TransportTest, AFlushBetweenTwoHalvesOfAFrameDropsTheFirstHalf) {
  DiagLink& link = MakeLink();
  ASSERT_TRUE(link.OpenPort());
  const Bytes packet = {0x7C, 0x01, 0x02, 0x03, 0x04, 0x05};
  Bytes frame(32);
  frame.resize(common::EncodeFrame(packet.data(), packet.size(), frame.data(), frame.size()));
  const Bytes first(frame.begin(), frame.begin() + 3);
  const Bytes rest(frame.begin() + 3, frame.end());

  device_->SendRaw(first);
  ASSERT_TRUE(Eventually([&] { return capture_->HasPrefix("THREAD READ (3 bytes): "); }));
  link.RequestRxFlush();
  device_->SendRaw(rest);
  ASSERT_TRUE(Eventually([&] { return capture_->HasPrefix("ERROR SYNC REC ("); }));
  EXPECT_TRUE(link.SyncResponseQueue().IsEmpty());

  // Without the flush the same halves make one packet.
  device_->SendRaw(first);
  ASSERT_TRUE(Eventually([&] { return capture_->Count("THREAD READ (3 bytes): 7C 01 02  ") == 2; }));
  device_->SendRaw(rest);
  ASSERT_TRUE(Eventually([&] { return link.SyncResponseQueue().Count() == 1; }));
}

TEST_F(TransportTest, TheNullPortOpensWithoutADeviceAndSendsNothing) {
  DiagLink& link = MakeLink(CVodeThreadInterface::kNullPort);
  EXPECT_TRUE(link.OpenPort());
  EXPECT_TRUE(link.AlwaysConnected());
  EXPECT_TRUE(link.IsConnected());
  Bytes response;
  EXPECT_FALSE(Exchange({0x00}, &response));
  EXPECT_TRUE(capture_->Has("Send Sync skipped for NULL port"));
  EXPECT_TRUE(device_->RawReceived().empty());
}

TEST_F(TransportTest, ClosingEndsTheReaderStopsTheLogAndFreesThePort) {
  DiagLink& link = MakeLink();
  ASSERT_TRUE(link.OpenPort());
  EXPECT_TRUE(link.ThreadInterface().ThreadStarted());
  EXPECT_TRUE(link.ClosePort());
  EXPECT_FALSE(link.IsConnected());
  EXPECT_FALSE(link.ThreadInterface().ThreadStarted());
  EXPECT_TRUE(capture_->Has("CVodeThreadInterface::StopThread - thread stop event was received"));
  EXPECT_TRUE(capture_->Has("VODE Internal: ClosePort()"));
  EXPECT_TRUE(capture_->Has("VODE_StopLogging()"));
  CSerialPort other(clock_);
  EXPECT_EQ(other.Open(kComNumber), 1);
  other.Close();

  capture_->Clear();
  EXPECT_TRUE(link.ThreadInterface().PauseThread());
  EXPECT_EQ(capture_->Texts(), (std::vector<std::string>{"CVodeThreadInterface::PauseThread - thread is already paused"}));
  capture_->Clear();
  EXPECT_TRUE(link.ThreadInterface().StopThread());
  EXPECT_TRUE(capture_->Lines().empty());

  Bytes response;
  ASSERT_TRUE(Exchange({0x00}, &response));  // a later request opens it again
  EXPECT_TRUE(link.ThreadInterface().ThreadStarted());
}

TEST_F(TransportTest, AMissingPortLeavesTheReaderPausedAndRequestsFail) {
  DiagLink& link = MakeLink(kComNumber + 1);
  EXPECT_FALSE(link.OpenPort());
  EXPECT_TRUE(link.ThreadInterface().ThreadStarted());
  EXPECT_TRUE(link.ThreadInterface().IsPaused());
  Bytes response;
  EXPECT_FALSE(Exchange({0x00}, &response));
  EXPECT_EQ(response[0], 0x00);
}

}  // namespace
}  // namespace transport_test
