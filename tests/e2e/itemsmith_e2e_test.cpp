// The built itemsmith in a temporary working folder against the virtual device, with the
// device root handed over in the child's environment. The device is present at start, so the
// program's real clock has no production wait to sit through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "devicesim/virtual_device.hpp"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

class ItemsmithProgram : public ::testing::Test {
 protected:
  ItemsmithProgram() {
    char pattern[] = "/tmp/itemsmith-e2e-XXXXXX";
    base_ = mkdtemp(pattern);
    work_ = base_ / "work";
    fs::create_directories(work_);
    options_.root = (base_ / "root").string();
    options_.com_number = 12;
    options_.reset_absence_ms = 50;
  }
  ~ItemsmithProgram() override {
    device_.reset();
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  devicesim::VirtualDevice& StartDevice() {
    device_ = std::make_unique<devicesim::VirtualDevice>(options_);
    EXPECT_TRUE(device_->Start()) << device_->Error();
    return *device_;
  }

  // Runs the program in the working folder; its exit code, or -1 when it did not exit.
  // `in_child` runs before the exec (async-signal-safe calls only); a closed console is a pipe
  // whose reader is gone.
  int Run(const std::vector<std::string>& arguments, void (*in_child)() = nullptr,
          bool closed_console = false) {
    const std::string program = TEST_BINARY_DIR "/nvtool/itemsmith";
    std::vector<std::string> args = {program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = {"DIAG_DEVICE_ROOT=" + options_.root, "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string out_path = (base_ / "stdout.txt").string();
    const std::string dir = work_.string();

    int console_pipe[2] = {-1, -1};
    if (closed_console && pipe(console_pipe) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
      // Only async-signal-safe calls here: the device's thread may hold any lock.
      const int out = closed_console ? console_pipe[1]
                                     : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || chdir(dir.c_str()) != 0) _exit(127);
      if (closed_console) close(console_pipe[0]);
      if (in_child != nullptr) in_child();
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    if (closed_console) close(console_pipe[0]), close(console_pipe[1]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    console_ = ReadFile(out_path);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  fs::path base_, work_;
  devicesim::Options options_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
  std::string console_;
};

devicesim::NvData Stored(uint8_t seed) {
  devicesim::NvData data{};
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(seed ^ (i * 13));
  return data;
}

TEST_F(ItemsmithProgram, ProvisionsTheListedItemsAndResets) {
  devicesim::VirtualDevice& device = StartDevice();
  device.SetNvItem(453, Stored(0x5A));
  device.SetNvItem(855, Stored(0x21));
  WriteFile(work_ / "KVX_nvitem.txt",
            "<sample list\r\nNV453:1,2,ff<set by line "
            "7\r\nNV855:0x10,20,30,40,50,60,70,80,90,a0,b0,c0,d0,e0,f0,ff\r\n");
  WriteFile(work_ / "KVX_WriteNVItem_result.txt", "[WriteNVItem FAIL]\r\n");

  ASSERT_EQ(Run({"reset"}), 0);
  EXPECT_EQ(ReadFile(work_ / "KVX_WriteNVItem_result.txt"), "[WriteNVItem PASS]\r\n");

  devicesim::NvData want453 = Stored(0x5A);
  std::fill(want453.begin(), want453.begin() + 16, 0);
  want453[0] = 0x01, want453[1] = 0x02, want453[2] = 0xFF;
  EXPECT_EQ(device.NvItem(453), want453);
  devicesim::NvData want855 = Stored(0x21);
  const uint8_t listed[16] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80,
                              0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0xFF};
  std::copy(listed, listed + 16, want855.begin());
  EXPECT_EQ(device.NvItem(855), want855);
  // The device restarts on its own thread after answering the reset.
  for (int i = 0; i < 300 && device.ResetCount() == 0; ++i) usleep(10000);
  EXPECT_EQ(device.ResetCount(), 1);

  const std::string log = ReadFile(work_ / "KVX_WriteNVItem_log.txt");
  const std::vector<std::string> lines = {
      "KVX_WriteNVItem version: 20120831 \r\n\r\n",
      "\r\n1. search com port before eject disk\r\n",
      "com port exist before eject disk _iComPort:12\r\n",
      "Change to offline mode ok \r\n\r\n",
      "\r\n5. *** start to burn nv item *** \r\n\r\n",
      "SetNvItem 453 +++\r\n",
      "NV453 is written success \r\n",
      "NV453 option Read, data[0] = 0x1, data[1] = 0x2, data[2] = 0xff,",
      "NV453 is  is written \r\nSetNvItem_453 ---\r\n",
      "SetNvItem 855 +++\r\n",
      "SetNvItem_855 ---\r\n",
      "Reset phone ok \r\n\r\n"};
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = log.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "\n" << log;
    at = found + line.size();
  }
  EXPECT_NE(console_.find("Setting NV item: 855\r\n"), std::string::npos) << console_;
}

TEST_F(ItemsmithProgram, MissingListExitsWithOneAndLeavesNoVerdict) {
  devicesim::VirtualDevice& device = StartDevice();
  WriteFile(work_ / "KVX_WriteNVItem_result.txt", "[WriteNVItem PASS]\r\n");
  EXPECT_EQ(Run({}), 1);
  EXPECT_FALSE(fs::exists(work_ / "KVX_WriteNVItem_result.txt")) << "the old verdict is gone too";
  const std::string log = ReadFile(work_ / "KVX_WriteNVItem_log.txt");
  EXPECT_NE(
      log.find("Change to offline mode ok \r\n\r\n\r\nopen KVX_ntitem file fail...\n\r\n\r\n"),
      std::string::npos)
      << log;
  EXPECT_EQ(device.ResetCount(), 0);
  for (const std::vector<uint8_t>& request : device.GoodRequests()) {
    EXPECT_NE(request.at(0), 0x26) << "no item is read without the list";
  }
}

void LimitFilesToFiveBytes() {
  const rlimit limit{5, 5};
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
}

TEST_F(ItemsmithProgram, VerdictFileFaultsExitWithTwoAndClosedConsoleEndsNoRun) {
  devicesim::VirtualDevice& device = StartDevice();
  WriteFile(work_ / "KVX_nvitem.txt", "NV453:1,2,ff\r\n");

  // The previous result cannot be removed: no request reaches the device.
  fs::create_directory(work_ / "KVX_WriteNVItem_result.txt");
  EXPECT_EQ(Run({}), 2);
  EXPECT_NE(console_.find("KVX_WriteNVItem_result.txt cannot be removed, no device is touched"),
            std::string::npos)
      << console_;
  EXPECT_TRUE(device.GoodRequests().empty());
  fs::remove(work_ / "KVX_WriteNVItem_result.txt");

  // A full disk (the console file is cut short too): the verdict is not left cut short.
  EXPECT_EQ(Run({}, LimitFilesToFiveBytes), 2);
  EXPECT_FALSE(fs::exists(work_ / "KVX_WriteNVItem_result.txt"));

  // The console's reader is gone from the start (a line script's `| head -1`).
  device.SetNvItem(453, Stored(0x10));
  EXPECT_EQ(Run({}, nullptr, true), 0);
  EXPECT_EQ(ReadFile(work_ / "KVX_WriteNVItem_result.txt"), "[WriteNVItem PASS]\r\n");
  EXPECT_EQ(device.NvItem(453)[2], 0xFF);
}

// The port found as a line machine shows it: a usb-serial ttyUSB port, a cdc-acm ttyACM port
// behind a hub, and a port without an interface string that only the udev rule names.
TEST_F(ItemsmithProgram, FindsItsPortInEachKernelLayout) {
  struct Layout {
    const char* what;
    devicesim::PortLayout layout;
    int com;
    std::string usb_path;
    bool interface_string;
    std::string udev_description;
  };
  const Layout layouts[] = {
      {"usb-serial", devicesim::PortLayout::kUsbSerial, 3, "", true, ""},
      {"cdc-acm behind a hub", devicesim::PortLayout::kCdcAcm, 101, "1.2", true, ""},
      {"named by the udev rule", devicesim::PortLayout::kUsbSerial, 5, "", false,
       "KVX Diagnostics Interface"},
  };
  const fs::path base_work = work_;
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.what);
    options_.layout = layout.layout;
    options_.com_number = layout.com;
    options_.usb_path = layout.usb_path;
    options_.write_interface_file = layout.interface_string;
    options_.udev_description = layout.udev_description;
    devicesim::VirtualDevice& device = StartDevice();
    work_ = base_work / std::to_string(layout.com);
    fs::create_directories(work_);
    WriteFile(work_ / "KVX_nvitem.txt", "NV453:1,2,ff\r\n");

    ASSERT_EQ(Run({}), 0);
    EXPECT_EQ(ReadFile(work_ / "KVX_WriteNVItem_result.txt"), "[WriteNVItem PASS]\r\n");
    EXPECT_EQ(device.NvItem(453)[2], 0xFF);
    const std::string log = ReadFile(work_ / "KVX_WriteNVItem_log.txt");
    EXPECT_NE(log.find("com port exist before eject disk _iComPort:" + std::to_string(layout.com) +
                       "\r\n"),
              std::string::npos)
        << log;
    device_.reset();
  }
}

}  // namespace
