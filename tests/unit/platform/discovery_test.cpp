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
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
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

// The sysfs layout of a USB serial function: the tty's device link leads to the interface,
// whose parent folder is the USB device with its product string.
void LayOutUsbTty(const TempRoot& root, const std::string& tty, const std::string& interface_text,
                  const std::string& product_text, bool with_interface_file = true) {
  const std::string usb = "sys/devices/usb1/" + tty;
  root.MakeDirs(usb + "/1-1:1.2");
  if (with_interface_file) root.WriteFile(usb + "/1-1:1.2/interface", interface_text);
  root.WriteFile(usb + "/product", product_text);
  root.Link("sys/class/tty/" + tty + "/device", "../../../devices/usb1/" + tty + "/1-1:1.2");
}

TEST(ComPortDevices, DescriptionFromInterfaceElseProductAndFriendlyNameAddsThePort) {
  TempRoot root;
  root.Link("dev/serial/com/COM5", "../../ttyUSB2");
  root.Link("dev/serial/com/COM6", "../../ttyUSB3");
  root.Link("dev/serial/com/COM7", "../../ttyACM0");
  root.Link("dev/serial/com/COM8", "../../ttyUSB9");
  StampLink(root, "dev/serial/com/COM5", 100);
  StampLink(root, "dev/serial/com/COM6", 200);
  StampLink(root, "dev/serial/com/COM7", 300);
  StampLink(root, "dev/serial/com/COM8", 400);
  LayOutUsbTty(root, "ttyUSB2", "KVX Diagnostics Interface\n", "KVX Modem\n");
  LayOutUsbTty(root, "ttyUSB3", "\n", "KVX Modem\n");          // empty interface string
  LayOutUsbTty(root, "ttyACM0", "", "Tavrel Hotspot\n", false);  // no interface file

  uint32_t error = 1;
  auto set = platform::MakeDeviceDiscovery()->ComPorts(&error);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(error, 0u);
  std::wstring text;
  ASSERT_TRUE(set->DeviceDescription(0, &text));
  EXPECT_EQ(text, L"KVX Diagnostics Interface");
  ASSERT_TRUE(set->FriendlyName(0, &text));
  EXPECT_EQ(text, L"KVX Diagnostics Interface (COM5)");
  ASSERT_TRUE(set->DeviceDescription(1, &text));
  EXPECT_EQ(text, L"KVX Modem");
  ASSERT_TRUE(set->DeviceDescription(2, &text));
  EXPECT_EQ(text, L"Tavrel Hotspot");
  ASSERT_TRUE(set->FriendlyName(2, &text));
  EXPECT_EQ(text, L"Tavrel Hotspot (COM7)");
  // No sysfs entry at all: the property cannot be read.
  EXPECT_FALSE(set->DeviceDescription(3, &text));

  // A text longer than the property buffer fails instead of being cut.
  root.WriteFile("sys/devices/usb1/ttyUSB2/1-1:1.2/interface", std::string(256, 'a'));
  EXPECT_FALSE(set->DeviceDescription(0, &text));
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
  EXPECT_EQ(error, 2u);  // file not found

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
