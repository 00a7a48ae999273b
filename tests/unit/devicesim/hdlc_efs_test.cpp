#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "devicesim/efs.hpp"
#include "devicesim/hdlc.hpp"

namespace {

using devicesim::Bytes;
using devicesim::Deframer;
namespace fs = std::filesystem;
namespace e = devicesim::efs_errno;
namespace f = devicesim::efs_flags;

TEST(DeviceFraming, CheckValuesAndKnownFrames) {
  const std::string digits = "123456789", abc = "abc";
  EXPECT_EQ(0x906E, devicesim::FrameCrc(reinterpret_cast<const uint8_t*>(digits.data()), 9));
  EXPECT_EQ(0x9E25, devicesim::FrameCrc(reinterpret_cast<const uint8_t*>(abc.data()), 3));
  EXPECT_EQ((Bytes{0x00, 0x78, 0xF0, 0x7E}), devicesim::FramePacket({0x00}));
  EXPECT_EQ((Bytes{0x29, 0x01, 0x00, 0x31, 0x40, 0x7E}),
            devicesim::FramePacket({0x29, 0x01, 0x00}));
  EXPECT_EQ((Bytes{0x29, 0x02, 0x00, 0x59, 0x6A, 0x7E}),
            devicesim::FramePacket({0x29, 0x02, 0x00}));
  const Bytes escaped = devicesim::FramePacket({0x7E, 0x7D, 0x01});
  ASSERT_GE(escaped.size(), 5u);
  EXPECT_EQ((Bytes{0x7D, 0x5E, 0x7D, 0x5D, 0x01}), Bytes(escaped.begin(), escaped.begin() + 5));
}

TEST(DeviceFraming, DeframerCutsStreamAndFlagsBadCrc) {
  Bytes stream = {0x7E, 0x7E};  // leading and repeated flags mean nothing
  for (const Bytes& p : {Bytes{0x7B, 0x7E, 0x7D}, Bytes{0x00}}) {
    Bytes framed = devicesim::FramePacket(p);
    stream.insert(stream.end(), framed.begin(), framed.end());
    stream.push_back(0x7E);
  }
  Bytes bad = devicesim::FramePacketBadCrc({0x26, 0x01});
  stream.insert(stream.end(), bad.begin(), bad.end());

  Deframer d;
  std::vector<Deframer::Frame> frames;
  for (uint8_t b : stream) d.Feed(&b, 1, &frames);  // one byte at a time: state survives feeds
  ASSERT_EQ(3u, frames.size());
  EXPECT_TRUE(frames[0].good);
  EXPECT_EQ((Bytes{0x7B, 0x7E, 0x7D}), frames[0].packet);
  EXPECT_TRUE(frames[1].good);
  EXPECT_EQ((Bytes{0x00}), frames[1].packet);
  EXPECT_FALSE(frames[2].good);
  EXPECT_EQ((Bytes{0x26, 0x01}), frames[2].packet);
}

class EfsTest : public ::testing::Test {
 protected:
  devicesim::Efs efs{64 * 512, 512};
  int32_t Put(const std::string& path, const Bytes& data) {
    int32_t fd = -1;
    int32_t err = efs.Open(path, f::kWrOnly | f::kCreat | f::kTrunc, 0666, &fd);
    if (err) return err;
    uint32_t written = 0;
    err = efs.Write(fd, 0, data.data(), static_cast<uint32_t>(data.size()), &written);
    efs.Close(fd);
    return err;
  }
};

TEST_F(EfsTest, FolderAndFileErrorsFollowPosix) {
  EXPECT_EQ(e::kNoEnt, efs.Mkdir("/a/b", 0777));  // no parents are made
  EXPECT_EQ(e::kOk, efs.Mkdir("a", 0777));
  EXPECT_EQ(e::kExist, efs.Mkdir("/a", 0777));  // with or without the leading slash
  EXPECT_EQ(e::kOk, Put("/a/f", {1, 2, 3}));
  EXPECT_EQ(e::kNotDir, efs.Mkdir("/a/f/x", 0777));
  EXPECT_EQ(e::kNotEmpty, efs.Rmdir("a"));
  EXPECT_EQ(e::kNotDir, efs.Rmdir("/a/f"));
  EXPECT_EQ(e::kIsDir, efs.Unlink("/a"));
  int32_t fd = -1;
  EXPECT_EQ(e::kIsDir, efs.Open("/a", f::kWrOnly, 0, &fd));
  EXPECT_EQ(e::kNoEnt, efs.Open("/a/g", f::kWrOnly, 0, &fd));
  EXPECT_EQ(e::kOk, efs.Unlink("a//f"));  // doubled separators name the same entry
  EXPECT_EQ(e::kNoEnt, efs.Unlink("/a/f"));
  EXPECT_EQ(e::kOk, efs.Rmdir("/a/"));
  EXPECT_EQ(e::kNoEnt, efs.Rmdir("/a"));
  EXPECT_EQ(e::kInval, efs.Mkdir("/x/../y", 0777));
  EXPECT_EQ(e::kBadF, efs.Close(12345));
}

TEST_F(EfsTest, WritesHonourOffsetsDescriptorsAndCapacity) {
  int32_t fd = -1;
  ASSERT_EQ(e::kOk, efs.Open("/f", f::kWrOnly | f::kCreat, 0644, &fd));
  uint32_t written = 0;
  const Bytes tail = {9, 9};
  EXPECT_EQ(e::kOk, efs.Write(fd, 4, tail.data(), 2, &written));  // a gap reads as zeros
  EXPECT_EQ(2u, written);
  EXPECT_EQ(e::kOk, efs.Close(fd));
  EXPECT_EQ(e::kBadF, efs.Write(fd, 0, tail.data(), 2, &written));  // closed descriptor
  Bytes data;
  ASSERT_TRUE(efs.ReadFile("f", &data));
  EXPECT_EQ((Bytes{0, 0, 0, 0, 9, 9}), data);
  ASSERT_EQ(e::kOk, efs.Open("/ro", f::kCreat, 0644, &fd));  // read-only descriptor
  EXPECT_EQ(e::kBadF, efs.Write(fd, 0, tail.data(), 2, &written));

  EXPECT_EQ(63u, efs.FreeBlocks());  // "f" holds one block
  const Bytes big(70 * 512, 0xAB);
  ASSERT_EQ(e::kOk, efs.Open("/big", f::kWrOnly | f::kCreat, 0644, &fd));
  EXPECT_EQ(e::kOk, efs.Write(fd, 0, big.data(), static_cast<uint32_t>(big.size()), &written));
  EXPECT_EQ(63u * 512, written);  // what fits, as a short write
  EXPECT_EQ(e::kNoSpc, efs.Write(fd, written, big.data(), 10, &written));
  EXPECT_EQ(0u, efs.FreeBlocks());
  EXPECT_EQ(e::kOk, efs.Unlink("/big"));
  efs.SetFull(true);
  EXPECT_EQ(0u, efs.FreeBlocks());
  EXPECT_EQ(e::kNoSpc, Put("/g", {1}));
}

TEST_F(EfsTest, DescriptorsAreTheLowestFreeUnlessGrowingIsAskedFor) {
  for (const bool growing : {false, true}) {
    devicesim::Efs fs{64 * 512, 512};
    fs.SetGrowingDescriptors(growing);
    int32_t a = -1, b = -1, c = -1;
    ASSERT_EQ(e::kOk, fs.Open("/a", f::kWrOnly | f::kCreat, 0644, &a));
    ASSERT_EQ(e::kOk, fs.Open("/b", f::kWrOnly | f::kCreat, 0644, &b));
    ASSERT_EQ(e::kOk, fs.Close(a));
    ASSERT_EQ(e::kOk, fs.Open("/c", f::kWrOnly | f::kCreat, 0644, &c));
    EXPECT_EQ(std::vector<int32_t>({a, b, c}),
              growing ? std::vector<int32_t>({3, 4, 5}) : std::vector<int32_t>({3, 4, 3}))
        << (growing ? "growing" : "lowest free");
  }
}

TEST_F(EfsTest, ListingIsByNameAndEndsWithAnEmptyEntry) {
  ASSERT_EQ(e::kOk, efs.Mkdir("/d", 0777));
  ASSERT_EQ(e::kOk, Put("/d/b", {1, 2}));
  ASSERT_EQ(e::kOk, efs.Mkdir("/d/a", 0777));
  uint32_t h = 0;
  ASSERT_EQ(e::kOk, efs.OpenDir("d", &h));
  EXPECT_NE(0u, h);
  devicesim::DirEntry entry;
  bool end = false;
  ASSERT_EQ(e::kOk, efs.ReadDir(h, 1, &entry, &end));
  EXPECT_EQ("a", entry.name);
  EXPECT_EQ(devicesim::EntryType::kFolder, entry.type);
  ASSERT_EQ(e::kOk, efs.ReadDir(h, 2, &entry, &end));
  EXPECT_EQ("b", entry.name);
  EXPECT_EQ(2u, entry.size);
  EXPECT_EQ(devicesim::EntryType::kFile, entry.type);
  ASSERT_EQ(e::kOk, efs.ReadDir(h, 3, &entry, &end));
  EXPECT_TRUE(end);
  EXPECT_TRUE(entry.name.empty());
  EXPECT_EQ(e::kOk, efs.CloseDir(h));
  EXPECT_EQ(e::kBadF, efs.ReadDir(h, 1, &entry, &end));
  EXPECT_EQ(e::kNotDir, efs.OpenDir("/d/b", &h));
  EXPECT_EQ((std::vector<std::string>{"/d/", "/d/a/", "/d/b"}), efs.Listing());
}

TEST_F(EfsTest, LinksListAsType2AndUnlinkAlone) {
  ASSERT_EQ(e::kOk, Put("/target", {1}));
  ASSERT_TRUE(efs.MakeLink("/alias", "/target"));
  uint32_t h = 0;
  ASSERT_EQ(e::kOk, efs.OpenDir("/", &h));
  devicesim::DirEntry entry;
  bool end = false;
  ASSERT_EQ(e::kOk, efs.ReadDir(h, 1, &entry, &end));
  EXPECT_EQ("alias", entry.name);
  EXPECT_EQ(devicesim::EntryType::kLink, entry.type);
  EXPECT_EQ(e::kOk, Put("/alias", {7, 7}));  // writes land in the file it names
  Bytes data;
  ASSERT_TRUE(efs.ReadFile("/target", &data));
  EXPECT_EQ((Bytes{7, 7}), data);
  EXPECT_EQ(e::kNotDir, efs.Rmdir("/alias"));
  EXPECT_EQ(e::kOk, efs.Unlink("/alias"));
  EXPECT_EQ((std::vector<std::string>{"/target"}), efs.Listing());
}

TEST_F(EfsTest, LoadAndDumpKeepBytesAndEmptyFolders) {
  char tmpl[] = "/tmp/devicesim-efs-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(tmpl));
  const fs::path base = tmpl;
  fs::create_directories(base / "in/ui/empty");
  {
    std::ofstream out(base / "in/ui/page.htm", std::ios::binary);
    out.write("\x00\x7E\r\n", 4);
  }
  fs::create_symlink("/ui/page.htm", base / "in/ui/link");
  std::string error;
  ASSERT_TRUE(efs.LoadFrom((base / "in").string(), &error)) << error;
  EXPECT_EQ(
      (std::vector<std::string>{"/ui/", "/ui/empty/", "/ui/link -> /ui/page.htm", "/ui/page.htm"}),
      efs.Listing());
  ASSERT_TRUE(efs.DumpTo((base / "out").string(), &error)) << error;
  EXPECT_TRUE(fs::is_directory(base / "out/ui/empty"));
  EXPECT_EQ("/ui/page.htm", fs::read_symlink(base / "out/ui/link").string());
  std::ifstream in(base / "out/ui/page.htm", std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(std::string("\x00\x7E\r\n", 4), content);
  fs::remove_all(base);
}

}  // namespace
