#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "command_fake_session.hpp"
#include "diaglib/commands/efs_directory.hpp"
#include "diaglib/commands/efs_file_write.hpp"
#include "diaglib/commands/efs_requests.hpp"
#include "diaglib/commands/wire_fields.hpp"

namespace {

using diaglib_test::Bytes;
using diaglib_test::FakeSession;

uint16_t Command(const Bytes& request) { return static_cast<uint16_t>(request[2] | (request[3] << 8)); }

// An EFS2 reply: the request's header, then 32-bit fields at the given offsets.
Bytes Reply(const Bytes& request, size_t length, std::vector<std::pair<size_t, uint32_t>> fields) {
  Bytes reply(length, 0);
  std::copy(request.begin(), request.begin() + 4, reply.begin());
  for (const auto& field : fields) diaglib::PutU32(reply.data() + field.first, field.second);
  return reply;
}

// A folder of the device with the given entry names, answering a listing.
struct FolderDevice {
  std::vector<std::string> names;
  uint32_t read_handle = 5;   // handle reported by the read replies
  int close_count = 0;

  bool operator()(const Bytes& request, Bytes* response) {
    switch (Command(request)) {
      case diaglib::kEfs2OpenDir:
        *response = Reply(request, 12, {{4, 5}, {8, 0}});
        return true;
      case diaglib::kEfs2ReadDir: {
        const uint32_t sequence = diaglib::GetU32(request.data() + 8);
        *response = Reply(request, 40, {{4, read_handle}, {12, 0}, {16, 0}, {24, 100 + sequence}});
        if (sequence <= names.size()) {
          const std::string& name = names[sequence - 1];
          response->insert(response->end(), name.begin(), name.end());
        }
        response->push_back(0);
        return true;
      }
      case diaglib::kEfs2CloseDir:
        ++close_count;
        *response = Reply(request, 8, {{4, 0}});
        return true;
      default:
        return false;
    }
  }
};

std::vector<std::string>& Seen() {
  static std::vector<std::string> seen;
  return seen;
}
bool RecordEntry(const char* path, uint8_t type, uint16_t, uint8_t, uint8_t, int, int size, int context) {
  Seen().push_back(std::string(path) + "|" + std::to_string(type) + "|" + std::to_string(size) +
                   "|" + std::to_string(context));
  return true;
}

TEST(EfsListingTest, NamesJoinTheFolderAsGiven) {
  struct Case {
    const char* folder;
    std::string entry;
    std::string expected;
    Bytes open_path;
  };
  const Case cases[] = {
      {"nv/item_files/modem/mmode", "a", "nv/item_files/modem/mmode/a|1|101|42",
       Bytes{'n', 'v', '/', 'i', 't', 'e', 'm', '_', 'f', 'i', 'l', 'e', 's', '/', 'm', 'o', 'd',
             'e', 'm', '/', 'm', 'm', 'o', 'd', 'e', 0}},
      {"", "x", "/x|1|101|42", Bytes{'/', 0}},
      {"abc/", "x", "abc//x|1|101|42", Bytes{'a', 'b', 'c', '/', 0}},
      {"abc", "/x", "abc/x|1|101|42", Bytes{'a', 'b', 'c', 0}},
  };
  for (const Case& c : cases) {
    FakeSession session;
    FolderDevice device;
    device.names = {c.entry};
    session.responder = std::ref(device);
    session.directory = &RecordEntry;
    Seen().clear();
    EXPECT_TRUE(diaglib::EfsDirectory(session, c.folder));
    EXPECT_EQ(Seen(), (std::vector<std::string>{c.expected}));
    ASSERT_EQ(session.requests.size(), 4u);
    EXPECT_EQ(Bytes(session.requests[0].begin() + 4, session.requests[0].end()), c.open_path);
    EXPECT_EQ(diaglib::GetU32(session.requests[1].data() + 8), 1u);
    EXPECT_EQ(diaglib::GetU32(session.requests[2].data() + 8), 2u);
    EXPECT_EQ(Command(session.requests[3]), diaglib::kEfs2CloseDir);
  }
}

TEST(EfsListingTest, EmptyFolderAndNoCallback) {
  FakeSession session;
  FolderDevice device;
  session.responder = std::ref(device);
  session.directory = &RecordEntry;
  Seen().clear();
  EXPECT_TRUE(diaglib::EfsDirectory(session, "empty"));
  EXPECT_TRUE(Seen().empty());
  EXPECT_EQ(session.requests.size(), 3u);  // open, read 1, close

  FakeSession quiet;
  FolderDevice two;
  two.names = {"a", "b"};
  quiet.responder = std::ref(two);
  EXPECT_TRUE(diaglib::EfsDirectory(quiet, "f"));
  for (const std::string& line : FakeSession::Lines()) {
    EXPECT_EQ(line.find(" EFS DIR - "), std::string::npos) << line;
  }
}

TEST(EfsListingTest, ReadReplyWithHandleZeroIsARefusal) {
  FakeSession session;
  FolderDevice device;
  device.names = {"a"};
  device.read_handle = 0;
  session.responder = std::ref(device);
  session.directory = &RecordEntry;
  Seen().clear();
  EXPECT_FALSE(diaglib::EfsDirectory(session, "f"));
  EXPECT_TRUE(Seen().empty());
  EXPECT_EQ(session.requests.size(), 6u);  // open, five reads, no close
  EXPECT_EQ(device.close_count, 0);
  EXPECT_TRUE(FakeSession::Logged("VODE_EfsDirectory( sFolderPath = f ) - Failed"));
}

TEST(EfsListingTest, EntryPathsThatDoNotFitTheirRecordFailTheListing) {
  const std::string folder(100, 'd');
  for (size_t name_length : {30u, 31u, 200u}) {
    FakeSession session;
    FolderDevice device;
    device.names = {"ok", std::string(name_length, 'n')};
    session.responder = std::ref(device);
    session.directory = &RecordEntry;
    Seen().clear();
    // 100 + "/" + 30 = 131 characters fit; one more does not.
    const bool fits = name_length == 30;
    EXPECT_EQ(diaglib::EfsDirectory(session, folder.c_str()), fits) << name_length;
    EXPECT_EQ(Seen().size(), fits ? 2u : 0u);
    EXPECT_EQ(device.close_count, 1) << "the folder is closed either way";
  }
}

TEST(EfsListingTest, NameWithoutTerminatorEndsWithTheResponse) {
  FakeSession session;
  int reads = 0;
  session.responder = [&reads](const Bytes& request, Bytes* response) {
    FolderDevice device;
    if (Command(request) == diaglib::kEfs2ReadDir && ++reads == 1) {
      *response = Reply(request, 40, {{4, 5}});
      response->insert(response->end(), {'a', 'b', 'c'});  // no terminator
      return true;
    }
    return device(request, response);
  };
  session.directory = &RecordEntry;
  Seen().clear();
  EXPECT_TRUE(diaglib::EfsDirectory(session, "f"));
  EXPECT_EQ(Seen(), (std::vector<std::string>{"f/abc|1|0|42"}));
}

TEST(EfsRemoveTest, OnlyAbsentOrRemovedEntriesCountAsSuccess) {
  struct Case {
    int32_t errnum;
    bool ok;
  };
  for (const Case c : {Case{0, true}, Case{2, true}, Case{39, false}, Case{13, false}, Case{-1, false}}) {
    for (bool folder : {true, false}) {
      FakeSession session;
      session.responder = [c](const Bytes& request, Bytes* response) {
        *response = Reply(request, 8, {{4, static_cast<uint32_t>(c.errnum)}});
        return true;
      };
      const bool result = folder ? diaglib::EfsRemoveDirectory(session, "ui/css")
                                 : diaglib::EfsRemoveFile(session, "DL_Processing");
      EXPECT_EQ(result, c.ok) << c.errnum;
      const Bytes expected_path = folder ? Bytes{'u', 'i', '/', 'c', 's', 's', 0}
                                         : Bytes{'D', 'L', '_', 'P', 'r', 'o', 'c', 'e', 's',
                                                 's', 'i', 'n', 'g', 0};
      ASSERT_EQ(session.requests.size(), 1u);
      EXPECT_EQ(Command(session.requests[0]), folder ? 10 : 8);
      EXPECT_EQ(Bytes(session.requests[0].begin() + 4, session.requests[0].end()), expected_path);
      EXPECT_EQ(session.request_timeouts[0], 4000);
      const std::string line = std::string(folder ? "VODE_EFS2_DIAG_RMDIR" : "VODE_EFS2_DIAG_UNLINK") +
                               "() - Results errnum = " + std::to_string(c.errnum);
      EXPECT_TRUE(FakeSession::Logged(line)) << line;
    }
  }
  FakeSession header_only;
  header_only.responder = [](const Bytes& request, Bytes* response) {
    *response = Bytes(request.begin(), request.begin() + 4);
    return true;
  };
  EXPECT_FALSE(diaglib::EfsRemoveDirectory(header_only, "x"));
}

TEST(EfsPathLimitTest, RequestsOfMoreThan256BytesAreNotSent) {
  auto accept_all = [](const Bytes& request, Bytes* response) {
    *response = Reply(request, 48, {{4, 0}, {8, 0}});
    return true;
  };
  for (size_t length : {249u, 250u}) {
    FakeSession session;
    session.responder = accept_all;
    const std::string path(length, 'm');
    EXPECT_EQ(diaglib::EfsMakeDirectory(session, path.c_str()), length == 249);
    EXPECT_EQ(session.requests.size(), length == 249 ? 1u : 0u);
    if (length == 249) {
      EXPECT_EQ(session.requests[0].size(), 256u);
    }
  }
  for (size_t length : {251u, 252u}) {
    FakeSession session;
    session.responder = accept_all;
    const std::string path(length, 'l');
    diaglib::EfsDirectory(session, path.c_str());
    EXPECT_EQ(session.requests.empty(), length == 252) << length;
  }
}

TEST(EfsSpaceTest, BlockCountTimesBlockSizeDoesNotWrap) {
  struct Case {
    uint32_t block_size, blocks;
    uint64_t expected;
  };
  for (const Case c : {Case{512, 100, 51200}, Case{4, 0x40000019u, 0x100000064ull},
                       Case{0x10000, 0x10000, 0x100000000ull}}) {
    FakeSession session;
    session.responder = [c](const Bytes& request, Bytes* response) {
      *response = Reply(request, 48, {{20, c.block_size}, {28, c.blocks}});
      return true;
    };
    EXPECT_EQ(diaglib::StatFSAvailSpace(session), c.expected);
    EXPECT_EQ(session.requests, (std::vector<Bytes>{{0x4B, 0x13, 0x13, 0x00, 0x00}}));
  }
  FakeSession silent;
  EXPECT_EQ(diaglib::StatFSAvailSpace(silent), 0u);
  EXPECT_EQ(silent.requests.size(), 1u);
}

TEST(EfsWriteTest, LocalPathsOver260CharactersFailBeforeAnyRequest) {
  FakeSession session;
  const std::string local(261, 'p');
  EXPECT_FALSE(diaglib::EfsWriteFile(session, local.c_str(), "x"));
  EXPECT_TRUE(session.requests.empty());
  EXPECT_TRUE(FakeSession::Logged("VODE_EfsWrite() - FAIL"));
}

}  // namespace
