#include <gtest/gtest.h>

#include <cstring>

#include "command_fake_session.hpp"
#include "diaglib/commands/command_packet.hpp"
#include "diaglib/commands/core_commands.hpp"

namespace {

using diaglib::CommandPacket;
using diaglib_test::Bytes;
using diaglib_test::FakeSession;

TEST(CommandPacketTest, AppendsStopAtTheCapacityAndTakesFromTheEnd) {
  CommandPacket packet;
  for (int i = 0; i < 6142; ++i) packet.AppendByte(1);
  packet.AppendU16(0x0302);  // 6142 is not below 6142: dropped
  EXPECT_EQ(packet.RequestLength(), 6142);
  packet.AppendByte(7);
  EXPECT_EQ(packet.RequestLength(), 6143);
  packet.AppendByte(8);  // 6143 is not below 6143: dropped
  EXPECT_EQ(packet.RequestLength(), 6143);
  EXPECT_EQ(packet.Request()[6142], 7);

  packet.Reset();
  EXPECT_EQ(packet.RequestLength(), 0);
  EXPECT_EQ(packet.Request()[0], 0xAA);
  EXPECT_EQ(packet.Response()[0], 0xBB);
  EXPECT_EQ(packet.ResponseLength(), CommandPacket::kCapacity);
  const uint8_t three[] = {1, 2, 3};
  packet.AppendBytes(three, 3);
  packet.AppendU16(0xBEEF);
  EXPECT_EQ(Bytes(packet.Request(), packet.Request() + packet.RequestLength()),
            (Bytes{1, 2, 3, 0xEF, 0xBE}));

  packet.Response()[0] = 0x11;
  packet.Response()[1] = 0x34;
  packet.Response()[2] = 0x12;
  packet.ResponseLength() = 3;
  uint16_t value = 0;
  ASSERT_TRUE(packet.TakeU16FromEnd(&value));
  EXPECT_EQ(value, 0x1234);
  EXPECT_FALSE(packet.TakeU16FromEnd(&value));  // one byte left
  uint8_t byte = 0;
  ASSERT_TRUE(packet.TakeByteFromEnd(&byte));
  EXPECT_EQ(byte, 0x11);
  packet.ResponseLength() = 0;
  packet.Reset();
  packet.ResponseLength() = 0;
  EXPECT_FALSE(packet.TakeByteFromEnd(&byte));
}

// A phone that echoes the loopback and answers the version request; `edit` changes the echo.
void PhoneAnswers(FakeSession& session, std::function<void(Bytes*)> edit, Bytes version = Bytes(55, 0)) {
  session.responder = [edit, version](const Bytes& request, Bytes* response) {
    if (request[0] == 0x7B) {
      *response = request;
      if (edit) edit(response);
      return true;
    }
    if (request[0] == 0x00) {
      *response = version;
      return !version.empty();
    }
    return false;
  };
}

TEST(PresencePingTest, FullEchoThenVersionRequestWithThePingTimeOut) {
  FakeSession session;
  PhoneAnswers(session, nullptr);
  EXPECT_TRUE(diaglib::IsPhoneConnected(session));
  ASSERT_EQ(session.requests.size(), 2u);
  EXPECT_EQ(session.requests[0], (Bytes{0x7B, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(session.requests[1], (Bytes{0x00}));
  EXPECT_EQ(session.request_timeouts, (std::vector<int>{80, 80}));
}

TEST(PresencePingTest, BadEchoFailsWithoutTheVersionRequest) {
  for (size_t changed = 2; changed <= 10; ++changed) {
    FakeSession session;
    PhoneAnswers(session, [changed](Bytes* r) { (*r)[changed] ^= 0x40; });
    EXPECT_FALSE(diaglib::IsPhoneConnected(session)) << "byte " << changed;
    EXPECT_EQ(session.requests.size(), 1u) << "byte " << changed;
  }
  for (int extra : {-1, 1}) {
    FakeSession session;
    PhoneAnswers(session, [extra](Bytes* r) {
      if (extra < 0) r->pop_back(); else r->push_back(10);
    });
    EXPECT_FALSE(diaglib::IsPhoneConnected(session)) << "length change " << extra;
    EXPECT_EQ(session.requests.size(), 1u);
  }
  // Byte 1 is not part of the check.
  FakeSession session;
  PhoneAnswers(session, [](Bytes* r) { (*r)[1] = 0x55; });
  EXPECT_TRUE(diaglib::IsPhoneConnected(session));
}

TEST(PresencePingTest, VersionReplyMustBeLongerThanOneByte) {
  FakeSession one;
  PhoneAnswers(one, nullptr, Bytes{0x00});
  EXPECT_FALSE(diaglib::IsPhoneConnected(one));
  EXPECT_EQ(one.requests.size(), 2u);
  FakeSession two;
  PhoneAnswers(two, nullptr, Bytes{0x00, 0x01});
  EXPECT_TRUE(diaglib::IsPhoneConnected(two));
}

TEST(PresencePingTest, NullPortAndClosedPort) {
  FakeSession null_port;
  null_port.always_connected = true;
  EXPECT_TRUE(diaglib::IsPhoneConnected(null_port));
  EXPECT_TRUE(null_port.requests.empty());

  FakeSession closed;
  closed.port_open = false;
  PhoneAnswers(closed, nullptr);
  EXPECT_FALSE(diaglib::IsPhoneConnected(closed));
  EXPECT_EQ(closed.open_calls, 1);
  EXPECT_TRUE(closed.requests.empty());
  EXPECT_EQ(closed.test_clock().Pauses(), (std::vector<uint32_t>{1}));
}

// A phone whose operating mode is `reported` (0 = do not answer the state request) and which
// answers the mode request when `answers_switch`.
void ModePhone(FakeSession& session, int reported, bool answers_switch, size_t state_length = 16) {
  session.responder = [=](const Bytes& request, Bytes* response) {
    if (request[0] == 0x29) {
      *response = request;
      return answers_switch;
    }
    if (request[0] == 0x4B && request[1] == 0x0F) {
      if (reported == 0) return false;
      *response = Bytes(state_length, 0);
      std::copy(request.begin(), request.end(), response->begin());
      if (state_length > 8) (*response)[8] = static_cast<uint8_t>(reported);
      return true;
    }
    return false;
  };
}

TEST(ModeControlTest, OnlyTheLowFourBitsAreSent) {
  FakeSession session;
  ModePhone(session, 2, true);
  EXPECT_TRUE(diaglib::ControlPhoneMode(session, 0x11));
  ASSERT_FALSE(session.requests.empty());
  EXPECT_EQ(session.requests[0], (Bytes{0x29, 0x01, 0x00}));
}

TEST(ModeControlTest, ResetHasNoDelayAndNoReadBack) {
  FakeSession answered;
  ModePhone(answered, 5, true);
  EXPECT_TRUE(diaglib::ControlPhoneMode(answered, 2));
  EXPECT_EQ(answered.requests, (std::vector<Bytes>{{0x29, 0x02, 0x00}}));
  EXPECT_TRUE(answered.test_clock().Pauses().empty());
  EXPECT_TRUE(FakeSession::Logged("DIAG_CONTROL_F -- no mode read back for eMode = 2"));

  FakeSession silent;
  ModePhone(silent, 5, false);
  EXPECT_FALSE(diaglib::ControlPhoneMode(silent, 2));
  EXPECT_EQ(silent.requests.size(), 1u);
}

TEST(ModeControlTest, OfflineSwitchToAPhoneStuckOnlineTimesOutAfterDelayAndPolling) {
  FakeSession session;
  ModePhone(session, 5, true);
  const uint64_t start = session.test_clock().NowMs();
  EXPECT_FALSE(diaglib::ControlPhoneMode(session, 1));
  EXPECT_EQ(session.test_clock().Pauses(), (std::vector<uint32_t>{3000, 100, 100, 100, 100, 100}));
  EXPECT_EQ(session.test_clock().NowMs() - start, 3500u);
  // One mode request, then six polls: at 0, 100, ..., 500 ms.
  EXPECT_EQ(session.requests.size(), 7u);
  EXPECT_TRUE(FakeSession::Logged(
      "DIAG_CONTROL_F -- mode switching status polling has timeout (time used = 500, total "
      "timeout = 500) ms."));
}

TEST(ModeControlTest, ReadBackDecidesEvenWhenTheSwitchWasNotAnswered) {
  for (int offline : {2, 3, 4}) {
    FakeSession session;
    ModePhone(session, offline, false);
    EXPECT_TRUE(diaglib::ControlPhoneMode(session, 0)) << offline;
    EXPECT_EQ(session.requests.size(), 2u);
  }
  FakeSession ftm;
  ModePhone(ftm, 1, true);
  EXPECT_TRUE(diaglib::ControlPhoneMode(ftm, 3));
  EXPECT_EQ(ftm.test_clock().Pauses(), (std::vector<uint32_t>{150}));
  FakeSession online;
  ModePhone(online, 5, true);
  EXPECT_TRUE(diaglib::ControlPhoneMode(online, 4));
  EXPECT_EQ(online.test_clock().Pauses(), (std::vector<uint32_t>{140}));
  FakeSession lpm;
  ModePhone(lpm, 6, true);
  EXPECT_TRUE(diaglib::ControlPhoneMode(lpm, 5));
  EXPECT_TRUE(lpm.test_clock().Pauses().empty());
}

TEST(ModeControlTest, ZeroDelayPollsAtOnce) {
  FakeSession session;
  session.timeouts[13] = 0;
  ModePhone(session, 3, true);
  EXPECT_TRUE(diaglib::ControlPhoneMode(session, 1));
  EXPECT_TRUE(session.test_clock().Pauses().empty());
  EXPECT_TRUE(FakeSession::Logged("VODE_DIAG_CONTROL_F() -- post-OFFLINE-mode-switch delay is zero."));
}

TEST(PhoneStateTest, ShortRepliesLeaveTheOutputs) {
  for (size_t length : {3u, 4u, 8u}) {
    FakeSession session;
    ModePhone(session, 2, true, length);
    uint32_t mode = 77;
    EXPECT_TRUE(diaglib::GetPhoneOperatingMode(session, &mode)) << length;
    EXPECT_EQ(mode, 77u) << length;
  }
  // Inside the read-back an unanswered-looking mode matches nothing.
  FakeSession short_poll;
  ModePhone(short_poll, 2, true, 3);
  EXPECT_FALSE(diaglib::ControlPhoneMode(short_poll, 1));

  FakeSession full;
  full.responder = [](const Bytes& request, Bytes* response) {
    *response = Bytes(16, 0);
    std::copy(request.begin(), request.end(), response->begin());
    (*response)[4] = 3;
    (*response)[8] = 5;
    (*response)[12] = 9;
    return true;
  };
  uint32_t call = 0, system = 0, mode = 0;
  EXPECT_TRUE(diaglib::GetPhoneCallState(full, &call, &system));
  EXPECT_TRUE(diaglib::GetPhoneOperatingMode(full, &mode));
  EXPECT_EQ(call, 3u);
  EXPECT_EQ(system, 9u);
  EXPECT_EQ(mode, 5u);
  EXPECT_EQ(full.requests[0], (Bytes{0x4B, 0x0F, 0x00, 0x00}));
}

void VersionReply(FakeSession& session, size_t length) {
  session.responder = [length](const Bytes&, Bytes* response) {
    response->resize(length);
    for (size_t i = 0; i < length; ++i) (*response)[i] = static_cast<uint8_t>(i);
    return true;
  };
}

TEST(VersionTest, CopiesFiftyFourOrMoreBytesButNeverPastTheRecord) {
  uint8_t record[diaglib::kVersionRecordSize + 8];
  for (size_t length : {53u, 54u, 55u, 80u}) {
    FakeSession session;
    VersionReply(session, length);
    std::memset(record, 0xEE, sizeof(record));
    size_t copied = 99;
    EXPECT_TRUE(diaglib::ReadVersion(session, record, &copied)) << length;
    const size_t expected = length < 54 ? 0 : (length > 55 ? 55 : length);
    EXPECT_EQ(copied, expected) << length;
    for (size_t i = 0; i < sizeof(record); ++i) {
      const uint8_t want = i < expected ? static_cast<uint8_t>(i) : 0xEE;
      ASSERT_EQ(record[i], want) << "length " << length << " byte " << i;
    }
  }
  FakeSession silent;
  size_t copied = 0;
  EXPECT_FALSE(diaglib::ReadVersion(silent, record, &copied));
  FakeSession no_output;
  VersionReply(no_output, 55);
  EXPECT_TRUE(diaglib::ReadVersion(no_output, nullptr, &copied));
  EXPECT_EQ(copied, 0u);
}

Bytes BuildIdReply(const std::string& tail) {
  Bytes reply = {0x7C, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0x9C, 0, 0, 0};
  reply.insert(reply.end(), tail.begin(), tail.end());
  return reply;
}

TEST(ExtBuildIdTest, StringsBoundedByResponseAndBuffers) {
  struct Case {
    Bytes reply;
    size_t revision_size, model_size;
    std::string revision, model;
    uint32_t chip, mobile;
  };
  const std::string both("REV-1\0MODEL-X\0", 14);
  const Case cases[] = {
      {BuildIdReply(both), 32, 32, "REV-1", "MODEL-X", 0x12345678, 0x9C},
      {BuildIdReply(both), 4, 3, "REV", "MO", 0x12345678, 0x9C},
      {BuildIdReply("NO-TERMINATOR"), 32, 32, "NO-TERMINATOR", "", 0x12345678, 0x9C},
      {BuildIdReply(std::string("R\0MODEL", 7)), 32, 32, "R", "MODEL", 0x12345678, 0x9C},
      {Bytes{0x7C, 0, 0, 0, 1, 0, 0, 0, 2}, 32, 32, "", "", 1, 7},
      {Bytes{0x7C}, 32, 32, "", "", 7, 7},
  };
  for (const Case& c : cases) {
    FakeSession session;
    session.responder = [&c](const Bytes&, Bytes* response) {
      *response = c.reply;
      return true;
    };
    // Whatever the packet holds behind the response must never show up in the outputs.
    std::memset(session.Packet().Response(), 'Z', diaglib::CommandPacket::kCapacity);
    char revision[64], model[64];
    std::memset(revision, 'x', sizeof(revision));
    std::memset(model, 'x', sizeof(model));
    uint32_t chip = 7, mobile = 7;
    ASSERT_TRUE(diaglib::ReadExtBuildId(session, &chip, &mobile, revision, c.revision_size, model,
                                        c.model_size));
    EXPECT_EQ(std::string(revision), c.revision);
    EXPECT_EQ(std::string(model), c.model);
    EXPECT_EQ(revision[c.revision_size], 'x');
    EXPECT_EQ(model[c.model_size], 'x');
    EXPECT_EQ(chip, c.chip);
    EXPECT_EQ(mobile, c.mobile);
  }
}

TEST(NvReadTest, RequestCarriesCallerBytesAndStatusIsTakenFromTheEnd) {
  FakeSession session;
  Bytes answer;
  session.responder = [&answer](const Bytes&, Bytes* response) {
    *response = answer;
    return true;
  };
  answer = {0x26, 0xC5, 0x01, 0x01, 0x05, 0x00};
  uint8_t data[1] = {0x33};
  uint16_t status = 0x0102;
  EXPECT_TRUE(diaglib::ReadNvItem(session, 453, data, 1, &status));
  EXPECT_EQ(session.requests[0], (Bytes{0x26, 0xC5, 0x01, 0x33, 0x02, 0x01}));
  EXPECT_EQ(status, 5);
  EXPECT_EQ(data[0], 0x33);

  answer = {0x26, 0xC5, 0x01, 0x01, 0x00, 0x00};
  EXPECT_TRUE(diaglib::ReadNvItem(session, 453, data, 1, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(data[0], 0x01);

  answer = {0x26, 0xC5, 0x01, 0x00, 0x00};  // shorter than the request
  status = 9;
  data[0] = 0x44;
  EXPECT_FALSE(diaglib::ReadNvItem(session, 453, data, 1, &status));
  EXPECT_EQ(status, 9);
  EXPECT_EQ(data[0], 0x44);
}

}  // namespace
