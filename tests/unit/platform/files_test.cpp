#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/files.hpp"
#include "platform/find_file.hpp"
#include "platform/processes.hpp"
#include "temp_root.hpp"

namespace {

using platform_test::TempRoot;

std::string ToolPath(const TempRoot& root, const std::string& relative) {
  std::string path = root.At(relative);
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::vector<platform::FoundFile> FindAll(const std::string& pattern) {
  std::vector<platform::FoundFile> all;
  platform::FoundFile entry;
  auto search = platform::FindFirstFile(pattern, &entry);
  if (search == nullptr) return all;
  do {
    all.push_back(entry);
  } while (search->Next(&entry));
  return all;
}

TEST(FindFile, DotsFirstThenNamesInNtfsOrderWithFolderBits) {
  TempRoot root;
  root.WriteFile("ui/b.htm", "b");
  root.WriteFile("ui/A.css", "a");
  root.WriteFile("ui/_x.js", "x");
  root.WriteFile("ui/a2.gif", "a");
  root.WriteFile("ui/img/deep.gif", "d");
  root.Link("ui/linked", "img");        // a link to a folder counts as a folder
  root.Link("ui/dangling", "missing");  // a broken link is a plain entry

  const auto found = FindAll(ToolPath(root, "ui") + "\\*.*");
  std::vector<std::string> names;
  for (const auto& f : found) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "A.css", "a2.gif", "b.htm", "dangling",
                                             "img", "linked", "_x.js"}));
  ASSERT_EQ(found.size(), 9u);
  EXPECT_EQ(found[0].attributes, platform::kFileAttributeDirectory);
  EXPECT_EQ(found[1].attributes, platform::kFileAttributeDirectory);
  EXPECT_EQ(found[2].attributes, 0x20u);
  EXPECT_EQ(found[5].attributes, 0x20u);
  EXPECT_EQ(found[6].attributes, platform::kFileAttributeDirectory);
  EXPECT_EQ(found[7].attributes, platform::kFileAttributeDirectory);

  // An empty folder still shows its two dot entries; a missing one cannot be searched.
  root.MakeDirs("empty");
  EXPECT_EQ(FindAll(ToolPath(root, "empty") + "\\*.*").size(), 2u);
  platform::FoundFile first;
  EXPECT_EQ(platform::FindFirstFile(ToolPath(root, "nothere") + "\\*.*", &first), nullptr);
}

TEST(Files, OutputFileTruncatesAndSizesAndRemovalWork) {
  TempRoot root;
  const std::string name = ToolPath(root, "out\\result.txt");
  root.MakeDirs("out");
  root.WriteFile("out/result.txt", "an older, longer verdict");
  {
    auto file = platform::CreateOutputFile(name);
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Write("[WriteNVItem PASS]\r\n", 20));
    // Unbuffered: the bytes are on disk before the file is closed.
    uint32_t size = 0;
    ASSERT_TRUE(platform::LocalFileSize(name, &size));
    EXPECT_EQ(size, 20u);
    EXPECT_TRUE(file->Close());
    EXPECT_FALSE(file->Write("x", 1)) << "nothing is written after the close";
  }
  std::FILE* stream = platform::OpenSharedStream(name, "r");
  ASSERT_NE(stream, nullptr);
  char text[32] = {};
  EXPECT_EQ(std::fread(text, 1, sizeof text, stream), 20u);
  std::fclose(stream);
  EXPECT_EQ(std::string(text), "[WriteNVItem PASS]\r\n");

  EXPECT_TRUE(platform::RemoveFile(name));
  EXPECT_TRUE(platform::RemoveFile(name)) << "no file of that name is left";
  root.MakeDirs("out/folder.txt");
  EXPECT_FALSE(platform::RemoveFile(ToolPath(root, "out\\folder.txt")));
  uint32_t size = 0;
  EXPECT_FALSE(platform::LocalFileSize(name, &size));
  EXPECT_EQ(platform::CreateOutputFile(ToolPath(root, "no\\such\\folder.txt")), nullptr);
}

TEST(Files, StampChangesWithSizeAndWriteTime) {
  TempRoot root;
  root.WriteFile("grows.bin", std::string(512, 'a'));
  const std::string name = ToolPath(root, "grows.bin");
  platform::FileStamp before, again, after;
  ASSERT_TRUE(platform::LocalFileStamp(name, &before));
  ASSERT_TRUE(platform::LocalFileStamp(name, &again));
  EXPECT_EQ(before, again);
  EXPECT_EQ(before.size, 512u);
  root.WriteFile("grows.bin", std::string(512, 'b'));  // same size, written again
  struct timespec times[2] = {{0, UTIME_OMIT}, {before.modified / 1000000000 + 1, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (root.path() + "/grows.bin").c_str(), times, 0), 0);
  ASSERT_TRUE(platform::LocalFileStamp(name, &after));
  EXPECT_NE(before, after);
  EXPECT_FALSE(platform::LocalFileStamp(ToolPath(root, "missing"), &after));
}

TEST(Files, OnlyRegularFilesOpenForReading) {
  TempRoot root;
  root.WriteFile("list.txt", "NV1:1\n");
  root.Link("linked.txt", "list.txt");
  root.MakeDirs("folder");
  root.Link("zero", "/dev/zero");
  root.Link("dangling", "missing");
  ASSERT_EQ(mkfifo(root.At("pipe").c_str(), 0600), 0);  // opened by nobody: must not block
  const struct {
    const char* name;
    bool regular;
  } cases[] = {{"list.txt", true},  {"linked.txt", true}, {"folder", false}, {"zero", false},
               {"dangling", false}, {"pipe", false},      {"missing", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = ToolPath(root, c.name);
    EXPECT_EQ(platform::IsRegularFile(name), c.regular);
    std::FILE* stream = platform::OpenRegularFileStream(name, "r");
    EXPECT_EQ(stream != nullptr, c.regular);
    if (stream == nullptr) continue;
    char text[16] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, stream), 6u);
    std::fclose(stream);
  }
}

TEST(Processes, OwnExecutableIsListed) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  const std::string path(self, static_cast<size_t>(n));
  const std::string base = path.substr(path.find_last_of('/') + 1);
  std::vector<std::wstring> names;
  ASSERT_TRUE(platform::ListProcessNames(&names));
  const std::wstring wide(base.begin(), base.end());
  EXPECT_NE(std::find(names.begin(), names.end(), wide), names.end());
  // Names only, never paths.
  for (const auto& name : names)
    EXPECT_EQ(name.find(L'/'), std::wstring::npos) << std::string(name.begin(), name.end());
}

}  // namespace
