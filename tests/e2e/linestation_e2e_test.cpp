// linestation against four diagsim devices in one device root, each at its own USB location and
// each starting with content of its own: every run is pinned to its slot, so every device ends
// with the station's content beside exactly its own, and one refusing device fails its slot
// alone.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/treesmith_harness.hpp"
#include "tests/integration/efstool/efs_tree.hpp"
#include "tests/support/station_records.hpp"
#include "tests/support/station_programs.hpp"

namespace {

namespace fs = std::filesystem;
using treesmith_e2e::Child;

constexpr int kSlots = 4;
// What the station writes on every device: three items, first bytes only.
const char kList[] = "NV20:11,22\nNV453:1\nNV6001:a0,a1,a2,a3\n";
const std::map<int, std::string> kListed = {
    {20, "11 22 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {453, "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {6001, "a0 a1 a2 a3 00 00 00 00 00 00 00 00 00 00 00 00"}};

std::string Location(int slot) { return "1-3." + std::to_string(slot); }

// The device's own item, which no run touches: NV(7000+slot) holding the slot number.
int OwnItem(int slot) { return 7000 + slot; }
std::string OwnValue(int slot) {
  char text[64];
  std::snprintf(text, sizeof text, "%02x 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", slot);
  return text;
}

class Station : public ::testing::TestWithParam<int> {  // the slot whose device refuses, 0: none
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/linestation-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    root_ = base_ + "/root";
    fs::create_directories(root_);
    // The template: the KVX upload folders and the station's list.
    fs::create_directories(base_ + "/template");
    efstool_test::CopyExample("kvx", base_ + "/template");
    std::ofstream(base_ + "/template/KVX_nvitem.txt") << kList;
    // linestation finds both programs in one folder, as installed.
    testsupport::LinkStationPrograms(base_ + "/bin");
  }
  void TearDown() override {
    devices_.clear();
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  // Device `slot`: the example tree before provisioning plus a file of its own, and its own item.
  void StartDevice(int slot, bool refuses) {
    const std::string before = base_ + "/before" + std::to_string(slot);
    fs::copy(efstool_test::ExamplePath("device-before"), before, fs::copy_options::recursive);
    fs::create_directories(before + "/slot");
    std::ofstream(before + "/slot/own.txt") << "device " << slot;
    std::vector<std::string> argv = {
        std::string(TEST_BINARY_DIR) + "/devicesim/diagsim",
        "--root",
        root_,
        "--com",
        std::to_string(10 + slot),
        "--usb-location",
        Location(slot),
        "--efs-load",
        before,
        "--efs-dump",
        Dump(slot),
        "--report",
        "--usb-serial",
        "SN-" + std::to_string(slot),
        "--nv-set",
        std::to_string(OwnItem(slot)) + ":" + OwnValue(slot).substr(0, 2)};
    if (refuses) argv.insert(argv.end(), {"--ignore-nv-writes", "1"});
    devices_.push_back(std::make_unique<Child>());
    ASSERT_TRUE(devices_.back()->Start(argv, "", {}, ""));
    ASSERT_TRUE(devices_.back()->WaitForOutput("diagsim: serving COM"));
  }
  std::string Dump(int slot) const { return base_ + "/dump" + std::to_string(slot); }

  std::string base_, root_;
  std::vector<std::unique_ptr<Child>> devices_;
};

// The parameter: the slot whose device refuses its items (0: none), or -1 for none with
// itemsmith's reset, after which treesmith gets the device once it is back, and its row names it.
TEST_P(Station, EveryDeviceEndsWithItsOwnContent) {
  const bool reset = GetParam() < 0;
  const int refusing = reset ? 0 : GetParam();
  for (int slot = 1; slot <= kSlots; ++slot) StartDevice(slot, slot == refusing);

  std::vector<std::string> argv = {
      std::string(TEST_BINARY_DIR) + "/station/linestation", "--template", base_ + "/template",
      reset ? "--itemsmith-reset" : "--itemsmith", "--treesmith", "kvx", "--programs",
      base_ + "/bin", "--work", base_ + "/runs", "--csv", base_ + "/station.csv", "--limit", "120",
      // treesmith on the refusing slot too: every device ends
      // with the file system content.
      "--keep-going"};
  for (int slot = 1; slot <= kSlots; ++slot) argv.insert(argv.end(), {"--slot", Location(slot)});
  Child station;
  ASSERT_TRUE(station.Start(argv, base_, {"DIAG_DEVICE_ROOT=" + root_}, base_ + "/station.txt"));
  EXPECT_EQ(station.Wait(), refusing == 0 ? 0 : 1);

  // One CSV line per slot and program, after the header, each naming its own working folder.
  std::ifstream csv(base_ + "/station.csv");
  std::string line;
  ASSERT_TRUE(std::getline(csv, line));
  EXPECT_EQ(line, "start,end,slot,program,mode,verdict,seconds,reason,folder,serial");
  std::map<std::string, std::string> verdicts;
  std::vector<std::string> folders;
  while (std::getline(csv, line)) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
    ASSERT_EQ(fields.size(), 10u) << line;
    // Each line names the device of its own slot.
    EXPECT_EQ("SN-" + fields[2].substr(fields[2].rfind('.') + 1), fields[9]) << line;
    verdicts[fields[2] + " " + fields[3]] = fields[5];
    if (fields[5] != "PASS") {
      EXPECT_EQ(fields[7], "---- Write NV items NV20 fail ----");
    }
    folders.push_back(fields[8]);
  }
  ASSERT_EQ(verdicts.size(), 2u * kSlots);
  for (const std::string& folder : folders) {
    EXPECT_EQ(std::count(folders.begin(), folders.end(), folder), 1) << folder;
  }

  const auto kvx = efstool_test::ReadTree(efstool_test::ExamplePath("expected/kvx"));
  for (int slot = 1; slot <= kSlots; ++slot) {
    SCOPED_TRACE("slot " + Location(slot));
    EXPECT_EQ(verdicts[Location(slot) + " itemsmith"], slot == refusing ? "FAIL" : "PASS");
    EXPECT_EQ(verdicts[Location(slot) + " treesmith"], "PASS");

    Child& device = *devices_[slot - 1];
    device.Signal(SIGTERM);
    ASSERT_TRUE(device.WaitForOutput("diagsim: stopped"));
    EXPECT_EQ(device.Wait(), 0);
    std::map<int, std::string> items = {{OwnItem(slot), OwnValue(slot)}};
    // A refused item ends the run: the refusing device keeps none of the list.
    if (slot != refusing) items.insert(kListed.begin(), kListed.end());
    EXPECT_EQ(testsupport::ReportedItems(device.output()), items);

    auto tree = kvx;
    tree["slot/"] = "";
    tree["slot/own.txt"] = "device " + std::to_string(slot);
    EXPECT_EQ(efstool_test::ReadTree(Dump(slot)), tree);
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, Station, ::testing::Values(0, 3, -1));

// --list-slots: a device with its DIAG port and one still showing its CD-ROM, each with its slot;
// the station's own pin, however broken, does not narrow what it lists.
TEST_F(Station, ListSlotsShowsEachDevicesSlotPortAndDescription) {
  for (int slot = 1; slot <= 2; ++slot) {
    std::vector<std::string> argv = {std::string(TEST_BINARY_DIR) + "/devicesim/diagsim",
                                     "--root",
                                     root_,
                                     "--com",
                                     std::to_string(10 + slot),
                                     "--usb-location",
                                     Location(slot)};
    if (slot == 2) argv.insert(argv.end(), {"--cdrom", "--cdrom-index", "4"});
    devices_.push_back(std::make_unique<Child>());
    ASSERT_TRUE(devices_.back()->Start(argv, "", {}, ""));
    ASSERT_TRUE(devices_.back()->WaitForOutput(slot == 2 ? "diagsim: CD-ROM" : "diagsim: serving"));
  }
  Child lister;
  ASSERT_TRUE(lister.Start({std::string(TEST_BINARY_DIR) + "/station/linestation", "--list-slots"},
                           base_, {"DIAG_DEVICE_ROOT=" + root_, "DIAG_USB_LOCATION="},
                           base_ + "/slots.txt"));
  EXPECT_EQ(lister.Wait(), 0);
  std::ifstream in(base_ + "/slots.txt");
  const std::string listing((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(listing,
            "SLOT   PORT   DESCRIPTION\n"
            "1-3.1  COM11  KVX Diagnostics Interface\n"
            "1-3.2  sr4    KVX Mass storage (CD-ROM: its DIAG port comes after the eject)\n");
}

}  // namespace
