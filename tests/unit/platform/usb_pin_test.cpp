// The rules of a USB slot pin on both systems: which texts name a slot and which are refused
// (the run then sees nothing), and the walk that matches a Windows device node with a pin.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/portable/usb_pin.hpp"

namespace {

using platform::UsbPin;
using platform::portable::PinFromLinuxText;
using platform::portable::PinFromWindowsText;
using State = UsbPin::State;

struct PinCase {
  std::string text;
  State state;
  const char* refusal_part;  // a part of the log line that says why
};

TEST(UsbPin, LinuxNamesASlotOnlyByTheKernelsName) {
  const std::vector<PinCase> cases = {
      {"1-2", State::kPinned, ""},
      {"3-1.4.2", State::kPinned, ""},
      {"", State::kRefused, "is set but empty"},
      {"1-2 ", State::kRefused, "\"1-2 \" is not a USB location"},
      {"1-2.", State::kRefused, "is not a USB location"},
      {"usb1", State::kRefused, "is not a USB location"},
      {"1-2:1.0", State::kRefused, "is not a USB location"},
      {"1-" + std::string(1100, '2'), State::kRefused, "is longer than 1023 characters"},
  };
  EXPECT_EQ(PinFromLinuxText(false, "").state, State::kUnpinned);
  for (const PinCase& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    const UsbPin pin = PinFromLinuxText(true, c.text);
    EXPECT_EQ(pin.state, c.state);
    EXPECT_EQ(pin.location, c.state == State::kPinned ? c.text : "");
    EXPECT_NE(pin.refusal.find(c.refusal_part), std::string::npos) << pin.refusal;
    if (c.state == State::kRefused) {
      EXPECT_EQ(pin.refusal.compare(0, 18, "DIAG_USB_LOCATION "), 0);
      EXPECT_NE(pin.refusal.find("this run sees no device"), std::string::npos);
    }
  }
}

TEST(UsbPin, WindowsNamesASlotByLocationPathOrInformation) {
  const std::vector<PinCase> cases = {
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)", State::kPinned, ""},
      {"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS03)", State::kPinned, ""},
      {"Port_#0003.Hub_#0002", State::kPinned, ""},
      {"", State::kRefused, "is set but empty"},
      // The COM port's own node, which Device Manager shows first: an interface, not the slot.
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)#USBMI(0)", State::kRefused,
       "names a USB interface, not the USB device (linestation --list-slots"},
      {"PCIROOT(0)#PCI(1400)#USB(2", State::kRefused, "is not a USB location"},
      {"PCIROOT(0)##USB(2)", State::kRefused, "is not a USB location"},
      {"PCIROOT(0)#", State::kRefused, "is not a USB location"},
      {" Port_#0003.Hub_#0002", State::kRefused, "is not a USB location"},
      {"Port_#0003\tHub_#0002", State::kRefused, "\"Port_#0003?Hub_#0002\" is not"},
  };
  EXPECT_EQ(PinFromWindowsText(false, L"", true).state, State::kUnpinned);
  for (const PinCase& c : cases) {
    SCOPED_TRACE(c.text);
    const UsbPin pin = PinFromWindowsText(true, std::wstring(c.text.begin(), c.text.end()), true);
    EXPECT_EQ(pin.state, c.state);
    EXPECT_EQ(pin.location, c.state == State::kPinned ? c.text : "");
    EXPECT_NE(pin.refusal.find(c.refusal_part), std::string::npos) << pin.refusal;
  }
  // Not read whole (the environment holds more than the buffer takes), or longer than the bound.
  EXPECT_EQ(PinFromWindowsText(true, L"", false).state, State::kRefused);
  EXPECT_NE(PinFromWindowsText(true, L"", false).refusal.find("longer than 1023"),
            std::string::npos);
  EXPECT_EQ(PinFromWindowsText(true, std::wstring(1024, L'A'), true).state, State::kRefused);
  EXPECT_EQ(PinFromWindowsText(true, L"Port_#0003.Hub_#0002\u00e9", true).state, State::kRefused);
}

// A device tree as the configuration manager would report it.
class FakeTree final : public platform::portable::DeviceTree {
 public:
  struct Node {
    int parent;  // -1: the root
    std::vector<std::wstring> paths;
    std::vector<std::wstring> information;
  };
  std::map<uint32_t, Node> nodes;

  bool Parent(uint32_t node, uint32_t* parent) override {
    const auto it = nodes.find(node);
    if (it == nodes.end() || it->second.parent < 0) return false;
    *parent = static_cast<uint32_t>(it->second.parent);
    return true;
  }
  std::vector<std::wstring> LocationPaths(uint32_t node) override { return nodes[node].paths; }
  std::vector<std::wstring> LocationInformation(uint32_t node) override {
    return nodes[node].information;
  }
};

constexpr uint32_t kRoot = 0, kController = 1, kHub = 2, kDevice = 3, kInterface = 4,
                   kVendorChild = 5, kPort = 6, kCdrom = 7, kOther = 8, kOtherPort = 9, kLoop = 10;

// Controller, a hub on its port 2, on the hub's port 3 a composite device whose DIAG port hangs
// below its interface and a vendor driver's own node; its CD-ROM hangs off the device directly.
FakeTree Station() {
  FakeTree tree;
  const std::wstring hub = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
  tree.nodes[kRoot] = {-1, {}, {}};
  tree.nodes[kController] = {kRoot, {L"PCIROOT(0)#PCI(1400)"}, {L"PCI bus 0, device 20"}};
  tree.nodes[kHub] = {kController, {hub}, {L"Port_#0002.Hub_#0001"}};
  tree.nodes[kDevice] = {kHub, {hub + L"#USB(3)"}, {L"Port_#0003.Hub_#0002"}};
  tree.nodes[kInterface] = {kDevice, {hub + L"#USB(3)#USBMI(0)"}, {L"0000.0014.0000.002.003"}};
  tree.nodes[kVendorChild] = {kInterface, {}, {}};  // USB\VENDOR_BUS\..., no location of its own
  tree.nodes[kPort] = {kVendorChild, {}, {}};
  tree.nodes[kCdrom] = {kDevice, {}, {}};
  tree.nodes[kOther] = {kHub, {hub + L"#USB(4)"}, {L"Port_#0004.Hub_#0002"}};
  tree.nodes[kOtherPort] = {kOther, {}, {}};
  tree.nodes[kLoop] = {kLoop, {}, {}};
  return tree;
}

TEST(UsbPin, TheWalkPassesVendorNodesAndEndsAtTheDeviceOnItsPort) {
  FakeTree tree = Station();
  const std::wstring device = L"pciroot(0)#pci(1400)#usbroot(0)#usb(2)#usb(3)";
  struct WalkCase {
    uint32_t node;
    std::wstring pin;
    bool seen;
  };
  const std::vector<WalkCase> cases = {
      {kPort, device, true},  // letter case does not matter
      {kPort, L"Port_#0003.Hub_#0002", true},
      {kCdrom, device, true},  // the CD-ROM and the port are in one slot
      {kCdrom, L"PORT_#0003.HUB_#0002", true},
      {kOtherPort, device, false},
      {kOtherPort, L"Port_#0004.Hub_#0002", true},
      // The hub above the device is not the device: the walk ends at the device.
      {kPort, L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)", false},
      {kPort, L"Port_#0002.Hub_#0001", false},
      {kCdrom, L"PCIROOT(0)#PCI(1400)", false},
      {kLoop, device, false},  // a tree that loops ends the walk
  };
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.node) + " " + std::string(c.pin.begin(), c.pin.end()));
    EXPECT_EQ(platform::portable::NodeAtLocation(tree, c.node, c.pin), c.seen);
  }
  EXPECT_EQ(platform::portable::SlotOfNode(tree, kPort),
            L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)");
  EXPECT_EQ(platform::portable::SlotOfNode(tree, kCdrom),
            L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)");
  EXPECT_EQ(platform::portable::SlotOfNode(tree, kLoop), L"");
  // Where the system reports no location paths, the location information names the slot.
  tree.nodes[kDevice].paths.clear();
  EXPECT_EQ(platform::portable::SlotOfNode(tree, kPort), L"Port_#0003.Hub_#0002");
  EXPECT_TRUE(platform::portable::NodeAtLocation(tree, kPort, L"Port_#0003.Hub_#0002"));
  EXPECT_FALSE(platform::portable::NodeAtLocation(tree, kPort, L"Port_#0002.Hub_#0001"));
}

// A Windows instance ID carries the serial number the device gave, or one the system made up for
// a device without one (which names no device and so is none); what a record shows is cut to a
// USB string's length and kept printable.
TEST(UsbSerial, FromTheInstanceIdOnlyWhatTheDeviceGave) {
  const std::map<std::wstring, std::string> cases = {
      {L"USB\\VID_1E0F&PID_9001\\SN0042", "SN0042"},
      {L"USB\\VID_1E0F&PID_9001\\5&2A3B4C5D&0&3", ""},
      {L"USB\\VID_1E0F&PID_9001\\", ""},
      {L"SN0042", ""},
      {L"USB\\VID_1E0F&PID_9001\\AB\u00e9C", "AB?C"},
  };
  for (const auto& [id, serial] : cases) {
    EXPECT_EQ(platform::portable::SerialOfInstanceId(id), serial);
  }
  EXPECT_EQ(platform::portable::UsbSerialText(" SN\t1\x01 \n"), "SN?1?");
  EXPECT_EQ(platform::portable::UsbSerialText(std::string(200, 'x')).size(), 126u);
}

}  // namespace
