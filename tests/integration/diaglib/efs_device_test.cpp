#include <mutex>

#include "api_device_fixture.hpp"

namespace diaglib_test {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t U32(const Bytes& bytes, size_t at) {
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
}
uint16_t Efs2Command(const Bytes& request) {
  return request.size() >= 4 && request[0] == 0x4B && request[1] == 0x13
             ? static_cast<uint16_t>(request[2] | (request[3] << 8))
             : 0xFFFF;
}

// Progress reports, on the caller's thread.
struct Progress {
  int transferred, total, context;
};
std::vector<Progress>& Reports() {
  static std::vector<Progress> reports;
  return reports;
}
bool OnProgress(const char*, const char*, int operation, int sub_option, int transferred, int total,
                int context) {
  EXPECT_EQ(operation, 5);
  EXPECT_EQ(sub_option, 0);
  Reports().push_back({transferred, total, context});
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
  devicesim::VirtualDevice& Connect(devicesim::Options options = {}) {
    auto& device = AddDevice(7, options);
    handle_ = VODE_ConnectServer(7);
    EXPECT_NE(handle_, nullptr);
    LogCapture::Clear();
    VODE_ConfigureLibraryTextLogCallBack(handle_, &LogCapture::OnLine);
    VODE_ConfigureEfs2CallBacks(handle_, &OnProgress, &OnEntry);
    Reports().clear();
    Entries().clear();
    device.ClearRequests();
    return device;
  }
  // Offsets and data sizes of the write requests the device received.
  static std::vector<std::pair<uint32_t, size_t>> Writes(const devicesim::VirtualDevice& device) {
    std::vector<std::pair<uint32_t, size_t>> writes;
    for (const Bytes& request : device.Requests()) {
      if (Efs2Command(request) == 5) writes.emplace_back(U32(request, 8), request.size() - 12);
    }
    return writes;
  }
  static int Count(const devicesim::VirtualDevice& device, uint16_t command) {
    int count = 0;
    for (const Bytes& request : device.Requests()) count += Efs2Command(request) == command;
    return count;
  }
  bool Write(const std::string& local, const std::string& efs) {
    return VODE_EfsWrite(handle_, local.c_str(), efs.c_str());
  }

  VODE_HANDLE handle_ = nullptr;
};

TEST_F(EfsTest, FileGoesInChunksOf512WithProgress) {
  EnableLibraryLog();
  auto& device = Connect();
  ASSERT_TRUE(device.EfsMkdir("/cfg"));
  struct Case {
    size_t size;
    std::vector<std::pair<uint32_t, size_t>> writes;
  };
  const Case cases[] = {
      {1300, {{0, 512}, {512, 512}, {1024, 276}}},
      {512, {{0, 512}}},
      {513, {{0, 512}, {512, 1}}},
  };
  for (const Case& c : cases) {
    device.ClearRequests();
    Reports().clear();
    const Bytes content = Pattern(c.size);
    WriteLocalFile("data.bin", content);
    ASSERT_TRUE(Write("data.bin", "/cfg/data.bin")) << c.size;
    EXPECT_EQ(Writes(device), c.writes) << c.size;
    ASSERT_EQ(Reports().size(), c.writes.size());
    uint32_t sum = 0;
    for (size_t i = 0; i < c.writes.size(); ++i) {
      sum += static_cast<uint32_t>(c.writes[i].second);
      EXPECT_EQ(Reports()[i].transferred, static_cast<int>(sum));
      EXPECT_EQ(Reports()[i].total, static_cast<int>(c.size));
      EXPECT_EQ(Reports()[i].context, Vode_ResourceManager::ContextValue(handle_));
    }
    Bytes stored;
    ASSERT_TRUE(device.EfsReadFile("/cfg/data.bin", &stored));
    EXPECT_EQ(stored, content);
    EXPECT_EQ(device.EfsOpenFiles(), 0);
  }
  EXPECT_TRUE(LogCapture::Has(" EFS Write Transferred 1300 / 1300 bytes"));
  EXPECT_TRUE(LogCapture::Has("VODE_EfsWrite() - PASS"));
}

TEST_F(EfsTest, EmptyFileIsOpenedAndClosedOnly) {
  EnableLibraryLog();
  auto& device = Connect();
  device.EfsWriteFile("/cfg/old.txt", Pattern(300));
  WriteLocalFile("empty.txt", {});
  ASSERT_TRUE(Write("empty.txt", "/cfg/old.txt"));
  EXPECT_EQ(Count(device, 2), 1);
  EXPECT_EQ(Count(device, 5), 0);
  EXPECT_EQ(Count(device, 3), 1);
  EXPECT_TRUE(Reports().empty());
  Bytes stored = {1};
  ASSERT_TRUE(device.EfsReadFile("/cfg/old.txt", &stored));
  EXPECT_TRUE(stored.empty());
}

TEST_F(EfsTest, UnansweredStatusOrTooLittleSpaceOpensNothing) {
  EnableLibraryLog();
  auto& device = Connect();
  WriteLocalFile("data.bin", Pattern(1000));
  device.IgnoreEfsStatus(true);
  EXPECT_FALSE(Write("data.bin", "/cfg/data.bin"));
  EXPECT_EQ(Count(device, 2), 0);
  EXPECT_TRUE(LogCapture::Has(
      "Available size on local disk is insufficient.  tot_data_size = 1000,  availSpace=0"));
  EXPECT_TRUE(LogCapture::Has("VODE_EfsWrite() - FAIL"));

  device.IgnoreEfsStatus(false);
  device.FillUp(true);
  device.ClearRequests();
  EXPECT_FALSE(Write("data.bin", "/cfg/data.bin"));
  EXPECT_EQ(Count(device, 19), 1);
  EXPECT_EQ(Count(device, 2), 0);
  EXPECT_FALSE(device.EfsExists("/cfg/data.bin"));
}

TEST_F(EfsTest, FreeSpacePast4GiBIsNotWrapped) {
  devicesim::Options options;
  options.efs_block_size = 4;
  options.efs_capacity_bytes = (1ull << 32) + 100;  // a 32-bit product would say 100 bytes
  auto& device = Connect(options);
  WriteLocalFile("data.bin", Pattern(1000));
  EXPECT_TRUE(Write("data.bin", "/data.bin"));
  EXPECT_TRUE(device.EfsExists("/data.bin"));
}

TEST_F(EfsTest, RefusedWritesAreResentUnchanged) {
  auto& device = Connect();
  WriteLocalFile("data.bin", Pattern(700));
  device.RefuseEfsWrites(2, 28);
  ASSERT_TRUE(Write("data.bin", "/data.bin"));
  std::vector<Bytes> writes;
  for (const Bytes& request : device.Requests()) {
    if (Efs2Command(request) == 5) writes.push_back(request);
  }
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0], writes[1]);
  EXPECT_EQ(writes[1], writes[2]);
  EXPECT_EQ(U32(writes[3], 8), 512u);
  Bytes stored;
  ASSERT_TRUE(device.EfsReadFile("/data.bin", &stored));
  EXPECT_EQ(stored, Pattern(700));

  // Five refusals of one chunk fail the copy; the device file is still closed.
  device.RefuseEfsWrites(5, 28);
  device.ClearRequests();
  EXPECT_FALSE(Write("data.bin", "/data.bin"));
  EXPECT_EQ(Count(device, 5), 5);
  EXPECT_EQ(Count(device, 3), 1);
  EXPECT_EQ(device.EfsOpenFiles(), 0);
}

TEST_F(EfsTest, ShortWritesSendTheRestFromTheConfirmedOffset) {
  auto& device = Connect();
  const Bytes content = Pattern(1300);
  WriteLocalFile("data.bin", content);
  device.ShortEfsWrites(1, 100);
  ASSERT_TRUE(Write("data.bin", "/data.bin"));
  EXPECT_EQ(Writes(device), (std::vector<std::pair<uint32_t, size_t>>{
                                {0, 512}, {100, 412}, {512, 512}, {1024, 276}}));
  Bytes stored;
  ASSERT_TRUE(device.EfsReadFile("/data.bin", &stored));
  EXPECT_EQ(stored, content);
  ASSERT_EQ(Reports().size(), 3u);
  EXPECT_EQ(Reports()[0].transferred, 512);
}

TEST_F(EfsTest, OpenPathsUpTo243Characters) {
  auto& device = Connect();
  WriteLocalFile("data.bin", Pattern(10));
  const std::string fits = "/" + std::string(242, 'f');
  const std::string too_long = "/" + std::string(243, 'g');
  Write("data.bin", fits);
  EXPECT_EQ(Count(device, 2), 1);
  device.ClearRequests();
  LogCapture::Clear();
  EXPECT_FALSE(Write("data.bin", too_long));
  EXPECT_EQ(Count(device, 2), 0);
  EXPECT_EQ(Count(device, 19), 1);
}

TEST_F(EfsTest, MakeRemoveAndDeleteReportWhatTheDeviceDid) {
  EnableLibraryLog();
  auto& device = Connect();
  EXPECT_TRUE(VODE_EfsMkDir(handle_, "ui"));
  EXPECT_FALSE(VODE_EfsMkDir(handle_, "ui"));  // already there
  EXPECT_TRUE(device.EfsIsDir("/ui"));
  device.EfsWriteFile("/ui/index.html", Pattern(20));

  EXPECT_FALSE(VODE_EfsRmDir(handle_, "ui"));  // not empty
  EXPECT_TRUE(device.EfsIsDir("/ui"));
  bool errnum_logged = false;
  for (const std::string& line : LogCapture::Lines()) {
    errnum_logged |= line.rfind("VODE_EFS2_DIAG_RMDIR() - Results errnum = ", 0) == 0 &&
                     line != "VODE_EFS2_DIAG_RMDIR() - Results errnum = 0";
  }
  EXPECT_TRUE(errnum_logged);

  EXPECT_TRUE(VODE_EfsDelete(handle_, "ui/index.html"));
  EXPECT_FALSE(device.EfsExists("/ui/index.html"));
  EXPECT_TRUE(VODE_EfsDelete(handle_, "ui/index.html"));  // already gone: fine
  EXPECT_FALSE(VODE_EfsDelete(handle_, "ui"));           // a folder is not a file
  EXPECT_TRUE(VODE_EfsRmDir(handle_, "ui"));
  EXPECT_FALSE(device.EfsExists("/ui"));
  EXPECT_TRUE(VODE_EfsRmDir(handle_, "ui"));
}

TEST_F(EfsTest, ListingReportsEveryEntryWithItsType) {
  auto& device = Connect();
  device.EfsWriteFile("/nv/item_files/modem/mmode/a", Pattern(3));
  device.EfsMkdir("/nv/item_files/modem/mmode/sub");
  EXPECT_TRUE(VODE_EfsDirectory(handle_, "nv/item_files/modem/mmode"));
  std::vector<std::string> entries = Entries();
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"nv/item_files/modem/mmode/a:1:3",
                                               "nv/item_files/modem/mmode/sub:0:0"}));
  EXPECT_EQ(device.EfsOpenDirs(), 0);

  Entries().clear();
  device.EfsMkdir("/empty");
  EXPECT_TRUE(VODE_EfsDirectory(handle_, "empty"));
  EXPECT_TRUE(Entries().empty());
  EXPECT_FALSE(VODE_EfsDirectory(handle_, "missing"));
}

}  // namespace
}  // namespace diaglib_test
