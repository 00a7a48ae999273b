// The Windows OS adapter run for real: built with the 32-bit MinGW toolchain and run under Wine
// by tests/windows/run.sh, which serves the virtual device on COM<DIAG_WINE_COM> and registers
// that port in the serial-port list and as a USB device with a COM-port interface.
#include <windows.h>
#undef FindFirstFile

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/diag_frame.hpp"
#include "platform/child_process.hpp"
#include "platform/clock.hpp"
#include "platform/com_port.hpp"
#include "platform/command_line.hpp"
#include "platform/device_discovery.hpp"
#include "platform/files.hpp"
#include "platform/find_file.hpp"
#include "platform/processes.hpp"
#include "platform/serial_registry.hpp"
#include "platform/usb_slots.hpp"

namespace {

using platform::kMaxDword;

int g_argc = 0;
char** g_argv = nullptr;

int DevicePort() {
  const char* text = std::getenv("DIAG_WINE_COM");
  return text != nullptr ? std::atoi(text) : 0;
}

std::string Env(const char* name) {
  const char* text = std::getenv(name);
  return text != nullptr ? text : "";
}

// A fresh folder under the Windows temporary folder, removed with its content afterwards.
class TempFolder {
 public:
  TempFolder() {
    char base[MAX_PATH] = {};
    GetTempPathA(sizeof base, base);
    path_ = std::string(base) + "platform-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(counter_++);
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TempFolder() { RemoveTree(path_); }
  std::string At(const std::string& relative) const { return path_ + "\\" + relative; }
  void Write(const std::string& relative, const std::string& bytes) const {
    HANDLE h =
        CreateFileA(At(relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << relative;
    DWORD n = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    CloseHandle(h);
  }
  void MakeDir(const std::string& relative) const {
    CreateDirectoryA(At(relative).c_str(), nullptr);
  }

 private:
  static void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA((path + "\\*").c_str(), &data);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(path + "\\" + name);
        } else {
          DeleteFileA((path + "\\" + name).c_str());
        }
      } while (FindNextFileA(h, &data));
      FindClose(h);
    }
    RemoveDirectoryA(path.c_str());
  }
  static inline int counter_ = 0;
  std::string path_;
};

std::string ReadBytes(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return "(missing)";
  std::string bytes;
  char buffer[512];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
  std::fclose(f);
  return bytes;
}

TEST(Files, OutputFileIsUnbufferedAndTruncatesAndRemovalWorks) {
  TempFolder dir;
  const std::string name = dir.At("result.txt");
  dir.Write("result.txt", "an older, longer verdict");
  {
    auto file = platform::CreateOutputFile(name);
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Write("[WriteNVItem PASS]\r\n", 20));
    uint32_t size = 0;
    ASSERT_TRUE(platform::LocalFileSize(name, &size));
    EXPECT_EQ(size, 20u);
    // Others may read the file while it is being written.
    EXPECT_EQ(ReadBytes(name), "[WriteNVItem PASS]\r\n");
  }
  EXPECT_TRUE(platform::RemoveFile(name));
  EXPECT_TRUE(platform::RemoveFile(name)) << "no file of that name is left";
  uint32_t size = 0;
  EXPECT_FALSE(platform::LocalFileSize(name, &size));
  EXPECT_EQ(platform::CreateOutputFile(dir.At("no\\such\\folder.txt")), nullptr);
}

TEST(Files, SharedTextStreamWritesCrLfAndLetsOthersRead) {
  TempFolder dir;
  const std::string name = dir.At("run.log");
  std::FILE* log = platform::OpenSharedStream(name, "w+");
  ASSERT_NE(log, nullptr);
  std::fputs("treesmith version: 20120903 \n", log);
  std::fflush(log);
  // Text mode: a line end on Windows is CR LF on disk; the file is readable while open.
  EXPECT_EQ(ReadBytes(name), "treesmith version: 20120903 \r\n");
  std::fclose(log);
}

TEST(FindFile, DotsFirstThenEveryEntryWithFolderBits) {
  TempFolder dir;
  dir.MakeDir("ui");
  dir.Write("ui\\b.htm", "b");
  dir.Write("ui\\A.css", "a");
  dir.MakeDir("ui\\img");
  std::vector<platform::FoundFile> found;
  platform::FoundFile entry;
  auto search = platform::FindFirstFile(dir.At("ui") + "\\*.*", &entry);
  ASSERT_NE(search, nullptr);
  do {
    found.push_back(entry);
  } while (search->Next(&entry));
  ASSERT_EQ(found.size(), 5u);
  EXPECT_EQ(found[0].name, ".");
  EXPECT_EQ(found[1].name, "..");
  std::vector<std::string> names;
  for (size_t i = 2; i < found.size(); ++i) names.push_back(found[i].name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"A.css", "b.htm", "img"}));
  for (const auto& f : found) {
    const bool folder = f.name == "." || f.name == ".." || f.name == "img";
    EXPECT_EQ((f.attributes & platform::kFileAttributeDirectory) != 0, folder) << f.name;
  }
  platform::FoundFile first;
  EXPECT_EQ(platform::FindFirstFile(dir.At("nothere") + "\\*.*", &first), nullptr);
}

TEST(Clock, TickCountFollowsPausesAndLocalTimeIsSane) {
  platform::Clock& clock = platform::RealClock();
  const uint32_t start = clock.TickCount();
  clock.Pause(100);
  const uint32_t passed = clock.TickCount() - start;
  EXPECT_GE(passed, 80u);  // the tick count moves in steps of some milliseconds
  EXPECT_LT(passed, 5000u);
  const platform::LocalTime now = clock.Now();
  EXPECT_GE(now.year, 2020);
  EXPECT_TRUE(now.month >= 1 && now.month <= 12);
  EXPECT_TRUE(now.day >= 1 && now.day <= 31);
  EXPECT_TRUE(now.hour >= 0 && now.hour <= 23 && now.minute <= 59 && now.second <= 60);
  uint32_t given = 0;
  EXPECT_TRUE(clock.Wait(250, [&](uint32_t real_ms) {
    given = real_ms;
    return true;
  }));
  EXPECT_EQ(given, 250u);
}

TEST(CommandLine, WideArgumentsAfterTheProgramName) {
  // run.sh passes these two after the test flags, which InitGoogleTest has taken out.
  const std::vector<std::wstring> args = platform::CommandLineArguments(g_argc, g_argv);
  ASSERT_GE(args.size(), 2u);
  EXPECT_EQ(args[args.size() - 2], L"--DeleteDLFile");
  EXPECT_EQ(args.back(), L"Gr\u00FC\u00DFe mit Leerzeichen");
}

TEST(Processes, OwnExecutableIsListedByNameOnly) {
  std::vector<std::wstring> names;
  ASSERT_TRUE(platform::ListProcessNames(&names));
  EXPECT_NE(std::find(names.begin(), names.end(), L"platform_win32_test.exe"), names.end());
  for (const auto& name : names) EXPECT_EQ(name.find(L'\\'), std::wstring::npos);
}

bool TovikServerRuns() {
  std::vector<std::wstring> names;
  return platform::ListProcessNames(&names) &&
         std::find(names.begin(), names.end(), L"TovikServer.exe") != names.end();
}

// The helper half of the test below, run in a process of its own: it starts TovikServer.exe
// (which runs for two minutes) through the adapter and, once it runs, ends abruptly, as a
// station killed from the task manager would, without stopping its child.
TEST(ChildProcess, DISABLED_StartsAChildAndEndsAbruptly) {
  const std::string folder = platform::OwnProgramFolder();
  const std::string ready = Env("LINETOOLS_CHILD_READY");
  ASSERT_FALSE(ready.empty());
  platform::ChildSpec launch_request;
  launch_request.program = platform::ProgramFile(folder, "TovikServer");
  launch_request.arguments = {ready};
  launch_request.working_folder = folder;
  launch_request.output_file = folder + "\\tovik-console.txt";
  std::string error;
  std::unique_ptr<platform::ChildProcess> child = platform::StartChild(launch_request, &error);
  ASSERT_NE(child, nullptr) << error;
  for (int i = 0; i < 400 && GetFileAttributesA(ready.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(50);
  TerminateProcess(GetCurrentProcess(), 0);
}

TEST(ChildProcess, NothingOutlivesTheRunnerThatStartedIt) {
  ASSERT_FALSE(TovikServerRuns()) << "a TovikServer.exe from elsewhere";
  TempFolder temp;
  const std::string ready = temp.At("ready.flag");
  SetEnvironmentVariableA("LINETOOLS_CHILD_READY", ready.c_str());
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string line = std::string("\"") + self +
                     "\" --gtest_also_run_disabled_tests "
                     "--gtest_filter=ChildProcess.DISABLED_StartsAChildAndEndsAbruptly";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessA(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &info));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 60000), WAIT_OBJECT_0);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  ASSERT_NE(GetFileAttributesA(ready.c_str()), INVALID_FILE_ATTRIBUTES) << "the child ran";
  // Its job's last handle closed with the runner: the child goes at once, not after its two
  // minutes.
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    gone = !TovikServerRuns();
    if (!gone) Sleep(50);
  }
  EXPECT_TRUE(gone);
}

TEST(SerialPortList, HoldsTheMappedPort) {
  ASSERT_GT(DevicePort(), 0) << "DIAG_WINE_COM names the device's port";
  std::vector<std::string> entries;
  ASSERT_TRUE(platform::ReadSerialPortList(&entries));
  const std::string wanted = "COM" + std::to_string(DevicePort());
  EXPECT_NE(std::find(entries.begin(), entries.end(), wanted), entries.end());
}

TEST(ComPortDevices, RegisteredUsbPortIsListedWithItsTexts) {
  auto discovery = platform::MakeDeviceDiscovery();
  uint32_t error = 0;
  auto set = discovery->ComPorts(&error);
  ASSERT_NE(set, nullptr) << error;
  const std::string description = Env("DIAG_WINE_DESCRIPTION");
  const std::wstring want_description(description.begin(), description.end());
  const std::wstring want_friendly =
      want_description + L" (COM" + std::to_wstring(DevicePort()) + L")";
  bool seen = false;
  for (uint32_t i = 0; i < 64 && set->Enumerate(i); ++i) {
    std::wstring text, friendly;
    if (!set->DeviceDescription(i, &text) || text != want_description) continue;
    ASSERT_TRUE(set->FriendlyName(i, &friendly));
    EXPECT_EQ(friendly, want_friendly);
    seen = true;
  }
  EXPECT_TRUE(seen);
  EXPECT_NE(discovery->CdromInterfaces(&error), nullptr) << "an empty set, not a failure";
}

// A pin that cannot name a slot hides every port and CD-ROM, and says why; unset, the device's
// port is back. None of these pins needs the device tree, so Wine's own answers do.
TEST(PinnedRun, APinThatCannotNameASlotShowsNothing) {
  struct Pin {
    std::wstring value;
    const char* why;
  };
  const std::vector<Pin> pins = {
      {L"", "is set but empty"},
      {std::wstring(1100, L'A'), "is longer than 1023 characters"},
      {std::wstring(1024, L'B'), "is longer than 1023 characters"},
      {L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)#USBMI(0)", "names a USB interface"},
      {L"PCIROOT(0)#PCI(1400", "is not a USB location"},
  };
  auto discovery = platform::MakeDeviceDiscovery();
  for (const Pin& pin : pins) {
    SCOPED_TRACE(pin.why);
    ASSERT_TRUE(SetEnvironmentVariableW(L"DIAG_USB_LOCATION", pin.value.c_str()));
    const platform::UsbPin read = platform::ReadUsbPin();
    EXPECT_EQ(read.state, platform::UsbPin::State::kRefused);
    EXPECT_NE(read.refusal.find(pin.why), std::string::npos) << read.refusal;
    std::vector<std::string> entries{"stale"};
    EXPECT_TRUE(platform::ReadSerialPortList(&entries));
    EXPECT_TRUE(entries.empty());
    uint32_t error = 0;
    auto ports = discovery->ComPorts(&error);
    ASSERT_NE(ports, nullptr);
    EXPECT_FALSE(ports->Enumerate(0));
    auto cdroms = discovery->CdromInterfaces(&error);
    ASSERT_NE(cdroms, nullptr);
    EXPECT_FALSE(cdroms->EnumerateInterface(0, &error));
    EXPECT_EQ(error, platform::kErrorNoMoreItems);
  }
  ASSERT_TRUE(SetEnvironmentVariableW(L"DIAG_USB_LOCATION", nullptr));
  EXPECT_EQ(platform::ReadUsbPin().state, platform::UsbPin::State::kUnpinned);
  std::vector<std::string> entries;
  EXPECT_TRUE(platform::ReadSerialPortList(&entries));
  EXPECT_NE(std::find(entries.begin(), entries.end(), "COM" + std::to_string(DevicePort())),
            entries.end());
}

// The port of the virtual device, opened as the two tools open it.
class DevicePortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GT(DevicePort(), 0); }

  void Configure(platform::ComPort& port, const platform::CommTimeouts& timeouts) {
    ASSERT_TRUE(port.Setup(4096, 4096));
    ASSERT_TRUE(port.SetTimeouts(timeouts));
    platform::CommTimeouts back;
    ASSERT_TRUE(port.GetTimeouts(&back));
    EXPECT_EQ(back.ReadTotalTimeoutConstant, timeouts.ReadTotalTimeoutConstant);
    platform::LineSettings s;
    ASSERT_TRUE(port.GetState(&s));
    s.BaudRate = 115200;
    s.ByteSize = 8;
    s.fDtrControl = platform::kDtrControlDisable;
    s.fRtsControl = platform::kRtsControlEnable;
    ASSERT_TRUE(port.SetState(s));
    platform::LineSettings again;
    ASSERT_TRUE(port.GetState(&again));
    EXPECT_EQ(again.BaudRate, 115200u);
    // RTS and DTR are not set here: a pseudo-terminal has no modem lines, so Wine refuses them.
    ASSERT_TRUE(port.Purge(platform::kPurgeTxAbort | platform::kPurgeRxAbort |
                           platform::kPurgeTxClear | platform::kPurgeRxClear));
  }

  // Sends a version request and gathers the answer up to its closing flag.
  std::vector<uint8_t> VersionExchange(platform::ComPort& port, bool wait_first) {
    const uint8_t packet[1] = {0x00};
    uint8_t frame[16];
    const size_t length = common::EncodeFrame(packet, 1, frame, sizeof frame);
    uint32_t written = 0;
    EXPECT_TRUE(port.Write(frame, static_cast<uint32_t>(length), &written));
    EXPECT_EQ(written, length);
    std::vector<uint8_t> reply;
    for (int reads = 0; reads < 200 && (reply.empty() || reply.back() != 0x7E); ++reads) {
      if (wait_first && !port.WaitReadable(2000)) continue;
      uint8_t buffer[2048];
      uint32_t got = 0;
      if (!port.Read(buffer, sizeof buffer, &got)) break;
      reply.insert(reply.end(), buffer, buffer + got);
    }
    return reply;
  }

  static void ExpectVersionAnswer(const std::vector<uint8_t>& reply) {
    ASSERT_GE(reply.size(), 4u);
    EXPECT_EQ(reply.back(), 0x7E);
    std::vector<uint8_t> packet(reply.size());
    const size_t n =
        common::UnescapeBytes(reply.data(), reply.size() - 1, packet.data(), packet.size());
    ASSERT_GE(n, 3u);
    EXPECT_EQ(packet[0], 0x00) << "the answer carries the request's command code";
    EXPECT_TRUE(common::CrcResidueGood(packet.data(), n));
  }
};

TEST_F(DevicePortTest, BlockingPortAsTheNvWriterUsesIt) {
  auto port = platform::MakeComPort(platform::RealClock());
  ASSERT_EQ(port->Open(DevicePort(), platform::IoMode::kBlocking), 0u);
  ASSERT_NO_FATAL_FAILURE(Configure(*port, {kMaxDword, kMaxDword, 500, 1, 50}));
  ExpectVersionAnswer(VersionExchange(*port, false));
  // Nothing more comes: a read returns empty after its time-out.
  uint8_t buffer[64];
  uint32_t got = 1;
  EXPECT_TRUE(port->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  port->Close();
  EXPECT_FALSE(port->IsOpen());
}

TEST_F(DevicePortTest, OverlappedPortAsTheLibraryUsesIt) {
  auto port = platform::MakeComPort(platform::RealClock());
  ASSERT_EQ(port->Open(DevicePort(), platform::IoMode::kOverlapped), 0u);
  ASSERT_NO_FATAL_FAILURE(Configure(*port, {kMaxDword, 0, 0, 1, 50}));
  ExpectVersionAnswer(VersionExchange(*port, true));
  // Poll-only time-outs on an idle line: the read gives nothing, and it ends (Windows ends it at
  // once; Wine leaves it pending and the adapter gives up after its margin).
  uint8_t buffer[64];
  uint32_t got = 1;
  const auto start = std::chrono::steady_clock::now();
  port->Read(buffer, sizeof buffer, &got);
  EXPECT_EQ(got, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

// The library reader's wait without a time-out: a wake-up ends it (given before it starts or
// while it waits), an answer ends it with input to read, and a quiet line gives neither input
// nor a failure.
TEST_F(DevicePortTest, TheReadersUntimedWaitEndsOnAWakeUpOrAnAnswer) {
  auto port = platform::MakeComPort(platform::RealClock());
  ASSERT_EQ(port->Open(DevicePort(), platform::IoMode::kOverlapped), 0u);
  ASSERT_NO_FATAL_FAILURE(Configure(*port, {kMaxDword, 0, 0, 1, 50}));
  port->Wake();
  EXPECT_FALSE(port->WaitReadableOrWoken());
  EXPECT_EQ(port->LastError(), 0u);

  std::atomic<int> ended{-1};  // 1 readable, 0 woken, 2 failed
  auto wait = [&] {
    const bool readable = port->WaitReadableOrWoken();
    ended = readable ? 1 : (port->LastError() == 0 ? 0 : 2);
  };
  std::thread waiter(wait);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Wine's comm-event wait on a pseudo-terminal also ends now and then without a character; the
  // adapter reports that as a wake-up, which the reader answers by waiting again. What a quiet
  // line never gives is input to read or a failure.
  if (ended.load() == 0) {
    waiter.join();
    ended = -1;
    waiter = std::thread(wait);
  }
  EXPECT_NE(ended.load(), 1) << "a quiet line gives nothing to read";
  EXPECT_NE(ended.load(), 2) << "a quiet line is no failure";
  port->Wake();
  for (int i = 0; i < 1000 && ended.load() < 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (ended.load() < 0) {
    ADD_FAILURE() << "Wake did not end the wait within 10 s";
    std::fflush(stdout);
    std::_Exit(1);
  }
  waiter.join();
  EXPECT_EQ(ended.load(), 0);

  // The version request's answer ends the next wait with input to read.
  const uint8_t packet[1] = {0x00};
  uint8_t frame[16];
  const size_t length = common::EncodeFrame(packet, 1, frame, sizeof frame);
  uint32_t written = 0;
  ASSERT_TRUE(port->Write(frame, static_cast<uint32_t>(length), &written));
  // As the reader does, a wait that ends without input is made again.
  bool readable = false;
  for (int i = 0; i < 20 && !readable; ++i) readable = port->WaitReadableOrWoken();
  EXPECT_TRUE(readable);
  uint8_t buffer[2048];
  uint32_t got = 0;
  EXPECT_TRUE(port->Read(buffer, sizeof buffer, &got));
  EXPECT_GT(got, 0u);
  port->Close();
}

TEST_F(DevicePortTest, OpenFailuresAndCallsOnAClosedPort) {
  auto port = platform::MakeComPort(platform::RealClock());
  EXPECT_NE(port->Open(DevicePort() + 1, platform::IoMode::kOverlapped), 0u) << "an unmapped port";
  EXPECT_FALSE(port->IsOpen());
  ASSERT_EQ(port->Open(DevicePort(), platform::IoMode::kOverlapped), 0u);
  port->Close();
  uint8_t buffer[4];
  uint32_t got = 0;
  EXPECT_FALSE(port->Read(buffer, sizeof buffer, &got));
  EXPECT_FALSE(port->Setup(4096, 4096));
  // Closed ports open again.
  ASSERT_EQ(port->Open(DevicePort(), platform::IoMode::kOverlapped), 0u);
  EXPECT_TRUE(port->IsOpen());
}

// The library's reader loop on a line where nothing comes: wait, read what came, until the port
// is closed from another thread. Close must end it, whatever the wait was doing.
void ExpectCloseEndsAnIdleReader(int com) {
  auto port = platform::MakeComPort(platform::RealClock());
  ASSERT_EQ(port->Open(com, platform::IoMode::kOverlapped), 0u);
  ASSERT_TRUE(port->Setup(4096, 4096));
  ASSERT_TRUE(port->SetTimeouts({kMaxDword, 0, 0, 1, 50}));
  std::atomic<bool> ended{false};
  std::atomic<int> data{0};
  std::thread reader([&] {
    while (port->IsOpen()) {
      if (!port->WaitReadableOrWoken()) continue;
      uint8_t buffer[256];
      uint32_t got = 0;
      if (port->Read(buffer, sizeof buffer, &got)) data += static_cast<int>(got);
    }
    ended = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::thread closer([&] { port->Close(); });
  for (int i = 0; i < 1000 && !ended.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!ended.load()) {
    // The threads cannot be joined; end the program so that the run fails instead of hanging.
    ADD_FAILURE() << "Close did not end the reader on COM" << com << " within 10 s";
    std::fflush(stdout);
    std::_Exit(1);
  }
  closer.join();
  reader.join();
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(data.load(), 0) << "nothing was sent on an idle line";
}

TEST_F(DevicePortTest, CloseEndsAReaderWaitingOnTheDevicesIdleLine) {
  ExpectCloseEndsAnIdleReader(DevicePort());
}

// A real serial line, where a comm-event wait stays pending until it is ended: run.sh names it
// when Wine mapped one.
TEST(RealSerialLine, CloseEndsAReaderWaitingOnAnIdleLine) {
  const int com = std::atoi(Env("DIAG_WINE_REAL_COM").c_str());
  if (com <= 0) GTEST_SKIP() << "no real serial line mapped";
  ExpectCloseEndsAnIdleReader(com);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  g_argc = argc;
  g_argv = argv;
  return RUN_ALL_TESTS();
}
