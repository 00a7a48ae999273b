// The built linestation as a supervisor: stopped by each signal it leaves no program running
// and records every run ABORTED; killed outright it still leaves none; a relative --programs
// folder works; an empty slot is NO DEVICE. The programs it runs here are small scripts that
// stand in for itemsmith, so that a run lasts exactly as long as the test wants. And the
// --help / --version answers of both real programs touch no device.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/treesmith_harness.hpp"
#include "tests/support/eventually.hpp"
#include "tests/support/station_programs.hpp"

namespace {

namespace fs = std::filesystem;
using treesmith_e2e::Child;

pid_t PidIn(const std::string& file) {
  std::ifstream in(file);
  pid_t pid = 0;
  in >> pid;
  return pid;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class StationSupervisor : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/linestation-stop-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    fs::create_directories(base_ + "/template");
    efstool_test::CopyExample("kvx", base_ + "/template");
    std::ofstream(base_ + "/template/KVX_nvitem.txt") << "NV1:1\n";
    fs::create_directories(base_ + "/bin");
    // Two slots with something at them: a tty of the USB device at each location.
    for (const char* slot : {"1-3.1", "1-3.2"}) {
      const std::string tty = std::string("ttyUSB") + slot[4];
      const std::string device =
          base_ + "/root/sys/devices/usb1/" + slot + "/" + slot + ":1.0/" + tty;
      fs::create_directories(device);
      fs::create_directories(base_ + "/root/sys/class/tty");
      fs::create_directory_symlink(device, base_ + "/root/sys/class/tty/" + tty);
    }
  }
  void TearDown() override {
    for (const pid_t pid : strays_) kill(pid, SIGKILL);
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  void Program(const std::string& name, const std::string& script) {
    const std::string path = base_ + "/bin/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << script;
    chmod(path.c_str(), 0755);
  }

  // The station's output goes to station.txt, or with `piped` into a pipe the test reads.
  bool StartStation(Child* station, const std::vector<std::string>& extra, bool piped = false) {
    std::vector<std::string> argv = {std::string(TEST_BINARY_DIR) + "/station/linestation",
                                     "--template",
                                     "template",
                                     "--itemsmith",
                                     "--treesmith",
                                     "kvx",
                                     "--programs",
                                     "bin",
                                     "--work",
                                     "runs",
                                     "--csv",
                                     "station.csv",
                                     "--slot",
                                     "1-3.1",
                                     "--slot",
                                     "1-3.2"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return station->Start(argv, base_, {"DIAG_DEVICE_ROOT=" + base_ + "/root"},
                          piped ? "" : base_ + "/station.txt");
  }

  // Every run folder, in a batch's or a shift's naming.
  std::vector<std::string> RunFolders() {
    std::vector<std::string> folders;
    std::error_code ec;
    for (fs::directory_iterator start(base_ + "/runs", ec), end; !ec && start != end;
         start.increment(ec)) {
      for (fs::directory_iterator run(start->path(), ec); !ec && run != end; run.increment(ec))
        folders.push_back(run->path().string());
    }
    return folders;
  }

  // The run folder of a slot's itemsmith.
  std::string RunFolder(const std::string& slot) {
    std::error_code ec;
    for (fs::directory_iterator batch(base_ + "/runs", ec), end; !ec && batch != end;
         batch.increment(ec)) {
      return (batch->path() / (slot + "-itemsmith")).string();
    }
    return "";
  }

  std::vector<std::string> CsvLines() {
    std::ifstream in(base_ + "/station.csv");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::string base_;
  std::vector<pid_t> strays_;
};

// A stand-in for itemsmith that leaves a PASS at once, starts a program of its own, and then
// never ends: only a stop ends it.
const char kHangingItemsmith[] =
    "echo $$ > pid\n"
    "printf '[WriteNVItem PASS]\\r\\n' > KVX_WriteNVItem_result.txt\n"
    "printf '1. search com port before eject disk\\r\\n' > KVX_WriteNVItem_log.txt\n"
    "sleep 600 &\n"
    "echo $! > grandchild\n"
    "exec sleep 600\n";

TEST_F(StationSupervisor, EachStopSignalLeavesNoProgramAndRecordsEveryRunAborted) {
  Program("itemsmith", kHangingItemsmith);
  Program("treesmith", "exit 0\n");
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    const std::string name = signal_number == SIGINT    ? "SIGINT"
                             : signal_number == SIGTERM ? "SIGTERM"
                                                        : "SIGHUP";
    SCOPED_TRACE(name);
    fs::remove_all(base_ + "/runs");
    fs::remove(base_ + "/station.csv");
    Child station;
    ASSERT_TRUE(StartStation(&station, {}));
    std::vector<pid_t> programs;
    for (const char* slot : {"1-3.1", "1-3.2"}) {
      ASSERT_TRUE(testsupport::Eventually(
          [&] { return PidIn(RunFolder(slot) + "/grandchild") > 0; }, 20000));
      programs.push_back(PidIn(RunFolder(slot) + "/pid"));
      programs.push_back(PidIn(RunFolder(slot) + "/grandchild"));
    }
    strays_.insert(strays_.end(), programs.begin(), programs.end());
    station.Signal(signal_number);
    EXPECT_EQ(station.Wait(20000), 3);
    for (const pid_t pid : programs) {
      EXPECT_TRUE(testsupport::Eventually([&] { return testsupport::ProcessGone(pid); }))
          << "pid " << pid;
    }
    const std::vector<std::string> lines = CsvLines();
    ASSERT_EQ(lines.size(), 5u);
    for (size_t i = 1; i < lines.size(); ++i) {
      EXPECT_NE(lines[i].find(",ABORTED,"), std::string::npos) << lines[i];
      EXPECT_NE(lines[i].find(name), std::string::npos) << lines[i];
    }
    for (const char* slot : {"1-3.1", "1-3.2"}) {
      EXPECT_FALSE(fs::exists(RunFolder(slot) + "/KVX_WriteNVItem_result.txt"))
          << "a stopped run leaves no verdict";
    }
    EXPECT_NE(Slurp(base_ + "/station.txt").find("VERDICT"), std::string::npos)
        << "the final table";
  }
}

// Stand-ins for both programs that take a second, then leave a PASS and a mark of their end.
const char kSlowPassingItemsmith[] =
    "touch started\nsleep 1\nprintf '[WriteNVItem PASS]\\r\\n' > KVX_WriteNVItem_result.txt\n"
    "touch finished\n";
const char kSlowPassingTreesmith[] =
    "touch started\nsleep 1\nprintf PASS > Kvx_treesmith_Result.txt\ntouch finished\n";

// A line script's `| head -1`, or a `| tee` that the first Ctrl-C ended too: once nobody reads
// the station's output, the table goes nowhere, and every run still ends and is recorded, in a
// batch as in a shift (stopped there with that Ctrl-C while the last runs go on).
TEST_F(StationSupervisor, AClosedConsoleLosesTheTableNeverARunOrARecord) {
  Program("itemsmith", kSlowPassingItemsmith);
  Program("treesmith", kSlowPassingTreesmith);
  for (const bool shift : {false, true}) {
    SCOPED_TRACE(shift ? "shift" : "batch");
    fs::remove_all(base_ + "/runs");
    fs::remove(base_ + "/station.csv");
    Child station;
    ASSERT_TRUE(StartStation(
        &station, shift ? std::vector<std::string>{"--continuous"} : std::vector<std::string>{},
        true));
    ASSERT_TRUE(station.WaitForOutput("\n"));
    station.CloseOutput();
    if (shift) {
      // Both slots' treesmith runs have started: after them nothing more is due.
      ASSERT_TRUE(testsupport::Eventually(
          [&] {
            int started = 0;
            for (const std::string& folder : RunFolders())
              started += fs::exists(folder + "/started");
            return started == 4;
          },
          20000));
      station.Signal(SIGINT);
    }
    EXPECT_EQ(station.Wait(20000), 0);
    const std::vector<std::string> lines = CsvLines();
    ASSERT_EQ(lines.size(), 5u);
    for (size_t i = 1; i < lines.size(); ++i)
      EXPECT_NE(lines[i].find(",PASS,"), std::string::npos) << lines[i];
    const std::vector<std::string> folders = RunFolders();
    EXPECT_EQ(folders.size(), 4u);
    for (const std::string& folder : folders) {
      EXPECT_TRUE(fs::exists(folder + "/finished")) << folder << ": the run was cut short";
      EXPECT_TRUE(fs::exists(folder + "/console.txt")) << folder;
    }
  }
}

TEST_F(StationSupervisor, KilledOutrightItLeavesNoProgramRunning) {
  Program("itemsmith", "echo $$ > pid\nexec sleep 600\n");
  Program("treesmith", "exit 0\n");
  Child station;
  ASSERT_TRUE(StartStation(&station, {}));
  std::vector<pid_t> programs;
  for (const char* slot : {"1-3.1", "1-3.2"}) {
    ASSERT_TRUE(
        testsupport::Eventually([&] { return PidIn(RunFolder(slot) + "/pid") > 0; }, 20000));
    programs.push_back(PidIn(RunFolder(slot) + "/pid"));
  }
  strays_.insert(strays_.end(), programs.begin(), programs.end());
  station.Signal(SIGKILL);
  station.Wait(20000);
  for (const pid_t pid : programs) {
    EXPECT_TRUE(testsupport::Eventually([&] { return testsupport::ProcessGone(pid); }))
        << "pid " << pid;
  }
}

TEST_F(StationSupervisor, RelativeProgramsFolderAndAnEmptySlot) {
  Program("itemsmith", "printf '[WriteNVItem PASS]\\r\\n' > KVX_WriteNVItem_result.txt\n");
  Program("treesmith", "printf PASS > Kvx_treesmith_Result.txt\n");
  Child station;
  ASSERT_TRUE(StartStation(&station, {"--slot", "1-9.9", "--presence-wait", "0"}));
  EXPECT_EQ(station.Wait(20000), 1);
  const std::vector<std::string> lines = CsvLines();
  ASSERT_EQ(lines.size(), 7u);
  for (size_t i = 1; i < lines.size(); ++i) {
    const bool empty_slot = lines[i].find(",1-9.9,") != std::string::npos;
    EXPECT_NE(lines[i].find(empty_slot ? ",NO DEVICE," : ",PASS,"), std::string::npos) << lines[i];
  }
  EXPECT_FALSE(fs::exists(RunFolder("1-9.9"))) << "nothing ran on the empty slot";
}

TEST_F(StationSupervisor, ASetUpMistakeIsOneLineOnStandardErrorAndStartsNothing) {
  Program("itemsmith", "echo ran > ran\n");
  Program("treesmith", "echo ran > ran\n");
  fs::remove_all(base_ + "/template/SMS");
  Child station;
  ASSERT_TRUE(
      station.Start({"/bin/sh", "-c", "exec \"$@\" 2>errors.txt", "sh",
                     std::string(TEST_BINARY_DIR) + "/station/linestation", "--template",
                     "template", "--treesmith", "KVX", "--programs", "bin", "--slot", "1-3.1"},
                    base_, {"DIAG_DEVICE_ROOT=" + base_ + "/root"}, base_ + "/station.txt"));
  EXPECT_EQ(station.Wait(20000), 2);
  EXPECT_EQ(Slurp(base_ + "/errors.txt"), "linestation: the template " + base_ +
                                              "/template has no SMS, which treesmith kvx needs\n");
  EXPECT_EQ(Slurp(base_ + "/station.txt"), "");
  EXPECT_FALSE(fs::exists(base_ + "/linestation.csv"));
  EXPECT_FALSE(fs::exists(base_ + "/station-runs"));
}

// The two programs with options read them by the same rules: a value joined with '=' or
// following, and a mistake named in one line on standard error, exit code 2, nothing started.
TEST_F(StationSupervisor, AnOptionMistakeIsOneLineNamingIt) {
  const struct {
    const char* program;
    std::vector<std::string> args;
    const char* named;
  } cases[] = {
      {"station/linestation", {"--no-such-option"}, "--no-such-option"},
      {"station/linestation", {"--slot=1-1", "--template", "t", "--limit=9x"}, "--limit"},
      {"station/linestation",
       {"--slot", "1-1", "--treesmith", "kvx", "--treesmith=vexa"},
       "--treesmith"},
      {"devicesim/diagsim", {"--no-such-option"}, "--no-such-option"},
      {"devicesim/diagsim", {"--root=device", "--com=256"}, "--com"},
      {"devicesim/diagsim", {"--root", "device", "--verbose=no"}, "verbose"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> command = {"/bin/sh", "-c", "exec \"$@\" 2>errors.txt", "sh",
                                        std::string(TEST_BINARY_DIR) + "/" + c.program};
    command.insert(command.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(command.back());
    Child child;
    ASSERT_TRUE(child.Start(command, base_, {}, base_ + "/out.txt"));
    EXPECT_EQ(child.Wait(20000), 2);
    const std::string errors = Slurp(base_ + "/errors.txt");
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_NE(errors.find(c.named), std::string::npos) << errors;
    EXPECT_EQ(Slurp(base_ + "/out.txt"), "");
  }
  EXPECT_FALSE(fs::exists(base_ + "/device"));
  EXPECT_FALSE(fs::exists(base_ + "/station-runs"));
}

TEST_F(StationSupervisor, TheProgramsQuestionsTouchNoDevice) {
  // diagsim tells every request it receives on its error output.
  Child device;
  ASSERT_TRUE(device.Start(
      {"/bin/sh", "-c", "exec \"$0\" --root \"$1\" --com 5 --usb-location 1-3.3 --verbose 2>&1",
       std::string(TEST_BINARY_DIR) + "/devicesim/diagsim", base_ + "/device"},
      "", {}, ""));
  ASSERT_TRUE(device.WaitForOutput("diagsim: serving COM5"));
  fs::create_directories(base_ + "/work");
  const std::vector<std::string> env = {"DIAG_DEVICE_ROOT=" + base_ + "/device"};
  for (const char* program : {"nvtool/itemsmith", "efstool/treesmith"}) {
    for (const char* question : {"--help", "-h", "--version"}) {
      SCOPED_TRACE(std::string(program) + " " + question);
      Child asked;
      ASSERT_TRUE(asked.Start({std::string(TEST_BINARY_DIR) + "/" + program, question},
                              base_ + "/work", env, base_ + "/answer.txt"));
      EXPECT_EQ(asked.Wait(20000), 0);
      const std::string answer = Slurp(base_ + "/answer.txt");
      EXPECT_EQ(answer.rfind(question[2] == 'v' ? fs::path(program).filename().string() + " "
                                                : std::string("usage: "),
                             0),
                0u)
          << answer;
      EXPECT_TRUE(fs::is_empty(base_ + "/work")) << "no file written";
    }
  }
  EXPECT_FALSE(device.WaitForOutput("diagsim: request", 300)) << device.output();
  // The same device does see a run: the silence above is the programs', not the channel's.
  Child run;
  ASSERT_TRUE(run.Start({std::string(TEST_BINARY_DIR) + "/efstool/treesmith", "--DeleteDLFile"},
                        base_ + "/work", env, base_ + "/answer.txt"));
  EXPECT_EQ(run.Wait(60000), 0);
  EXPECT_TRUE(device.WaitForOutput("diagsim: request", 5000));
  device.Signal(SIGTERM);
  device.Wait(20000);
}

}  // namespace
