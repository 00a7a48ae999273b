#include <gtest/gtest.h>

#include <cstring>

#include "command_fake_session.hpp"
#include "diaglib/commands/core_commands.hpp"

namespace {

using diaglib_test::Bytes;
using diaglib_test::FakeSession;

// Echoes the loopback through `edit` and answers the version request with `version`.
void Phone(FakeSession& session, std::function<void(Bytes*)> edit, Bytes version = Bytes(55, 0)) {
  session.responder = [=](const Bytes& request, Bytes* response) {
    *response = request[0] == 0x7B ? request : version;
    if (request[0] == 0x7B && edit) edit(response);
    return true;
  };
}

TEST(PresencePingTest, EchoMustMatchBeforeTheVersionRequestIsSent) {
  FakeSession good;
  Phone(good, nullptr);
  EXPECT_TRUE(diaglib::IsPhoneConnected(good));
  EXPECT_EQ(good.requests, (std::vector<Bytes>{{0x7B, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {0x00}}));
  EXPECT_EQ(good.timeouts_used, (std::vector<int>{80, 80}));

  std::vector<std::function<void(Bytes*)>> bad_echoes = {[](Bytes* r) { r->pop_back(); },
                                                         [](Bytes* r) { r->push_back(10); }};
  for (size_t at = 2; at <= 10; ++at) bad_echoes.push_back([at](Bytes* r) { (*r)[at] ^= 0x40; });
  for (const auto& edit : bad_echoes) {
    FakeSession session;
    Phone(session, edit);
    EXPECT_FALSE(diaglib::IsPhoneConnected(session));
    EXPECT_EQ(session.requests.size(), 1u);
  }
  FakeSession one_byte_version;
  Phone(
      one_byte_version, [](Bytes* r) { (*r)[1] = 0x55; }, Bytes{0x00});  // byte 1 is not checked
  EXPECT_FALSE(diaglib::IsPhoneConnected(one_byte_version));
  EXPECT_EQ(one_byte_version.requests.size(), 2u);
}

TEST(ModeControlTest, ReadBackDecidesAndShortStateRepliesMatchNoMode) {
  // The mode request goes unanswered, the first poll already shows offline.
  for (const auto& [length, expected] : {std::pair<size_t, bool>{16, true}, {8, false}}) {
    FakeSession session;
    session.responder = [length = length](const Bytes& request, Bytes* response) {
      if (request[0] != 0x4B) return false;
      *response = Bytes(length, 0);
      std::copy(request.begin(), request.end(), response->begin());
      if (length > 8) (*response)[8] = 3;
      return true;
    };
    EXPECT_EQ(diaglib::ControlPhoneMode(session, 0), expected) << length;
    uint32_t mode = 77;
    EXPECT_TRUE(diaglib::GetPhoneOperatingMode(session, &mode));
    EXPECT_EQ(mode, expected ? 3u : 77u);
  }
  FakeSession zero_delay;
  zero_delay.timeouts[13] = 0;
  EXPECT_FALSE(diaglib::ControlPhoneMode(zero_delay, 1));
  EXPECT_TRUE(
      FakeSession::Logged("VODE_DIAG_CONTROL_F() -- post-OFFLINE-mode-switch delay is zero."));
  EXPECT_EQ(zero_delay.test_clock().Pauses(), (std::vector<uint32_t>{100, 100, 100, 100, 100}));
}

TEST(VersionTest, CopiesFiftyFourOrMoreBytesButNeverPastTheRecord) {
  for (size_t length : {53u, 54u, 80u}) {
    FakeSession session;
    session.responder = [length](const Bytes&, Bytes* response) {
      response->resize(length);
      for (size_t i = 0; i < length; ++i) (*response)[i] = static_cast<uint8_t>(i);
      return true;
    };
    uint8_t record[diaglib::kVersionRecordSize + 8];
    std::memset(record, 0xEE, sizeof(record));
    size_t copied = 99;
    EXPECT_TRUE(diaglib::ReadVersion(session, record, &copied));
    EXPECT_EQ(copied, length < 54 ? 0u : std::min<size_t>(length, 55));
    for (size_t i = 0; i < sizeof(record); ++i) {
      ASSERT_EQ(record[i], i < copied ? i : 0xEE) << length << " " << i;
    }
  }
}

TEST(ExtBuildIdTest, StringsAreBoundedByTheResponseAndTheBuffers) {
  struct Case {
    std::string tail;
    size_t revision_size, model_size;
    const char *revision, *model;
  };
  const Case cases[] = {{std::string("REV-1\0MODEL-X\0", 14), 32, 32, "REV-1", "MODEL-X"},
                        {std::string("REV-1\0MODEL-X\0", 14), 4, 3, "REV", "MO"},
                        {"NO-TERMINATOR", 32, 32, "NO-TERMINATOR", ""},
                        {std::string("R\0MODEL", 7), 32, 32, "R", "MODEL"}};
  for (const Case& c : cases) {
    FakeSession session;
    session.responder = [&c](const Bytes&, Bytes* response) {
      *response = {0x7C, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0x9C, 0, 0, 0};
      response->insert(response->end(), c.tail.begin(), c.tail.end());
      return true;
    };
    // What the packet holds behind the response must never show up in the outputs.
    std::memset(session.Packet().Reply().bytes, 'Z', diaglib::CommandPacket::kCapacity);
    char revision[64], model[64];
    std::memset(revision, 'x', sizeof(revision));
    std::memset(model, 'x', sizeof(model));
    uint32_t chip = 0, mobile = 0;
    ASSERT_TRUE(diaglib::ReadExtBuildId(session, &chip, &mobile, revision, c.revision_size, model,
                                        c.model_size));
    EXPECT_STREQ(revision, c.revision);
    EXPECT_STREQ(model, c.model);
    EXPECT_EQ(revision[c.revision_size], 'x');
    EXPECT_EQ(model[c.model_size], 'x');
    EXPECT_EQ(chip, 0x12345678u);
    EXPECT_EQ(mobile, 0x9Cu);
  }
}

TEST(NvReadTest, RequestCarriesTheCallersBytesAndAShortReplyFails) {
  FakeSession session;
  Bytes answer = {0x26, 0xC5, 0x01, 0x01, 0x00, 0x00};
  session.responder = [&answer](const Bytes&, Bytes* response) {
    *response = answer;
    return true;
  };
  uint8_t data[1] = {0x33};
  uint16_t status = 0x0102;
  EXPECT_TRUE(diaglib::ReadNvItem(session, 453, data, 1, &status));
  EXPECT_EQ(session.requests[0], (Bytes{0x26, 0xC5, 0x01, 0x33, 0x02, 0x01}));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(data[0], 0x01);
  answer.pop_back();
  EXPECT_FALSE(diaglib::ReadNvItem(session, 453, data, 1, &status));
  // A late answer about another item is never this item's value.
  answer = {0x26, 0xC6, 0x01, 0x77, 0x00, 0x00};
  data[0] = 0x33;
  EXPECT_FALSE(diaglib::ReadNvItem(session, 453, data, 1, &status));
  EXPECT_EQ(data[0], 0x33);
}

}  // namespace
