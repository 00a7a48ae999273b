// linestation --continuous against devices plugged and pulled by the test: three slots, three
// diagsim devices each, one after the other, each with its own serial number, NV item and file
// system: every device is recorded once per program under its serial number and ends with the
// station's content beside exactly its own, also the one left in its slot long after its
// verdict. Then, with a stand-in program whose run lasts as long as the test wants: a device
// pulled mid-run is "device removed" and the slot serves the next, and a stop mid-run leaves no
// program running.
#include <signal.h>
#include <sys/stat.h>

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
    const std::string tag = std::to_string(slot) + std::to_string(device);
    const std::string before = base_ + "/before" + tag;
    fs::copy(efstool_test::ExamplePath("device-before"), before, fs::copy_options::recursive);
    fs::create_directories(before + "/own");
    std::ofstream(before + "/own/device.txt") << "device " << tag;
    auto child = std::make_unique<Child>();
    const bool started =
        child->Start({std::string(TEST_BINARY_DIR) + "/devicesim/diagsim", "--root", root_, "--com",
                      std::to_string(30 + slot), "--usb-location", Location(slot), "--usb-serial",
                      Serial(slot, device), "--efs-load", before, "--efs-dump", Dump(slot, device),
                      "--report", "--nv-set", "7000:" + OwnValue(slot, device).substr(0, 2)},
                     "", {}, "") &&
        child->WaitForOutput("diagsim: serving COM");
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

}  // namespace
