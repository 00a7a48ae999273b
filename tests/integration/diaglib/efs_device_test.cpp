#include <functional>

#include "api_device_fixture.hpp"

namespace diaglib_test {
namespace {

using Bytes = std::vector<uint8_t>;
using Writes = std::vector<std::pair<uint32_t, size_t>>;  // offset, data bytes

uint32_t U32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
int Efs2Command(const Bytes& r) {
  return r.size() >= 4 && r[0] == 0x4B && r[1] == 0x13 ? r[2] | (r[3] << 8) : -1;
}

std::vector<int>& Progress() {
  static std::vector<int> transferred;
  return transferred;
}
bool OnProgress(const char*, const char*, int operation, int, int transferred, int total, int) {
  Progress().push_back(operation == 5 ? transferred * 10000 + total : -1);
  return true;
}
std::vector<std::string>& Entries() {
  static std::vector<std::string> entries;
  return entries;
}
bool OnEntry(const char* path, uint8_t type, uint16_t, uint8_t, uint8_t, int, int size, int) {
  Entries().push_back(std::string(path) + ":" + std::to_string(type) + ":" + std::to_string(size));
  return true;
}

Bytes Pattern(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return bytes;
}

class EfsTest : public DeviceTest {
 protected:
  explicit EfsTest(uint32_t real_wait_cap_ms = 500) : DeviceTest(real_wait_cap_ms) {}
  devicesim::VirtualDevice& Connect(devicesim::Options options = {}) {
    EnableLibraryLog();
    device_ = &AddDevice(7, options);
    handle_ = VODE_ConnectServer(7);
    VODE_ConfigureLibraryTextLogCallBack(handle_, &LogCapture::OnLine);
    VODE_ConfigureEfs2CallBacks(handle_, &OnProgress, &OnEntry);
    EXPECT_TRUE(device_->EfsMkdir("/cfg"));
    Restart();
    return *device_;
  }
  void Restart() {
    device_->ClearRequests();
    LogCapture::Clear();
    Progress().clear();
    Entries().clear();
  }
  bool Upload(const Bytes& content, const std::string& efs = "/cfg/data.bin") {
    std::ofstream("data.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), content.size());
    return VODE_EfsWrite(handle_, "data.bin", efs.c_str());
  }
  Writes WritesSent() const {
    Writes writes;
    for (const Bytes& r : device_->Requests()) {
      if (Efs2Command(r) == 5) writes.emplace_back(U32(r, 8), r.size() - 12);
    }
    return writes;
  }
  int Sent(int command) const {
    const auto requests = device_->Requests();
    return static_cast<int>(
        std::count_if(requests.begin(), requests.end(),
                      [command](const Bytes& r) { return Efs2Command(r) == command; }));
  }
  bool Stored(const Bytes& content, const std::string& efs = "/cfg/data.bin") const {
    Bytes stored;
    return device_->EfsReadFile(efs, &stored) && stored == content && device_->EfsOpenFiles() == 0;
  }

  devicesim::VirtualDevice* device_ = nullptr;
  VODE_HANDLE handle_ = nullptr;
};

TEST_F(EfsTest, FilesGoInChunksOf512WithAProgressReportEach) {
  Connect();
  const std::pair<size_t, Writes> cases[] = {{1300, {{0, 512}, {512, 512}, {1024, 276}}},
                                             {512, {{0, 512}}},
                                             {513, {{0, 512}, {512, 1}}},
                                             {0, {}}};
  for (const auto& [size, writes] : cases) {
    Restart();
    device_->EfsWriteFile("/cfg/data.bin", Pattern(100));  // old content is truncated
    ASSERT_TRUE(Upload(Pattern(size))) << size;
    EXPECT_EQ(WritesSent(), writes) << size;
    std::vector<int> expected;
    for (const auto& write : writes)
      expected.push_back(static_cast<int>(write.first + write.second) * 10000 +
                         static_cast<int>(size));
    EXPECT_EQ(Progress(), expected);
    EXPECT_EQ(Sent(2), 1);
    EXPECT_EQ(Sent(3), 1);
    EXPECT_TRUE(Stored(Pattern(size))) << size;
  }
  EXPECT_TRUE(LogCapture::Has("VODE_EfsWrite() - PASS"));
}

TEST_F(EfsTest, UnansweredStatusOrAFullDeviceOpensNothing) {
  Connect();
  device_->IgnoreEfsStatus(true);
  EXPECT_FALSE(Upload(Pattern(1000)));
  EXPECT_TRUE(LogCapture::Has(
      "Available size on local disk is insufficient.  tot_data_size = 1000,  availSpace=0"));
  EXPECT_TRUE(LogCapture::Has("VODE_EfsWrite() - FAIL"));
  device_->IgnoreEfsStatus(false);
  device_->FillUp(true);
  EXPECT_FALSE(Upload(Pattern(1000)));
  EXPECT_EQ(Sent(19), 2);
  EXPECT_EQ(Sent(2), 0);
}

TEST_F(EfsTest, FreeSpacePast4GiBIsNotTakenFor100Bytes) {
  devicesim::Options options;
  options.efs_block_size = 4;
  options.efs_capacity_bytes = (1ull << 32) + 100;
  Connect(options);
  EXPECT_TRUE(Upload(Pattern(1000)));
  EXPECT_TRUE(Stored(Pattern(1000)));
}

TEST_F(EfsTest, RefusedAndShortWritesKeepTheFileInLine) {
  Connect();
  device_->RefuseEfsWrites(2, 28);
  ASSERT_TRUE(Upload(Pattern(700)));
  auto requests = device_->Requests();
  requests.erase(std::remove_if(requests.begin(), requests.end(),
                                [](const Bytes& r) { return Efs2Command(r) != 5; }),
                 requests.end());
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_TRUE(requests[0] == requests[1] && requests[1] == requests[2]);  // resent unchanged
  EXPECT_TRUE(Stored(Pattern(700)));

  Restart();
  device_->ShortEfsWrites(1, 100);
  ASSERT_TRUE(Upload(Pattern(1300)));
  EXPECT_EQ(WritesSent(), (Writes{{0, 512}, {100, 412}, {512, 512}, {1024, 276}}));
  EXPECT_EQ(Progress().size(), 3u);
  EXPECT_TRUE(Stored(Pattern(1300)));

  Restart();
  device_->RefuseEfsWrites(5, 28);
  EXPECT_FALSE(Upload(Pattern(700)));
  EXPECT_EQ(Sent(5), 5);
  EXPECT_EQ(Sent(3), 1);  // the device file is closed all the same
  EXPECT_TRUE(LogCapture::Has("EFS2WriteEntireFile() failed"));
}

TEST_F(EfsTest, FolderAndFileRemovalReportWhatTheDeviceDid) {
  Connect();
  EXPECT_TRUE(VODE_EfsMkDir(handle_, "ui"));
  EXPECT_FALSE(VODE_EfsMkDir(handle_, "ui"));
  device_->EfsWriteFile("/ui/index.html", Pattern(20));
  EXPECT_FALSE(VODE_EfsRmDir(handle_, "ui"));  // not empty
  EXPECT_TRUE(device_->EfsIsDir("/ui"));
  EXPECT_TRUE(LogCapture::Has("VODE_EFS2_DIAG_RMDIR() - Results errnum = 39"));
  EXPECT_TRUE(VODE_EfsDelete(handle_, "ui/index.html"));
  EXPECT_TRUE(VODE_EfsDelete(handle_, "ui/index.html"));  // already gone
  EXPECT_FALSE(VODE_EfsDelete(handle_, "ui"));
  EXPECT_TRUE(VODE_EfsRmDir(handle_, "ui"));
  EXPECT_TRUE(VODE_EfsRmDir(handle_, "ui"));
  EXPECT_FALSE(device_->EfsExists("/ui"));
}

// A folder creation whose answer is in doubt (none in time, or none the marker can vouch for)
// may have made the folder: it is made once more, and "already exists" then counts as made (a
// late answer comes to the same once the marker has set it aside; the fault matrices send those). A
// trusted first answer stands, so a folder that was there before is no folder made. Whatever
// the outcome, a creation that reports made leaves the folder on the device.
class MkDirTest : public EfsTest {
 protected:
  // Answers are lost rather than late, so that what the library sees does not hang on the
  // machine's speed; a lost answer is given up on after this much real time, long enough for a
  // busy machine's device thread to have taken the request.
  MkDirTest() : EfsTest(1000) {}
};

TEST_F(MkDirTest, AnAnswerInDoubtIsSettledByASecondRequest) {
  constexpr int32_t kEnoSpc = 28;
  auto aim_at_mkdir = [](devicesim::VirtualDevice& d) {
    std::vector<uint8_t> prefix;
    ASSERT_TRUE(devicesim::VirtualDevice::Efs2Prefix("mkdir", &prefix));
    d.MisbehaveOnlyFor(prefix);
  };
  struct Case {
    const char* name;
    std::function<void(devicesim::VirtualDevice&)> arm;
    bool there_before, made;
    int requests;  // mkdir requests the library sent
  };
  // Counted as sent, not as received: a device thread that a busy machine holds up past the
  // time-out loses the request with the port the library closes then.
  auto mkdirs_sent = [] {
    const auto lines = LogCapture::Lines();
    return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.rfind("SEND (", 0) == 0 && line.find("):4B 13 09 00 ") != std::string::npos;
    });
  };
  const Case cases[] = {
      {"answered", [](auto&) {}, false, true, 1},
      {"there before", [](auto&) {}, true, false, 1},
      {"refused", [](auto& d) { d.RefuseEfs2("mkdir", 1, kEnoSpc); }, false, false, 1},
      {"answer lost",
       [&](auto& d) {
         aim_at_mkdir(d);
         d.DropResponses(1);
       },
       false, true, 2},
      {"marker's echo lost",
       [](auto& d) {
         d.MisbehaveOnlyFor({0x7B});
         d.DropResponses(1);
       },
       false, true, 2},
      {"both answers lost",
       [&](auto& d) {
         aim_at_mkdir(d);
         d.DropResponses(2);
       },
       false, false, 2},
  };
  Connect();
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = "made" + std::to_string(n++);
    if (c.there_before) {
      ASSERT_TRUE(device_->EfsMkdir("/" + folder));
    }
    device_->MisbehaveOnlyFor({});
    c.arm(*device_);
    Restart();
    const bool made = VODE_EfsMkDir(handle_, folder.c_str());
    EXPECT_EQ(made, c.made);
    EXPECT_EQ(mkdirs_sent(), c.requests);
    if (made) {
      EXPECT_TRUE(device_->EfsIsDir("/" + folder));
    }
  }
}

TEST_F(EfsTest, ListingHandsEveryEntryToTheCallback) {
  Connect();
  device_->EfsWriteFile("/nv/item_files/modem/mmode/a", Pattern(3));
  device_->EfsMkdir("/nv/item_files/modem/mmode/sub");
  EXPECT_TRUE(VODE_EfsDirectory(handle_, "nv/item_files/modem/mmode"));
  std::sort(Entries().begin(), Entries().end());
  EXPECT_EQ(Entries(), (std::vector<std::string>{"nv/item_files/modem/mmode/a:1:3",
                                                 "nv/item_files/modem/mmode/sub:0:0"}));
  EXPECT_TRUE(LogCapture::Has(" EFS DIR - 'nv/item_files/modem/mmode/a' 3 bytes"));
  Restart();
  EXPECT_TRUE(VODE_EfsDirectory(handle_, "cfg"));
  EXPECT_TRUE(Entries().empty());
  // open, read 1, close, and the marker that shows each was answered by its own answer
  ASSERT_EQ(device_->Requests().size(), 4u);
  EXPECT_EQ(device_->Requests().back()[0], 0x7B);
  EXPECT_FALSE(VODE_EfsDirectory(handle_, "missing"));
  EXPECT_EQ(device_->EfsOpenDirs(), 0);
}

}  // namespace
}  // namespace diaglib_test
