// A run pinned to one USB slot (DIAG_USB_LOCATION): the serial port list, the COM port set and
// the CD-ROM set hold only what resolves into the USB device folder of that name, for both tty
// shapes the kernel uses and for CD-ROMs on USB and on SATA.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.hpp"
#include "platform/device_discovery.hpp"
#include "platform/serial_registry.hpp"
#include "platform/usb_slots.hpp"
#include "temp_root.hpp"

namespace {

using platform_test::TempRoot;

const std::string kBus = "sys/devices/pci0000:00/0000:00:14.0/usb1";

class PinnedRun : public ::testing::Test {
 protected:
  // A USB device folder below the bus, with the strings discovery reads.
  std::string UsbDevice(const std::string& path_below_bus, const std::string& product) {
    const std::string dir = kBus + "/" + path_below_bus;
    root_.WriteFile(dir + "/idVendor", "1e0f\n");
    root_.WriteFile(dir + "/product", product + "\n");
    return dir;
  }
  // usb-serial: interface/ttyUSBk/tty/ttyUSBk; cdc-acm: interface/tty/ttyACMk.
  void AddPort(const std::string& device_dir, const std::string& tty, int com) {
    const std::string device_name = device_dir.substr(device_dir.find_last_of('/') + 1);
    const std::string interface = device_dir + "/" + device_name + ":1.0";
    root_.WriteFile(interface + "/interface", "KVX Diagnostics\n");
    const bool acm = tty.compare(0, 6, "ttyACM") == 0;
    const std::string port = acm ? interface : interface + "/" + tty;
    const std::string folder = port + "/tty/" + tty;
    root_.MakeDirs(folder);
    root_.Link(folder + "/device", "../../../" + port.substr(port.find_last_of('/') + 1));
    root_.Link("sys/class/tty/" + tty, "../../" + folder.substr(4));
    root_.Link("dev/serial/com/COM" + std::to_string(com), "../../" + tty);
  }
  // A CD-ROM below a SCSI host hanging off `parent` (a USB interface, or a SATA port).
  void AddCdrom(const std::string& parent, int host, int unit) {
    const std::string h = std::to_string(host), name = "sr" + std::to_string(unit);
    const std::string scsi = parent + "/host" + h + "/target" + h + ":0:0/" + h + ":0:0:0";
    root_.WriteFile(scsi + "/vendor", "KVX     \n");
    root_.WriteFile(scsi + "/model", "Mass storage    \n");
    root_.MakeDirs(scsi + "/block/" + name);
    root_.Link(scsi + "/block/" + name + "/device", "../../../" + h + ":0:0:0");
    root_.Link("sys/class/block/" + name, "../../" + scsi.substr(4) + "/block/" + name);
  }

  std::vector<std::string> SerialList() {
    std::vector<std::string> ports;
    EXPECT_TRUE(platform::ReadSerialPortList(&ports));
    std::sort(ports.begin(), ports.end());
    return ports;
  }
  // The friendly names of the COM port set, which carry the COM numbers.
  std::vector<std::wstring> ComPortNames() {
    uint32_t error = 1;
    auto set = platform::MakeDeviceDiscovery()->ComPorts(&error);
    std::vector<std::wstring> names;
    for (uint32_t i = 0; set != nullptr && set->Enumerate(i); ++i) {
      std::wstring name;
      EXPECT_TRUE(set->FriendlyName(i, &name));
      names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  int CdromCount() {
    uint32_t error = 1;
    auto set = platform::MakeDeviceDiscovery()->CdromInterfaces(&error);
    int count = 0;
    while (set != nullptr && set->EnumerateInterface(count, &error)) ++count;
    EXPECT_EQ(error, platform::kErrorNoMoreItems);
    return count;
  }

  void TearDown() override { unsetenv("DIAG_USB_LOCATION"); }

  TempRoot root_;
};

TEST_F(PinnedRun, EachSlotSeesOnlyItsOwnDevice) {
  UsbDevice("1-1", "USB 2.0 Hub");
  AddPort(UsbDevice("1-2", "KVX Modem"), "ttyUSB0", 1);  // usb-serial on the root hub
  AddPort(UsbDevice("1-3", "KVX Modem"), "ttyACM0", 2);  // cdc-acm on the root hub
  const std::string behind_hub = UsbDevice("1-1/1-1.4", "KVX Modem");
  AddPort(behind_hub, "ttyUSB1", 3);                           // usb-serial behind the hub
  AddCdrom(behind_hub + "/1-1.4:1.2", 33, 0);                  // and its CD-ROM
  AddCdrom("sys/devices/pci0000:00/0000:00:17.0/ata1", 0, 1);  // the PC's own drive
  AddCdrom(kBus + "/1-3/1-3:1.1", 34, 2);

  struct Slot {
    const char* pin;
    std::vector<std::string> ports;
    int cdroms;
  };
  const std::vector<Slot> slots = {
      {nullptr, {"COM1", "COM2", "COM3"}, 3},  // unpinned: everything, as before
      {"1-2", {"COM1"}, 0},
      {"1-3", {"COM2"}, 1},
      {"1-1.4", {"COM3"}, 1},
      {"1-1", {}, 0},  // the hub above a device is not the device
      {"1-1.", {}, 0},
      {"2-2", {}, 0},  // another bus, same port number
      {"ttyUSB0", {}, 0},
      // A pin that cannot name a slot shows nothing, never everything.
      {"", {}, 0},
      {" 1-2", {}, 0},
      {"1-2\n", {}, 0},
  };
  const std::string too_long = "1-" + std::string(1100, '1');
  std::vector<Slot> all = slots;
  all.push_back({too_long.c_str(), {}, 0});
  for (const Slot& slot : all) {
    SCOPED_TRACE(slot.pin != nullptr ? slot.pin : "(unset)");
    if (slot.pin != nullptr) {
      setenv("DIAG_USB_LOCATION", slot.pin, 1);
    } else {
      unsetenv("DIAG_USB_LOCATION");
    }
    EXPECT_EQ(SerialList(), slot.ports);
    std::vector<std::wstring> expected;
    for (const std::string& port : slot.ports)
      expected.push_back(L"KVX Diagnostics (" + std::wstring(port.begin(), port.end()) + L")");
    EXPECT_EQ(ComPortNames(), expected);
    EXPECT_EQ(CdromCount(), slot.cdroms);
  }
}

// The device first shows its CD-ROM; after the eject it comes back at the same location with its
// serial ports (the CD-ROM gone). A run pinned there follows it through the change.
TEST_F(PinnedRun, TheSlotIsTheSameBeforeAndAfterTheEject) {
  const std::string device = UsbDevice("1-5", "KVX Mass Storage");
  AddCdrom(device + "/1-5:1.0", 40, 0);
  AddPort(UsbDevice("1-6", "KVX Modem"), "ttyUSB4", 9);  // a neighbour already in serial mode
  setenv("DIAG_USB_LOCATION", "1-5", 1);
  EXPECT_EQ(CdromCount(), 1);
  EXPECT_TRUE(SerialList().empty());

  unlink(root_.At("sys/class/block/sr0").c_str());
  AddPort(device, "ttyUSB7", 8);
  EXPECT_EQ(CdromCount(), 0);
  EXPECT_EQ(SerialList(), std::vector<std::string>{"COM8"});
  EXPECT_EQ(ComPortNames(), std::vector<std::wstring>{L"KVX Diagnostics (COM8)"});
}

// A location is read from where the entry resolves, never from outside the device root.
TEST_F(PinnedRun, AnEntryLeadingOutOfTheRootBelongsToNoSlot) {
  root_.MakeDirs("dev/serial/com");
  root_.Link("sys/class/tty/ttyUSB0", "/sys/devices");
  root_.Link("dev/serial/com/COM1", "../../ttyUSB0");
  setenv("DIAG_USB_LOCATION", "1-1", 1);
  EXPECT_TRUE(SerialList().empty());
  unsetenv("DIAG_USB_LOCATION");
  EXPECT_EQ(SerialList(), std::vector<std::string>{"COM1"});
}

// The station's watch on the device tree: every step of a port and a CD-ROM coming and going
// ends its wait, in folders that were not there yet when the watch began (the device root
// itself included); a quiet tree does not.
TEST(DeviceChanges, EveryStepOfADeviceComingAndGoingEndsTheWaitAndNothingElse) {
  TempRoot base;
  const std::string root = base.At("root");
  setenv("DIAG_DEVICE_ROOT", root.c_str(), 1);
  const auto changes = platform::FollowDeviceChanges();
  ASSERT_NE(changes, nullptr);
  platform::Clock& clock = platform::RealClock();
  EXPECT_FALSE(changes->Wait(clock, 100));
  const auto at = [&root](const char* relative) { return root + "/" + relative; };
  const std::vector<std::function<int()>> steps = {
      [&] { return mkdir(root.c_str(), 0755); },
      [&] { return mkdir(at("dev").c_str(), 0755); },
      [&] { return mkdir(at("dev/serial").c_str(), 0755); },
      [&] { return mkdir(at("dev/serial/com").c_str(), 0755); },
      [&] { return symlink("/dev/null", at("dev/ttyUSB0").c_str()); },
      [&] { return symlink("../../ttyUSB0", at("dev/serial/com/COM7").c_str()); },
      [&] { return mkfifo(at("dev/sr0").c_str(), 0600); },
      [&] { return unlink(at("dev/serial/com/COM7").c_str()); },
      [&] { return unlink(at("dev/ttyUSB0").c_str()); },
      [&] { return unlink(at("dev/sr0").c_str()); },
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(steps[i](), 0);
    EXPECT_TRUE(changes->Wait(clock, 10000));
    EXPECT_FALSE(changes->Wait(clock, 20)) << "one change is told once";
  }
}

}  // namespace
