#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "command_fake_session.hpp"
#include "diaglib/commands/efs_directory.hpp"
#include "diaglib/commands/efs_file_write.hpp"
#include "diaglib/commands/reply_ledger.hpp"
#include "diaglib/commands/wire_fields.hpp"

namespace {

using diaglib_test::Bytes;
using diaglib_test::FakeSession;

uint16_t Command(const Bytes& request) {
  return static_cast<uint16_t>(request[2] | (request[3] << 8));
}

// The request's header, then 32-bit fields at the given offsets.
Bytes Reply(const Bytes& request, size_t length, std::vector<std::pair<size_t, uint32_t>> fields) {
  Bytes reply(length, 0);
  std::copy(request.begin(), request.begin() + 4, reply.begin());
  for (const auto& [at, value] : fields) diaglib::PutU32(reply.data() + at, value);
  return reply;
}

// A folder holding `names`, listed with read replies that carry `read_handle`.
void Folder(FakeSession& session, std::vector<std::string> names, uint32_t read_handle = 5) {
  session.responder = [=](const Bytes& request, Bytes* response) {
    if (Command(request) == 12) {
      const uint32_t sequence = diaglib::GetU32(request.data() + 8);
      *response = Reply(request, 40, {{4, read_handle}, {8, sequence}, {24, 100 + sequence}});
      if (sequence <= names.size())
        response->insert(response->end(), names[sequence - 1].begin(), names[sequence - 1].end());
      response->push_back(0);
    } else {
      *response = Command(request) == 11 ? Reply(request, 12, {{4, 5}}) : Reply(request, 8, {});
    }
    return true;
  };
}

std::vector<std::string>& Seen() {
  static std::vector<std::string> seen;
  return seen;
}
bool Record(const char* path, uint8_t type, uint16_t, uint8_t, uint8_t, int, int size,
            int context) {
  Seen().push_back(std::string(path) + "|" + std::to_string(type) + "|" + std::to_string(size) +
                   "|" + std::to_string(context));
  return true;
}

TEST(EfsListingTest, EntryNamesJoinTheFolderPathAsGiven) {
  struct Case {
    const char *folder, *entry, *expected, *request_path;
  };
  for (const Case& c :
       {Case{"", "x", "/x|1|101|42", "/"}, Case{"abc/", "x", "abc//x|1|101|42", "abc/"},
        Case{"abc", "/x", "abc/x|1|101|42", "abc"}}) {
    FakeSession session;
    Folder(session, {c.entry});
    session.directory = &Record;
    Seen().clear();
    EXPECT_TRUE(diaglib::EfsDirectory(session, c.folder));
    EXPECT_EQ(Seen(), (std::vector<std::string>{c.expected}));
    ASSERT_EQ(session.requests.size(), 4u);  // open, reads 1 and 2, close
    EXPECT_STREQ(reinterpret_cast<const char*>(session.requests[0].data() + 4), c.request_path);
    EXPECT_EQ(diaglib::GetU32(session.requests[2].data() + 8), 2u);
  }
}

TEST(EfsListingTest, HandleZeroRefusesAndOverlongPathsFailTheListing) {
  FakeSession zero;
  Folder(zero, {"a"}, 0);
  zero.directory = &Record;
  Seen().clear();
  EXPECT_FALSE(diaglib::EfsDirectory(zero, "f"));
  EXPECT_EQ(zero.requests.size(), 6u);  // open, five refused reads, no close
  EXPECT_TRUE(FakeSession::Logged("VODE_EfsDirectory( sFolderPath = f ) - Failed"));

  // 100 + "/" + 30 characters fit the 132-byte record; one more does not.
  const std::string folder(100, 'd');
  for (size_t length : {30u, 31u}) {
    FakeSession session;
    Folder(session, {"ok", std::string(length, 'n')});
    session.directory = &Record;
    EXPECT_EQ(diaglib::EfsDirectory(session, folder.c_str()), length == 30);
    EXPECT_EQ(Command(session.requests.back()), 13) << "the folder is closed either way";
  }
  EXPECT_EQ(Seen().size(), 2u);
}

TEST(EfsLimitTest, OverlongRequestsAreNeverSent) {
  FakeSession session;
  session.responder = [](const Bytes& request, Bytes* response) {
    *response = Reply(request, 48, {});
    return true;
  };
  EXPECT_TRUE(diaglib::EfsMakeDirectory(session, std::string(249, 'm').c_str()));
  EXPECT_EQ(session.requests.back().size(), 256u);
  EXPECT_FALSE(diaglib::EfsMakeDirectory(session, std::string(250, 'm').c_str()));
  EXPECT_FALSE(diaglib::EfsDirectory(session, std::string(252, 'l').c_str()));
  EXPECT_FALSE(diaglib::EfsWriteFile(session, std::string(261, 'p').c_str(), "x"));
  EXPECT_EQ(session.requests.size(), 1u);
  // The open request of a 243-character path is 256 bytes; one more character and it is not sent.
  std::ofstream("efs_limit.bin") << "12345";
  session.responder = [](const Bytes& request, Bytes* response) {
    *response = Reply(request, 48, {{20, 512}, {28, 100}});
    return Command(request) != 2;
  };
  for (size_t length : {243u, 244u}) {
    session.requests.clear();
    EXPECT_FALSE(diaglib::EfsWriteFile(session, "efs_limit.bin", std::string(length, 'o').c_str()));
    EXPECT_EQ(std::count_if(session.requests.begin(), session.requests.end(),
                            [](const Bytes& r) { return Command(r) == 2; }),
              length == 243 ? 5 : 0);
    EXPECT_TRUE(
        FakeSession::Logged("EFS2FileOpen() failed to open file " + std::string(length, 'o')));
  }
  std::remove("efs_limit.bin");
}

// A device that stores every write whole; `on_write` runs as each write request arrives.
void WritableDevice(FakeSession& session, std::function<void()> on_write = nullptr) {
  session.responder = [on_write](const Bytes& request, Bytes* response) {
    switch (Command(request)) {
      case 19:
        *response = Reply(request, 48, {{20, 512}, {28, 100}});
        break;
      case 2:
        *response = Reply(request, 12, {{4, 3}});
        break;
      case 5:  // echoes the descriptor and offset it was sent
        if (on_write) on_write();
        *response = Reply(request, 20,
                          {{4, diaglib::GetU32(request.data() + 4)},
                           {8, diaglib::GetU32(request.data() + 8)},
                           {12, static_cast<uint32_t>(request.size() - 12)}});
        break;
      default:
        *response = Reply(request, 8, {});
    }
    return true;
  };
}

TEST(EfsWriteTest, OnlyRegularFilesAreUploaded) {
  char pattern[] = "/tmp/efs-write-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  std::ofstream(dir + "/file") << "12345";
  ASSERT_EQ(symlink("file", (dir + "/link").c_str()), 0);
  ASSERT_EQ(mkdir((dir + "/folder").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", (dir + "/zero").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir + "/dangling").c_str()), 0);

  const struct {
    const char* name;
    bool regular;
  } cases[] = {
      {"link", true}, {"folder", false}, {"pipe", false}, {"zero", false}, {"dangling", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSession session;
    WritableDevice(session);
    const std::string local = dir + "/" + c.name;
    EXPECT_EQ(diaglib::EfsWriteFile(session, local.c_str(), "cfg/x"), c.regular);
    if (c.regular) {
      ASSERT_EQ(session.requests.size(), 4u);
      EXPECT_EQ(std::string(session.requests[2].begin() + 12, session.requests[2].end()), "12345")
          << "the link's target is what is written";
    } else {
      EXPECT_TRUE(session.requests.empty()) << "nothing is opened on the device";
      EXPECT_TRUE(FakeSession::Logged("VODE_EfsWrite() - " + local + " is not a regular file"));
      EXPECT_TRUE(FakeSession::Logged("VODE_EfsWrite() - FAIL"));
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(EfsWriteTest, AFileThatShrinksWhileItIsSentFails) {
  // Larger than what the stream reads ahead, so the cut is seen.
  std::ofstream("efs_shrinks.bin") << std::string(40000, 'a');
  FakeSession session;
  WritableDevice(session, [] { std::filesystem::resize_file("efs_shrinks.bin", 100); });
  EXPECT_FALSE(diaglib::EfsWriteFile(session, "efs_shrinks.bin", "cfg/x"));
  EXPECT_TRUE(FakeSession::Logged("EFS2WriteEntireFile() failed"));
  std::remove("efs_shrinks.bin");
}

// What the ledger makes of packets set aside around a settled request: only a packet that
// came after the request was settled, repeats its echoed bytes and differs from the answer
// taken shows that the answer was another request's.
TEST(ReplyLedgerTest, OnlyAnotherAnswerToASettledRequestBreaksTrust) {
  const Bytes request = {0x4B, 0x13, 0x05, 0x00, 3, 0, 0, 0, 0, 0, 0, 0, 'x'};
  const Bytes answer = {0x4B, 0x13, 0x05, 0x00, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  Bytes refused = answer;
  refused[12] = refused[13] = refused[14] = refused[15] = 0xFF;
  refused[16] = 5;
  Bytes other_offset = refused;
  other_offset[8] = 2;
  const struct {
    const char* name;
    std::vector<Bytes> before, after;
    bool consistent;
  } cases[] = {
      {"nothing set aside", {}, {}, true},
      {"a copy of the answer taken", {}, {answer}, true},
      {"another answer with the same echo", {}, {refused}, false},
      {"that answer, but before the request was settled", {refused}, {}, true},
      {"an answer to another offset", {}, {other_offset}, true},
      {"a log packet", {}, {{0x10, 0, 2, 0, 1, 2}}, true},
  };
  for (const auto& c : cases) {
    diaglib::ReplyLedger ledger;
    ledger.Begin();
    for (const Bytes& packet : c.before) ledger.Put(packet.data(), uint16_t(packet.size()));
    ledger.Settle(request.data(), 12, answer.data(), uint16_t(answer.size()));
    for (const Bytes& packet : c.after) ledger.Put(packet.data(), uint16_t(packet.size()));
    EXPECT_EQ(ledger.Consistent(), c.consistent) << c.name;
    ledger.Begin();
    EXPECT_TRUE(ledger.Consistent()) << c.name << ": a new operation starts clean";
  }
  diaglib::ReplyLedger flooded;
  for (size_t i = 0; i <= diaglib::ReplyLedger::kMostSetAside; ++i) flooded.Put(answer.data(), 4);
  EXPECT_FALSE(flooded.Consistent()) << "more strays than it keeps cannot be told apart";
}

// The true answer to a write turns up before the marker, after another answer was taken for
// it: the write is made once more from the open, and fails when that pass is not trusted either.
TEST(EfsWriteTest, AWriteAnsweredByAnotherRequestsAnswerIsWrittenAgainOnce) {
  std::ofstream("efs_stray.bin") << "12345";
  for (int untrusted_passes : {0, 1, 2}) {
    SCOPED_TRACE(untrusted_passes);
    FakeSession session;
    WritableDevice(session);
    // At the marker after a pass (its close the last request), the device's own answer to the
    // pass's write turns up: refused.
    session.before_marker = [&]() -> std::vector<Bytes> {
      const auto closes = std::count_if(session.requests.begin(), session.requests.end(),
                                        [](const Bytes& r) { return Command(r) == 3; });
      if (session.requests.empty() || Command(session.requests.back()) != 3 ||
          closes > untrusted_passes) {
        return {};
      }
      const Bytes& write = session.requests[session.requests.size() - 2];
      return {Reply(write, 20, {{4, 3}, {12, 0xFFFFFFFF}, {16, 5}})};
    };
    EXPECT_EQ(diaglib::EfsWriteFile(session, "efs_stray.bin", "cfg/x"), untrusted_passes < 2);
    const size_t passes = untrusted_passes < 2 ? untrusted_passes + 1 : 2;
    EXPECT_EQ(session.requests.size(), 4 * passes) << "status, open, write, close per pass";
    // One marker after each pass, and one before the next pass, the line being disturbed.
    EXPECT_EQ(session.markers.size(), passes + (passes - 1));
    for (const Bytes& marker : session.markers) {
      ASSERT_EQ(marker.size(), 8u);
      EXPECT_EQ(marker[0], 0x7B);
    }
    for (size_t i = 1; i < session.markers.size(); ++i) {
      EXPECT_NE(session.markers[i - 1], session.markers[i]) << "each marker is numbered anew";
    }
  }
  std::remove("efs_stray.bin");
}

}  // namespace
