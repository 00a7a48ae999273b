// Virtual devices side by side in one device root, each at its own USB location: neither
// clobbers the other's entries, and a run pinned to one location sees that device alone, its
// CD-ROM before the eject and its serial port after it.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "devicesim/virtual_device.hpp"
#include "platform/usb_slots.hpp"
#include "eventually.hpp"
#include "platform/device_discovery.hpp"
#include "platform/serial_registry.hpp"
#include "platform/usb_serial.hpp"

namespace {

using testsupport::Eventually;

namespace fs = std::filesystem;

class SideBySide : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/platform-slots-XXXXXX";
    const char* made = mkdtemp(pattern);
    ASSERT_NE(made, nullptr);
    root_ = made;
    setenv("DIAG_DEVICE_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    devices_.clear();
    unsetenv("DIAG_DEVICE_ROOT");
    unsetenv("DIAG_USB_LOCATION");
    (void)!std::system(("rm -rf '" + root_ + "'").c_str());
  }
  devicesim::VirtualDevice& Start(int com, const std::string& usb_path, bool cdrom,
                                  const std::string& serial = "") {
    devicesim::Options o;
    o.usb_serial = serial;
    o.root = root_;
    o.com_number = com;
    o.usb_path = usb_path;
    o.start_as_cdrom = cdrom;
    o.cdrom_index = com;
    devices_.push_back(std::make_unique<devicesim::VirtualDevice>(o));
    EXPECT_TRUE(devices_.back()->Start()) << devices_.back()->Error();
    return *devices_.back();
  }
  std::vector<std::string> SerialList() {
    std::vector<std::string> ports;
    EXPECT_TRUE(platform::ReadSerialPortList(&ports));
    return ports;
  }
  // Opens the pinned run's only CD-ROM and sends it the eject.
  void EjectTheOnlyCdrom() {
    uint32_t error = 0, size = 0;
    auto set = platform::MakeDeviceDiscovery()->CdromInterfaces(&error);
    ASSERT_NE(set, nullptr);
    ASSERT_TRUE(set->EnumerateInterface(0, &error));
    ASSERT_EQ(set->QueryDetailSize(&size, &error), platform::StepResult::kOk);
    ASSERT_EQ(set->ReadDetail(size, &error), platform::StepResult::kOk);
    auto drive = set->OpenDevice(&error);
    ASSERT_NE(drive, nullptr) << error;
    const uint8_t eject[6] = {0x1B, 0x00, 0x46, 0x00, 0x02, 0x00};
    ASSERT_TRUE(drive->SendScsiCommand(eject, &error));
    EXPECT_FALSE(set->EnumerateInterface(1, &error));
  }

  std::string root_;
  std::vector<std::unique_ptr<devicesim::VirtualDevice>> devices_;
};

TEST_F(SideBySide, APinnedRunEjectsItsOwnCdromAndFindsItsOwnPort) {
  devicesim::VirtualDevice& a = Start(1, "1.1", true);
  devicesim::VirtualDevice& b = Start(2, "1.2", true);
  devicesim::VirtualDevice& c = Start(3, "1.3", false);
  EXPECT_EQ(SerialList(), std::vector<std::string>{"COM3"});

  setenv("DIAG_USB_LOCATION", "1-1.2", 1);
  EXPECT_TRUE(SerialList().empty());
  EjectTheOnlyCdrom();
  ASSERT_TRUE(Eventually([&] { return b.Present(); }));
  EXPECT_FALSE(a.EjectReceived());
  EXPECT_TRUE(a.CdromPresent());
  EXPECT_EQ(SerialList(), std::vector<std::string>{"COM2"});

  setenv("DIAG_USB_LOCATION", "1-1.1", 1);
  EjectTheOnlyCdrom();
  ASSERT_TRUE(Eventually([&] { return a.Present(); }));
  EXPECT_EQ(SerialList(), std::vector<std::string>{"COM1"});
  unsetenv("DIAG_USB_LOCATION");
  EXPECT_EQ(SerialList().size(), 3u);
  EXPECT_TRUE(c.Present());
}

// One device's entries survive another's start, eject, reset and stop: class links, device
// links, udev records, COM links, CD-ROMs and the shared hub.
TEST_F(SideBySide, NeitherDeviceClobbersTheOther) {
  devicesim::VirtualDevice& keep = Start(4, "2.4", true);
  const std::vector<std::string> kept = {"sys/class/block/sr4", "dev/sr4",
                                         "sys/class/block/sr4/device/vendor"};
  {
    devicesim::VirtualDevice& other = Start(5, "2.5", true);
    setenv("DIAG_USB_LOCATION", "1-2.5", 1);
    EjectTheOnlyCdrom();
    ASSERT_TRUE(Eventually([&] { return other.Present(); }));
    for (const char* path : {"dev/serial/com/COM5", "dev/ttyUSB4", "sys/class/tty/ttyUSB4/device",
                             "run/udev/data/c188:4"}) {
      EXPECT_TRUE(fs::exists(fs::path(root_) / path)) << path;
    }
    devices_.pop_back();  // stops and removes its entries
  }
  EXPECT_FALSE(fs::exists(fs::path(root_) / "dev/serial/com/COM5"));
  EXPECT_FALSE(fs::exists(fs::path(root_) / "sys/class/tty/ttyUSB4"));
  for (const std::string& path : kept) EXPECT_TRUE(fs::exists(fs::path(root_) / path)) << path;
  EXPECT_TRUE(keep.CdromPresent());

  // A second device cannot take an sr<k> that another device shows.
  devicesim::Options o;
  o.root = root_;
  o.com_number = 6;
  o.start_as_cdrom = true;
  o.cdrom_index = 4;
  devicesim::VirtualDevice late(o);
  EXPECT_FALSE(late.Start());
  late.Stop();
  for (const std::string& path : kept) EXPECT_TRUE(fs::exists(fs::path(root_) / path)) << path;

  setenv("DIAG_USB_LOCATION", "1-2.4", 1);
  EjectTheOnlyCdrom();
  ASSERT_TRUE(Eventually([&] { return keep.Present(); }));
  EXPECT_EQ(SerialList(), std::vector<std::string>{"COM4"});
}

// What one look shows of each slot: "-" nothing, "cdrom", or "port" with its serial number.
std::vector<std::string> Looks(const std::vector<std::string>& slots) {
  std::vector<std::string> seen;
  for (const platform::SlotSight& sight : platform::LookAtUsbLocations(slots))
    seen.push_back(!sight.device ? "-"
                   : sight.port  ? "port " + sight.serial
                                 : std::string("cdrom"));
  return seen;
}

// A record names the device in a slot by its serial number: read at its CD-ROM before the eject
// and at its port after it, never a neighbour's, none for a device that reports none, and none
// once the slot is empty. The station's look at every slot at once sees the same.
TEST_F(SideBySide, TheSerialNumberIsTheSlotsOwnDevicesWhateverItShows) {
  devicesim::VirtualDevice& a = Start(1, "1.1", true, "SN-A 0001");
  Start(2, "1.2", false, "SN-B");
  Start(3, "1.3", false);
  const std::vector<std::string> slots = {"1-1.1", "1-1.2", "1-1.3", "1-1.4", "1-1.2"};
  EXPECT_EQ(Looks(slots),
            (std::vector<std::string>{"cdrom", "port SN-B", "port ", "-", "port SN-B"}));
  EXPECT_EQ(platform::UsbSerialAt("1-1.1"), "SN-A 0001");
  EXPECT_EQ(platform::UsbSerialAt("1-1.2"), "SN-B");
  EXPECT_EQ(platform::UsbSerialAt("1-1.3"), "");
  EXPECT_EQ(platform::UsbSerialAt("1-1.4"), "");
  setenv("DIAG_USB_LOCATION", "1-1.1", 1);
  EjectTheOnlyCdrom();
  ASSERT_TRUE(Eventually([&] { return a.Present(); }));
  EXPECT_EQ(platform::UsbSerialAt("1-1.1"), "SN-A 0001");
  devices_.erase(devices_.begin() + 1);
  EXPECT_EQ(platform::UsbSerialAt("1-1.2"), "");
  EXPECT_EQ(Looks(slots), (std::vector<std::string>{"port SN-A 0001", "-", "port ", "-", "-"}));
}

}  // namespace
