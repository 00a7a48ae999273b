#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "device_client.hpp"

namespace {

using namespace devicesim_test;
namespace fs = std::filesystem;

// Reads one line from fd, waiting at most the cap.
std::string ReadLine(int fd) {
  std::string line;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCapMs * 2);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char c = 0;
    if (::read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line.push_back(c);
  }
  return line;
}

TEST(Diagsim, ServesAPortUntilTerminatedAndDumpsItsFileSystem) {
  const std::string program = std::string(TEST_BINARY_DIR) + "/devicesim/diagsim";
  ASSERT_TRUE(fs::exists(program)) << "build the diagsim target first";
  char tmpl[] = "/tmp/devicesim-diagsim-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(tmpl));
  const fs::path base = tmpl;
  fs::create_directories(base / "load/cfg");
  std::ofstream(base / "load/cfg/a.txt") << "abc";

  int out[2];
  ASSERT_EQ(0, ::pipe(out));
  const std::string root = (base / "root").string(), load = (base / "load").string(),
                    dump = (base / "dump").string();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::execl(program.c_str(), program.c_str(), "--root", root.c_str(), "--com", "9", "--efs-load",
            load.c_str(), "--efs-dump", dump.c_str(), "--nv-set", "453:01,02,ff", "--reset-absence",
            "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  const std::string link = root + "/dev/serial/com/COM9";
  EXPECT_EQ("diagsim: serving COM9 at " + link, ReadLine(out[0]));

  Client client;
  ASSERT_TRUE(client.Open(link));  // the links are there once the line is out
  EXPECT_EQ(55u, client.Transact({0x00}).size());
  Bytes read(133, 0);
  read[0] = 0x26;
  read[1] = 0xC5;
  read[2] = 0x01;
  const Bytes item = client.Transact(read);
  ASSERT_EQ(133u, item.size());
  EXPECT_EQ((Bytes{0x01, 0x02, 0xFF, 0x00}), Bytes(item.begin() + 3, item.begin() + 7));
  Bytes mkdir = {0xFF, 0x01};
  AddText(&mkdir, "/new");
  EXPECT_EQ(0u, U32(client.Transact(Efs2(9, mkdir)), 4));

  // A reset is told as the port going and coming back, so a script can wait for it.
  EXPECT_EQ((Bytes{0x29, 0x02, 0x00}), client.Transact({0x29, 0x02, 0x00}));
  EXPECT_EQ("diagsim: COM9 gone", ReadLine(out[0]));
  EXPECT_EQ("diagsim: serving COM9 at " + link, ReadLine(out[0]));
  ASSERT_TRUE(client.Open(link));
  EXPECT_EQ(55u, client.Transact({0x00}).size());
  client.Close();

  ASSERT_EQ(0, ::kill(pid, SIGTERM));
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  ::close(out[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  EXPECT_TRUE(fs::is_directory(base / "dump/new"));
  std::ifstream in(base / "dump/cfg/a.txt");
  std::string text;
  in >> text;
  EXPECT_EQ("abc", text);
  fs::remove_all(base);
}

// Runs diagsim with the arguments and its output into a pipe; the pid, or -1.
pid_t Spawn(const std::vector<std::string>& arguments, int* output) {
  const std::string program = std::string(TEST_BINARY_DIR) + "/devicesim/diagsim";
  std::vector<std::string> args = {program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  if (::pipe(out) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    ::close(out[0]);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  *output = out[0];
  return pid;
}

TEST(Diagsim, LaysOutTheShapeAskedForAndRefusesBadShapes) {
  char tmpl[] = "/tmp/devicesim-layout-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(tmpl));
  const fs::path root = tmpl;
  int out = -1;
  const pid_t pid = Spawn({"--root", root.string(), "--com", "101", "--layout", "cdc-acm",
                           "--usb-path", "1.2", "--usb-id", "1E0F:90a1", "--interface-number", "3",
                           "--no-interface", "--udev-description", "KVX Diagnostics"},
                          &out);
  ASSERT_GT(pid, 0);
  EXPECT_EQ("diagsim: serving COM101 at " + (root / "dev/serial/com/COM101").string(),
            ReadLine(out));
  EXPECT_EQ("../../ttyACM0", fs::read_symlink(root / "dev/serial/com/COM101").string());
  const fs::path device = root / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.2";
  EXPECT_EQ(fs::canonical(device / "1-1.2:1.3"),
            fs::canonical(root / "sys/class/tty/ttyACM0/device"));
  EXPECT_FALSE(fs::exists(device / "1-1.2:1.3/interface"));
  std::ifstream record(root / "run/udev/data/c166:0");
  const std::string text((std::istreambuf_iterator<char>(record)),
                         std::istreambuf_iterator<char>());
  EXPECT_EQ(
      "E:ID_VENDOR_ID=1e0f\nE:ID_MODEL_ID=90a1\nE:ID_USB_INTERFACE_NUM=03\n"
      "E:DIAG_PORT_DESCRIPTION=KVX Diagnostics\n",
      text);
  ASSERT_EQ(0, ::kill(pid, SIGTERM));
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  ::close(out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--layout", "serial"},
                                             {"--usb-path", "1..2"},
                                             {"--usb-path", "0"},
                                             {"--usb-path", "1.2."},
                                             {"--usb-id", "1e0f9001"},
                                             {"--usb-id", "1e0f:90g1"}}) {
    std::vector<std::string> args = {"--root", root.string()};
    args.insert(args.end(), bad.begin(), bad.end());
    const pid_t refused = Spawn(args, &out);
    ASSERT_GT(refused, 0);
    ASSERT_EQ(refused, ::waitpid(refused, &status, 0));
    ::close(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << bad[0] << " " << bad[1];
  }
  fs::remove_all(root);
}

}  // namespace
