// linestation --continuous against devices plugged and pulled by the test: three slots, three
// diagsim devices each, one after the other, each with its own serial number, NV item and file
// system: every device is recorded once per program under its serial number and ends with the
// station's content beside exactly its own, also the one left in its slot long after its
// verdict. Then, with a stand-in program whose run lasts as long as the test wants: a device
// pulled mid-run is "device removed" and the slot serves the next, and a stop mid-run leaves no
// program running.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/treesmith_harness.hpp"
#include "tests/integration/efstool/efs_tree.hpp"
#include "tests/support/eventually.hpp"
#include "tests/support/station_records.hpp"
#include "tests/support/station_programs.hpp"

namespace {

namespace fs = std::filesystem;
using treesmith_e2e::Child;

const char kList[] = "NV20:11,22\nNV453:1\n";
const std::map<int, std::string> kListed = {
    {20, "11 22 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {453, "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"}};

std::string Location(int slot) { return "1-5." + std::to_string(slot); }
std::string Serial(int slot, int device) {
  return "SN" + std::to_string(slot) + std::to_string(device);
}

// The device's own item, which no run touches: NV7000 holding slot and device.
std::string OwnValue(int slot, int device) {
  char text[64];
  std::snprintf(text, sizeof text, "%d%d 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", slot,
                device);
  return text;
}

size_t LinesFor(const std::string& file, const std::string& serial) {
  size_t n = 0;
  for (const auto& fields : testsupport::CsvRecords(file))
    n += fields.size() == 10 && fields[9] == serial;
  return n;
}

class Shift : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/linestation-shift-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    root_ = base_ + "/root";
    fs::create_directories(root_);
    fs::create_directories(base_ + "/template");
    efstool_test::CopyExample("kvx", base_ + "/template");
    std::ofstream(base_ + "/template/KVX_nvitem.txt") << kList;
    fs::create_directories(base_ + "/bin");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  // A device plugged into `slot`: the example tree plus a file of its own, its own item.
  std::unique_ptr<Child> Plug(int slot, int device) {
    return PlugAs(slot, device, {"--usb-serial", Serial(slot, device)});
  }
  // The same with `identity` for its serial number options ({} for none).
  std::unique_ptr<Child> PlugAs(int slot, int device, const std::vector<std::string>& identity) {
    const std::string tag = std::to_string(slot) + std::to_string(device);
    const std::string before = base_ + "/before" + tag;
    fs::remove_all(before);
    fs::remove_all(Dump(slot, device));
    fs::copy(efstool_test::ExamplePath("device-before"), before, fs::copy_options::recursive);
    fs::create_directories(before + "/own");
    std::ofstream(before + "/own/device.txt") << "device " << tag;
    auto child = std::make_unique<Child>();
    std::vector<std::string> argv = {std::string(TEST_BINARY_DIR) + "/devicesim/diagsim",
                                     "--root",
                                     root_,
                                     "--com",
                                     std::to_string(30 + slot),
                                     "--usb-location",
                                     Location(slot),
                                     "--efs-load",
                                     before,
                                     "--efs-dump",
                                     Dump(slot, device),
                                     "--report",
                                     "--nv-set",
                                     "7000:" + OwnValue(slot, device).substr(0, 2)};
    argv.insert(argv.end(), identity.begin(), identity.end());
    const bool cdrom = std::find(identity.begin(), identity.end(), "--cdrom") != identity.end();
    const bool started = child->Start(argv, "", {}, "") &&
                         child->WaitForOutput(cdrom ? "diagsim: CD-ROM" : "diagsim: serving COM");
    EXPECT_TRUE(started);
    return child;
  }
  std::string Dump(int slot, int device) const {
    return base_ + "/dump" + std::to_string(slot) + std::to_string(device);
  }

  bool StartStation(Child* station, const std::vector<std::string>& programs,
                    const std::vector<int>& slots, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {std::string(TEST_BINARY_DIR) + "/station/linestation",
                                     "--continuous",
                                     "--template",
                                     base_ + "/template",
                                     "--programs",
                                     base_ + "/bin",
                                     "--work",
                                     base_ + "/runs",
                                     "--csv",
                                     Csv(),
                                     "--limit",
                                     "120"};
    argv.insert(argv.end(), programs.begin(), programs.end());
    argv.insert(argv.end(), extra.begin(), extra.end());
    for (const int slot : slots) argv.insert(argv.end(), {"--slot", Location(slot)});
    return station->Start(argv, base_, {"DIAG_DEVICE_ROOT=" + root_}, base_ + "/station.txt");
  }
  std::string Csv() const { return base_ + "/shift.csv"; }

  void Program(const std::string& name, const std::string& script) {
    const std::string path = base_ + "/bin/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << script;
    chmod(path.c_str(), 0755);
  }

  std::string base_, root_;
};

TEST_F(Shift, NineDevicesOnThreeSlotsEachRecordedOnceWithItsOwnContent) {
  testsupport::LinkStationPrograms(base_ + "/bin");
  Child station;
  ASSERT_TRUE(StartStation(&station, {"--itemsmith", "--treesmith", "kvx"}, {1, 2, 3}, {}));

  // Each slot on its own thread, as operators at different slots; only outcomes leave them.
  struct Outcome {
    std::map<int, std::string> items;
    std::map<std::string, std::string> tree;
    int exit_code = -1;
    bool recorded = false;
  };
  std::map<std::string, Outcome> outcomes;
  std::mutex outcomes_lock;  // guards outcomes
  auto operate = [&](int slot) {
    for (int device = 1; device <= 3; ++device) {
      std::unique_ptr<Child> plugged = Plug(slot, device);
      Outcome outcome;
      outcome.recorded = testsupport::Eventually(
          [&] { return LinesFor(Csv(), Serial(slot, device)) == 2; }, 60000);
      // The first device of slot 1 stays in long after its verdict: it must not run again.
      if (slot == 1 && device == 1) std::this_thread::sleep_for(std::chrono::seconds(2));
      plugged->Signal(SIGTERM);
      plugged->WaitForOutput("diagsim: stopped");
      outcome.exit_code = plugged->Wait();
      outcome.items = testsupport::ReportedItems(plugged->output());
      outcome.tree = efstool_test::ReadTree(Dump(slot, device));
      std::lock_guard<std::mutex> hold(outcomes_lock);
      outcomes[Serial(slot, device)] = outcome;
    }
  };
  std::vector<std::thread> operators;
  for (int slot = 1; slot <= 3; ++slot) operators.emplace_back(operate, slot);
  for (std::thread& t : operators) t.join();
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(), 0);

  const auto records = testsupport::CsvRecords(Csv());
  EXPECT_EQ(records.size(), 18u);
  std::map<std::string, int> lines_of;
  for (const auto& fields : records) {
    ASSERT_EQ(fields.size(), 10u);
    EXPECT_EQ(fields[5], "PASS") << fields[3] << " " << fields[7];
    ++lines_of[fields[9] + " " + fields[3] + " " + fields[2]];
  }
  auto tree = efstool_test::ReadTree(efstool_test::ExamplePath("expected/kvx"));
  for (int slot = 1; slot <= 3; ++slot) {
    for (int device = 1; device <= 3; ++device) {
      const std::string serial = Serial(slot, device);
      SCOPED_TRACE(serial);
      EXPECT_EQ(lines_of[serial + " itemsmith " + Location(slot)], 1);
      EXPECT_EQ(lines_of[serial + " treesmith " + Location(slot)], 1);
      const Outcome& outcome = outcomes[serial];
      EXPECT_TRUE(outcome.recorded);
      EXPECT_EQ(outcome.exit_code, 0);
      std::map<int, std::string> items = kListed;
      items[7000] = OwnValue(slot, device);
      EXPECT_EQ(outcome.items, items);
      auto own = tree;
      own["own/"] = "";
      own["own/device.txt"] = "device " + std::to_string(slot) + std::to_string(device);
      EXPECT_EQ(outcome.tree, own);
    }
  }
}

// A stand-in itemsmith: the first run on the station hangs until stopped (writing its pid), every
// later one passes at once.
const char kFirstHangs[] =
    "if [ -e \"$FIRST_DONE\" ]; then\n"
    "  printf '[WriteNVItem PASS]\\r\\n' > KVX_WriteNVItem_result.txt; exit 0\n"
    "fi\n"
    "touch \"$FIRST_DONE\"\n"
    "echo $$ > pid\n"
    "exec sleep 600\n";

TEST_F(Shift, ADevicePulledMidRunIsRemovedAndTheSlotServesTheNext) {
  Program("itemsmith", std::string("FIRST_DONE=") + base_ + "/first-done\n" + kFirstHangs);
  Child station;
  ASSERT_TRUE(StartStation(&station, {"--itemsmith"}, {1}, {"--removed-after", "1"}));
  auto first = Plug(1, 1);
  ASSERT_TRUE(testsupport::Eventually([&] { return fs::exists(base_ + "/first-done"); }, 20000));
  first->Signal(SIGTERM);
  first->Wait();
  ASSERT_TRUE(testsupport::Eventually([&] { return LinesFor(Csv(), Serial(1, 1)) == 1; }, 20000));
  auto second = Plug(1, 2);
  EXPECT_TRUE(testsupport::Eventually([&] { return LinesFor(Csv(), Serial(1, 2)) == 1; }, 20000));
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(), 0);
  second->Signal(SIGTERM);
  second->Wait();
  const auto records = testsupport::CsvRecords(Csv());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0][5], "FAIL");
  EXPECT_EQ(records[0][7], "device removed");
  EXPECT_EQ(records[1][5], "PASS");
  std::ifstream pid_file(records[0][8] + "/pid");
  pid_t pid = 0;
  pid_file >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(testsupport::ProcessGone(pid)) << "the removed device's run was stopped";
}

TEST_F(Shift, AStopMidRunLeavesNoProgramAndRecordsTheRunAborted) {
  Program("itemsmith", std::string("FIRST_DONE=") + base_ + "/first-done\n" + kFirstHangs);
  Child station;
  ASSERT_TRUE(StartStation(&station, {"--itemsmith"}, {1}, {}));
  auto device = Plug(1, 1);
  ASSERT_TRUE(testsupport::Eventually([&] { return fs::exists(base_ + "/first-done"); }, 20000));
  // The first SIGINT lets the hanging run go on; the second ends it.
  station.Signal(SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_TRUE(testsupport::CsvRecords(Csv()).empty());
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(), 3);
  const auto records = testsupport::CsvRecords(Csv());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0][5], "ABORTED");
  EXPECT_EQ(records[0][9], Serial(1, 1));
  std::ifstream pid_file(records[0][8] + "/pid");
  pid_t pid = 0;
  pid_file >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(testsupport::ProcessGone(pid));
  device->Signal(SIGTERM);
  device->Wait();
}

// What a device held when it was pulled out.
struct Pulled {
  std::map<int, std::string> items;
  std::map<std::string, std::string> tree;
};

class Slot : public Shift {
 protected:
  Pulled Pull(Child* device, int slot, int n) {
    device->Signal(SIGTERM);
    device->WaitForOutput("diagsim: stopped");
    EXPECT_EQ(device->Wait(), 0);
    return {testsupport::ReportedItems(device->output()), efstool_test::ReadTree(Dump(slot, n))};
  }
  // What device `n` of `slot` holds after a full run: the listed items beside its own, and the
  // station's tree beside its own file.
  void ExpectProvisioned(const Pulled& pulled, int slot, int n, bool tree,
                         const std::map<int, std::string>& listed = kListed) {
    SCOPED_TRACE("device " + std::to_string(n));
    std::map<int, std::string> items = listed;
    items[7000] = OwnValue(slot, n);
    EXPECT_EQ(pulled.items, items);
    if (!tree) return;
    auto expected = efstool_test::ReadTree(efstool_test::ExamplePath("expected/kvx"));
    expected["own/"] = "";
    expected["own/device.txt"] = "device " + std::to_string(slot) + std::to_string(n);
    EXPECT_EQ(pulled.tree, expected);
  }
  // A file of device `n`'s run of `program` ("" while the run has not started).
  std::string RunFile(int n, const std::string& program, const std::string& file) {
    const std::string suffix = "-" + std::to_string(n) + "-" + program;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(base_ + "/runs", ec), end; !ec && it != end;
         it.increment(ec)) {
      const std::string folder = it->path().parent_path().string();
      if (it->path().filename() == file && folder.size() > suffix.size() &&
          folder.compare(folder.size() - suffix.size(), suffix.size(), suffix) == 0)
        return it->path().string();
    }
    return "";
  }
  bool RunLogHolds(int n, const std::string& program, const std::string& file,
                   const std::string& text) {
    std::ifstream in(RunFile(n, program, file));
    std::stringstream all;
    all << in.rdbuf();
    return all.str().find(text) != std::string::npos;
  }
  // The station's output and its records, for a failure's message.
  std::string StationSaid() const {
    std::ifstream out(base_ + "/station.txt"), csv(Csv());
    std::stringstream all;
    all << out.rdbuf() << "\n--- records\n" << csv.rdbuf();
    return all.str();
  }
  // No program the station started is still running: none has its working folder as its own.
  bool NoProgramLeft() const {
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code gone;
      const fs::path cwd = fs::read_symlink(it->path() / "cwd", gone);
      if (!gone && cwd.string().rfind(base_ + "/runs", 0) == 0) return false;
    }
    return true;
  }
};

// Devices that cannot be told apart by their serial number: one for the whole batch, or none,
// with a last program that resets the device. Each is swapped for the next 2 s after its
// verdict (out 0.5 s after it, the next in 1.5 s later), as an operator would.
TEST_F(Slot, DevicesOfOneSerialOrNoneAreEachProvisionedOnce) {
  struct Case {
    const char* name;
    std::vector<std::string> programs, identity;
    size_t jobs;
  };
  const std::vector<Case> cases = {
      {"one serial", {"--itemsmith", "--treesmith", "kvx"}, {"--usb-serial", "SAME"}, 2},
      {"none, the reset last", {"--itemsmith-reset"}, {}, 1},
  };
  testsupport::LinkStationPrograms(base_ + "/bin");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(Csv());
    Child station;
    ASSERT_TRUE(StartStation(&station, c.programs, {1}, {}));
    for (int n = 1; n <= 3; ++n) {
      std::unique_ptr<Child> device = PlugAs(1, n, c.identity);
      EXPECT_TRUE(testsupport::Eventually(
          [&] { return testsupport::CsvRecords(Csv()).size() == c.jobs * n; }, 60000));
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const Pulled pulled = Pull(device.get(), 1, n);
      ExpectProvisioned(pulled, 1, n, c.jobs == 2);
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    station.Signal(SIGINT);
    EXPECT_EQ(station.Wait(), 0);
    const auto records = testsupport::CsvRecords(Csv());
    EXPECT_EQ(records.size(), c.jobs * 3);
    for (const auto& fields : records) EXPECT_EQ(fields[5], "PASS") << fields[7];
  }
}

// Pulled just after itemsmith switched it offline (a long list keeps it at its items), or during
// treesmith's writes, and another device in 2 s later. The pulled device's programs may have
// finished before it went (a PASS then means it holds all it should), and the new device gets a
// full run of its own.
TEST_F(Slot, APulledDeviceGetsNoFalsePassAndItsReplacementAFullRun) {
  std::string list;
  std::map<int, std::string> many;
  for (int id = 1000; id < 1400; ++id) {
    list += "NV" + std::to_string(id) + ":1\n";
    many[id] = "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
  }
  struct Case {
    const char* name;
    const char* program;  // the one pulled out of
    const char* log;
    const char* text;  // in its run log when the device is pulled
  };
  const std::vector<Case> cases = {
      {"itemsmith's items", "itemsmith", "KVX_WriteNVItem_log.txt", "Change to offline mode ok"},
      {"treesmith's writes", "treesmith", "Kvx_treesmith.log", "===== Write"},
  };
  testsupport::LinkStationPrograms(base_ + "/bin");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::map<int, std::string>& listed =
        std::string(c.program) == "itemsmith" ? many : kListed;
    std::ofstream(base_ + "/template/KVX_nvitem.txt") << (&listed == &many ? list : kList);
    fs::remove(Csv());
    fs::remove_all(base_ + "/runs");
    Child station;
    ASSERT_TRUE(StartStation(&station, {"--itemsmith", "--treesmith", "kvx"}, {1}, {}));
    std::unique_ptr<Child> first = Plug(1, 1);
    ASSERT_TRUE(
        testsupport::Eventually([&] { return RunLogHolds(1, c.program, c.log, c.text); }, 30000));
    const Pulled pulled = Pull(first.get(), 1, 1);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::unique_ptr<Child> second = Plug(1, 2);
    EXPECT_TRUE(testsupport::Eventually([&] { return LinesFor(Csv(), Serial(1, 2)) == 2; }, 60000))
        << StationSaid();
    ExpectProvisioned(Pull(second.get(), 1, 2), 1, 2, true, listed);
    station.Signal(SIGINT);
    EXPECT_EQ(station.Wait(), 0);
    std::map<std::string, std::string> first_verdicts;
    for (const auto& fields : testsupport::CsvRecords(Csv())) {
      if (fields[9] == Serial(1, 2)) {
        EXPECT_EQ(fields[5], "PASS") << fields[7];
      } else if (fields[9] == Serial(1, 1)) {
        first_verdicts[fields[3]] = fields[5];
      }
    }
    ASSERT_EQ(first_verdicts.size(), 2u) << StationSaid();
    if (first_verdicts["treesmith"] == "PASS") {
      ExpectProvisioned(pulled, 1, 1, true, listed);
    } else if (first_verdicts["itemsmith"] == "PASS") {
      ExpectProvisioned(pulled, 1, 1, false, listed);
    }
  }
}

// Its CD-ROM reports another serial number than its ports: one run, recorded with the ports'.
TEST_F(Slot, ADeviceIsNamedByItsPortsSerialNotItsCdroms) {
  testsupport::LinkStationPrograms(base_ + "/bin");
  Child station;
  ASSERT_TRUE(StartStation(&station, {"--itemsmith", "--treesmith", "kvx"}, {1}, {}));
  std::unique_ptr<Child> device =
      PlugAs(1, 1, {"--cdrom", "--cdrom-serial", "CDROM1", "--usb-serial", "PORTS1"});
  EXPECT_TRUE(testsupport::Eventually([&] { return LinesFor(Csv(), "PORTS1") == 2; }, 60000));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(), 0);
  const auto records = testsupport::CsvRecords(Csv());
  EXPECT_EQ(records.size(), 2u);
  for (const auto& fields : records) EXPECT_EQ(fields[5], "PASS") << fields[7];
  ExpectProvisioned(Pull(device.get(), 1, 1), 1, 1, true);
}

// A stop while a device restarts after its last program's reset, or while the next program
// waits for it: the station ends as a first stop does, with every row written and no program.
TEST_F(Slot, AStopDuringARestartOrAHandOverEndsAsDocumented) {
  struct Case {
    const char* name;
    std::vector<std::string> programs;
    std::vector<std::string> verdicts;
  };
  const std::vector<Case> cases = {
      {"restart", {"--itemsmith-reset"}, {"PASS"}},
      {"hand-over", {"--itemsmith-reset", "--treesmith", "kvx"}, {"PASS", "ABORTED"}},
  };
  testsupport::LinkStationPrograms(base_ + "/bin");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(Csv());
    Child station;
    ASSERT_TRUE(StartStation(&station, c.programs, {1}, {}));
    std::unique_ptr<Child> device = PlugAs(1, 1, {"--usb-serial", "R1", "--reset-absence", "8000"});
    ASSERT_TRUE(testsupport::Eventually([&] { return LinesFor(Csv(), "R1") == 1; }, 30000));
    ASSERT_TRUE(device->WaitForOutput("gone"));
    station.Signal(SIGINT);
    EXPECT_EQ(station.Wait(10000), 0);
    EXPECT_TRUE(NoProgramLeft());
    std::vector<std::string> verdicts;
    for (const auto& fields : testsupport::CsvRecords(Csv())) verdicts.push_back(fields[5]);
    EXPECT_EQ(verdicts, c.verdicts);
    Pull(device.get(), 1, 1);
  }
}

}  // namespace
