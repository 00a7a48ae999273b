#include "platform/device_discovery.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/serial_registry.hpp"
#include "temp_root.hpp"

namespace {

using platform_test::TempRoot;

// Sets a link's own modification time (not its target's).
void StampLink(const TempRoot& root, const std::string& relative, time_t seconds, long nanos = 0) {
  const timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
  ASSERT_EQ(utimensat(AT_FDCWD, root.At(relative).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

uint32_t U32At(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
         (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

std::string StringAt(const std::vector<uint8_t>& bytes, uint32_t offset) {
  return std::string(reinterpret_cast<const char*>(bytes.data()) + offset);
}

TEST(SerialPortList, OrderedByLinkAgeThenByName) {
  TempRoot root;
  root.Link("dev/serial/com/COM3", "../../ttyUSB0");
  root.Link("dev/serial/com/COM12", "../../ttyUSB1");
  root.Link("dev/serial/com/COM2", "../../ttyACM0");
  root.Link("dev/serial/com/COM4", "../../ttyACM1");
  root.WriteFile("dev/serial/com/notes", "not a port");
  StampLink(root, "dev/serial/com/COM3", 2000);
  StampLink(root, "dev/serial/com/COM12", 1000);
  StampLink(root, "dev/serial/com/COM2", 1000);
  StampLink(root, "dev/serial/com/COM4", 1000, 5);

  std::vector<std::string> ports;
  ASSERT_TRUE(platform::ReadSerialPortList(&ports));
  EXPECT_EQ(ports, (std::vector<std::string>{"COM12", "COM2", "COM4", "COM3"}));

  // Discovery walks the ports in the same order.
  uint32_t error = 1;
  auto set = platform::MakeDeviceDiscovery()->ComPorts(&error);
  ASSERT_NE(set, nullptr);
  root.WriteFile("sys/class/tty/ttyUSB1/device/interface", "X\n");
  std::wstring name;
  ASSERT_TRUE(set->FriendlyName(0, &name));
  EXPECT_EQ(name, L"X (COM12)");
  EXPECT_TRUE(set->Enumerate(3));
  EXPECT_FALSE(set->Enumerate(4));
}

TEST(SerialPortList, MissingFolderFailsButAnEmptyOneIsAnEmptyList) {
  TempRoot root;
  std::vector<std::string> ports{"stale"};
  EXPECT_FALSE(platform::ReadSerialPortList(&ports));
  root.MakeDirs("dev/serial/com");
  ASSERT_TRUE(platform::ReadSerialPortList(&ports));
  EXPECT_TRUE(ports.empty());
}

// A tty as its driver lays it out below the USB interface folder `interface_dir`: a usb-serial
// ttyUSBk sits below its port device (interface/ttyUSBk/tty/ttyUSBk, device -> the port), a
// cdc-acm ttyACMk directly below the interface (interface/tty/ttyACMk, device -> the interface).
void AddTty(const TempRoot& root, const std::string& interface_dir, const std::string& tty) {
  const bool acm = tty.compare(0, 6, "ttyACM") == 0;
  const std::string port = acm ? interface_dir : interface_dir + "/" + tty;
  const std::string folder = port + "/tty/" + tty;
  root.MakeDirs(folder);
  root.Link(folder + "/device", "../../../" + port.substr(port.find_last_of('/') + 1));
  root.Link("sys/class/tty/" + tty, "../../" + folder.substr(4));  // folder starts with "sys/"
}

const std::string kBus = "sys/devices/pci0000:00/0000:00:14.0/usb1";

// One port per row, each on its own USB device; files are relative to the device root.
struct DescribedPort {
  const char* what;
  std::string tty;
  std::string interface_dir;
  std::vector<std::pair<std::string, std::string>> files;
  const wchar_t* description;  // nullptr: the property cannot be read
};

TEST(ComPortDevices, DescriptionAsTheKernelLaysItOut) {
  const std::string hub = kBus + "/1-1";
  const std::vector<DescribedPort> ports = {
      {"usb-serial: the interface one level up",
       "ttyUSB2",
       kBus + "/1-2/1-2:1.2",
       {{kBus + "/1-2/1-2:1.2/interface", "KVX Diagnostics Interface\n"},
        {kBus + "/1-2/idVendor", "1e0f\n"},
        {kBus + "/1-2/product", "KVX Modem\n"}},
       L"KVX Diagnostics Interface"},
      {"cdc-acm: the interface is the device itself",
       "ttyACM0",
       kBus + "/1-3/1-3:1.0",
       {{kBus + "/1-3/1-3:1.0/interface", "KVX Download\n"},
        {kBus + "/1-3/idVendor", "1e0f\n"},
        {kBus + "/1-3/product", "KVX Modem\n"}},
       L"KVX Download"},
      {"behind a hub, no interface string: the modem's product, not the hub's",
       "ttyUSB0",
       hub + "/1-1.4/1-1.4:1.0",
       {{hub + "/idVendor", "05e3\n"},
        {hub + "/product", "USB 2.0 Hub\n"},
        {hub + "/1-1.4/idVendor", "1e0f\n"},
        {hub + "/1-1.4/product", "Tavrel Hotspot\n"}},
       L"Tavrel Hotspot"},
      {"behind a hub, cdc-acm with its interface string",
       "ttyACM1",
       hub + "/1-1.3/1-1.3:1.1",
       {{hub + "/1-1.3/1-1.3:1.1/interface", "USB Diagnostics\n"},
        {hub + "/1-1.3/idVendor", "1e0f\n"}},
       L"USB Diagnostics"},
      {"an empty interface string counts as none",
       "ttyUSB3",
       kBus + "/1-5/1-5:1.0",
       {{kBus + "/1-5/1-5:1.0/interface", "\n"},
        {kBus + "/1-5/idVendor", "1e0f\n"},
        {kBus + "/1-5/product", "KVX Modem\n"}},
       L"KVX Modem"},
      {"neither string: none, even with a hub's product above",
       "ttyUSB4",
       hub + "/1-1.2/1-1.2:1.0",
       {{hub + "/1-1.2/idVendor", "1e0f\n"}},
       nullptr},
      {"a product above a folder without idVendor is not the device's",
       "ttyUSB5",
       kBus + "/1-6/1-6:1.0",
       {{kBus + "/1-6/product", "Not A Device\n"}},
       nullptr},
      {"the udev rule's description wins over the device's strings",
       "ttyUSB6",
       kBus + "/1-7/1-7:1.3",
       {{kBus + "/1-7/1-7:1.3/interface", "Vendor Serial\n"},
        {kBus + "/1-7/idVendor", "1e0f\n"},
        {kBus + "/1-7/product", "KVX Modem\n"},
        {kBus + "/1-7/1-7:1.3/ttyUSB6/tty/ttyUSB6/dev", "188:6\n"},
        {"run/udev/data/c188:6",
         "S:serial/by-id/usb-x-if03\nE:ID_VENDOR_ID=1e0f\nE:DIAG_PORT_DESCRIPTION=KVX Diagnostics\n"
         "E:ID_USB_INTERFACE_NUM=03\n"}},
       L"KVX Diagnostics"},
      {"a udev record without the property leaves the device's strings",
       "ttyUSB7",
       kBus + "/1-8/1-8:1.0",
       {{kBus + "/1-8/idVendor", "1e0f\n"},
        {kBus + "/1-8/product", "KVX Modem\n"},
        {kBus + "/1-8/1-8:1.0/ttyUSB7/tty/ttyUSB7/dev", "188:7\n"},
        {"run/udev/data/c188:7", "E:ID_VENDOR_ID=1e0f\nE:DIAG_PORT_DESCRIPTION=\n"}},
       L"KVX Modem"},
  };

  TempRoot root;
  for (size_t i = 0; i < ports.size(); ++i) {
    const DescribedPort& port = ports[i];
    for (const auto& [path, content] : port.files) root.WriteFile(path, content);
    AddTty(root, port.interface_dir, port.tty);
    const std::string link = "dev/serial/com/COM" + std::to_string(i + 1);
    root.Link(link, "../../" + port.tty);
    StampLink(root, link, static_cast<time_t>(100 + i));
  }

  uint32_t error = 1;
  auto set = platform::MakeDeviceDiscovery()->ComPorts(&error);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(error, 0u);
  for (size_t i = 0; i < ports.size(); ++i) {
    SCOPED_TRACE(ports[i].what);
    ASSERT_TRUE(set->Enumerate(static_cast<uint32_t>(i)));
    std::wstring description, friendly;
    const bool described = set->DeviceDescription(static_cast<uint32_t>(i), &description);
    const bool named = set->FriendlyName(static_cast<uint32_t>(i), &friendly);
    if (ports[i].description == nullptr) {
      EXPECT_FALSE(described);
      EXPECT_FALSE(named);
      continue;
    }
    ASSERT_TRUE(described);
    EXPECT_EQ(description, ports[i].description);
    ASSERT_TRUE(named);
    EXPECT_EQ(friendly,
              std::wstring(ports[i].description) + L" (COM" + std::to_wstring(i + 1) + L")");
  }
  EXPECT_FALSE(set->Enumerate(static_cast<uint32_t>(ports.size())));

  // A text longer than the property buffer fails instead of being cut.
  root.WriteFile(kBus + "/1-2/1-2:1.2/interface", std::string(256, 'a'));
  std::wstring text;
  EXPECT_FALSE(set->DeviceDescription(0, &text));
}

TEST(ComPortDevices, TheWalkNeverLeavesTheDeviceRoot) {
  TempRoot outside;  // a second folder with a perfectly described interface
  outside.WriteFile("usb/1-1/1-1:1.0/interface", "KVX Diagnostics Interface\n");
  outside.WriteFile("usb/1-1/idVendor", "1e0f\n");
  outside.MakeDirs("usb/1-1/1-1:1.0/ttyUSB0");
  TempRoot root;  // names DIAG_DEVICE_ROOT from here on
  // A device link out of the root, and a dev number that would lead out of the udev database.
  root.Link("sys/class/tty/ttyUSB0/device", outside.At("usb/1-1/1-1:1.0/ttyUSB0"));
  root.WriteFile("sys/class/tty/ttyUSB0/dev", "../../../../" + outside.path() + "/x\n");
  root.WriteFile("sys/class/tty/ttyUSB1/device/x", "");
  root.WriteFile("sys/class/tty/ttyUSB1/dev", "188:1/../../c188:2\n");
  root.WriteFile("run/udev/data/c188:2", "E:DIAG_PORT_DESCRIPTION=KVX Diagnostics\n");
  root.Link("dev/serial/com/COM1", "../../ttyUSB0");
  root.Link("dev/serial/com/COM2", "../../ttyUSB1");
  StampLink(root, "dev/serial/com/COM1", 100);
  StampLink(root, "dev/serial/com/COM2", 200);

  uint32_t error = 1;
  auto set = platform::MakeDeviceDiscovery()->ComPorts(&error);
  ASSERT_NE(set, nullptr);
  std::wstring text;
  EXPECT_FALSE(set->DeviceDescription(0, &text));
  EXPECT_FALSE(set->DeviceDescription(1, &text));
}

class Cdroms : public ::testing::Test {
 protected:
  void AddDrive(int k, const std::string& vendor, const std::string& model) {
    const std::string base = "sys/class/block/sr" + std::to_string(k) + "/device/";
    root_.WriteFile(base + "vendor", vendor);
    root_.WriteFile(base + "model", model);
  }
  TempRoot root_;
  std::unique_ptr<platform::DeviceDiscovery> discovery_ = platform::MakeDeviceDiscovery();
};

TEST_F(Cdroms, InterfacesInUnitOrderThenNoMoreItems) {
  AddDrive(10, "B", "b");
  AddDrive(2, "A", "a");
  root_.MakeDirs("sys/class/block/sda");
  root_.MakeDirs("dev");
  root_.WriteFile("dev/sr2", "");
  uint32_t error = 1;
  auto set = discovery_->CdromInterfaces(&error);
  ASSERT_NE(set, nullptr);
  ASSERT_TRUE(set->EnumerateInterface(0, &error));
  uint32_t size = 0;
  EXPECT_EQ(set->QueryDetailSize(&size, &error), platform::StepResult::kOk);
  EXPECT_EQ(set->ReadDetail(size, &error), platform::StepResult::kOk);
  auto device = set->OpenDevice(&error);
  ASSERT_NE(device, nullptr) << "sr2 comes before sr10";
  std::vector<uint8_t> d;
  uint32_t returned = 0;
  ASSERT_TRUE(device->QueryDeviceDescriptor(&d, &returned, &error));
  EXPECT_EQ(StringAt(d, U32At(d, 12)), "A");
  EXPECT_TRUE(device->Close());

  ASSERT_TRUE(set->EnumerateInterface(1, &error));
  ASSERT_EQ(set->QueryDetailSize(&size, &error), platform::StepResult::kOk);
  ASSERT_EQ(set->ReadDetail(size, &error), platform::StepResult::kOk);
  EXPECT_EQ(set->OpenDevice(&error), nullptr);  // sr10 has no device node
  EXPECT_EQ(error, 2u);                         // file not found

  EXPECT_FALSE(set->EnumerateInterface(2, &error));
  EXPECT_EQ(error, platform::kErrorNoMoreItems);
}

TEST_F(Cdroms, DescriptorLaidOutAsTheDriverReturnsIt) {
  AddDrive(0, "KVX     \n", "Mass storage    \n");
  root_.WriteFile("dev/sr0", "");
  uint32_t error = 0, size = 0;
  auto set = discovery_->CdromInterfaces(&error);
  ASSERT_TRUE(set->EnumerateInterface(0, &error));
  ASSERT_EQ(set->QueryDetailSize(&size, &error), platform::StepResult::kOk);
  ASSERT_EQ(set->ReadDetail(size, &error), platform::StepResult::kOk);
  auto device = set->OpenDevice(&error);
  ASSERT_NE(device, nullptr);

  std::vector<uint8_t> d;
  uint32_t returned = 0;
  ASSERT_TRUE(device->QueryDeviceDescriptor(&d, &returned, &error));
  ASSERT_EQ(d.size(), 512u);
  EXPECT_EQ(U32At(d, 4), returned);
  EXPECT_EQ(d[8], 0x05);  // CD-ROM
  EXPECT_EQ(d[10], 1);    // removable
  const uint32_t vendor = U32At(d, 12), product = U32At(d, 16);
  ASSERT_GE(vendor, 36u);
  ASSERT_GT(product, vendor);
  EXPECT_EQ(StringAt(d, vendor), "KVX     ");
  EXPECT_EQ(StringAt(d, product), "Mass storage    ");
  EXPECT_LE(product + 17, returned);
  EXPECT_EQ(U32At(d, 20), 0u);  // no revision file, no revision
  EXPECT_EQ(U32At(d, 28), 7u);  // USB
  // Past what the driver returned the buffer stays zero.
  for (size_t i = returned; i < d.size(); ++i) ASSERT_EQ(d[i], 0) << i;
}

TEST_F(Cdroms, EjectIntoAFifoWritesTheCdb) {
  AddDrive(0, "KVX", "Mass storage");
  root_.MakeDirs("dev");
  ASSERT_EQ(mkfifo(root_.At("dev/sr0").c_str(), 0600), 0);
  const int device_side = open(root_.At("dev/sr0").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(device_side, 0);
  uint32_t error = 0, size = 0;
  auto set = discovery_->CdromInterfaces(&error);
  ASSERT_TRUE(set->EnumerateInterface(0, &error));
  ASSERT_EQ(set->QueryDetailSize(&size, &error), platform::StepResult::kOk);
  ASSERT_EQ(set->ReadDetail(size, &error), platform::StepResult::kOk);
  auto device = set->OpenDevice(&error);
  ASSERT_NE(device, nullptr);
  const uint8_t eject[6] = {0x1B, 0x00, 0x46, 0x00, 0x02, 0x00};
  ASSERT_TRUE(device->SendScsiCommand(eject, &error));
  EXPECT_EQ(error, 0u);
  uint8_t seen[8] = {};
  ASSERT_EQ(read(device_side, seen, sizeof seen), 6);
  EXPECT_EQ(std::memcmp(seen, eject, 6), 0);
  close(device_side);

  // A node that takes neither CDB writes nor SG_IO rejects the command.
  root_.WriteFile("dev/sr1", "");
  AddDrive(1, "X", "Y");
  auto again = discovery_->CdromInterfaces(&error);
  ASSERT_TRUE(again->EnumerateInterface(1, &error));
  ASSERT_EQ(again->QueryDetailSize(&size, &error), platform::StepResult::kOk);
  ASSERT_EQ(again->ReadDetail(size, &error), platform::StepResult::kOk);
  auto plain = again->OpenDevice(&error);
  ASSERT_NE(plain, nullptr);
  EXPECT_FALSE(plain->SendScsiCommand(eject, &error));
  EXPECT_NE(error, 0u);
}

}  // namespace
