// The POSIX adapter against the virtual device: the port, discovery and the eject as the tools
// use them, over a real pseudo-terminal and a device root the device lays out.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "devicesim/virtual_device.hpp"
#include "eventually.hpp"
#include "platform/clock.hpp"
#include "platform/com_port.hpp"
#include "platform/device_discovery.hpp"
#include "platform/serial_registry.hpp"
#include "test_clock.hpp"

namespace {

using testsupport::Eventually;

using platform::kMaxDword;

std::string MakeRoot() {
  char pattern[] = "/tmp/platform-sim-XXXXXX";
  const char* made = mkdtemp(pattern);
  return made != nullptr ? made : "";
}

class AgainstDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeRoot();
    ASSERT_FALSE(root_.empty());
    setenv("DIAG_DEVICE_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    device_.reset();
    second_.reset();
    unsetenv("DIAG_DEVICE_ROOT");
    (void)!std::system(("rm -rf '" + root_ + "'").c_str());
  }

  devicesim::Options Defaults(int com) {
    devicesim::Options o;
    o.root = root_;
    o.com_number = com;
    return o;
  }
  void StartDevice(devicesim::Options options) {
    device_ = std::make_unique<devicesim::VirtualDevice>(options);
    ASSERT_TRUE(device_->Start()) << device_->Error();
  }

  // Opens the port the way the NV writer configures it.
  void OpenLikeTheWriter(platform::ComPort& port, int com) {
    ASSERT_EQ(port.Open(com, platform::IoMode::kBlocking), 0u);
    ASSERT_TRUE(port.Setup(4096, 4096));
    platform::CommProperties props;
    props.wPacketLength = 64;
    ASSERT_TRUE(port.GetProperties(&props));
    ASSERT_NE(props.dwProvCapabilities & platform::kPcfIntTimeouts, 0u);
    ASSERT_TRUE(port.SetTimeouts({kMaxDword, kMaxDword, 500, 1, 50}));
    platform::LineSettings s;
    ASSERT_TRUE(port.GetState(&s));
    s.BaudRate = 115200;
    s.fDtrControl = platform::kDtrControlEnable;
    s.fRtsControl = platform::kRtsControlEnable;
    s.EvtChar = 0x7E;
    ASSERT_TRUE(port.SetState(s));
    ASSERT_TRUE(port.Escape(platform::CommFunction::kSetRts));
    ASSERT_TRUE(port.Escape(platform::CommFunction::kClrDtr));
    ASSERT_TRUE(port.Purge(platform::kPurgeTxClear | platform::kPurgeRxClear));
  }

  std::string root_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
  std::unique_ptr<devicesim::VirtualDevice> second_;
  testsupport::TestClock clock_{100};
};

const std::vector<uint8_t> kVersionFrame = {0x00, 0x78, 0xF0, 0x7E};

TEST_F(AgainstDevice, VersionRequestAnsweredThroughTheWritersPortSettings) {
  StartDevice(Defaults(7));
  auto port = platform::MakeComPort(clock_);
  OpenLikeTheWriter(*port, 7);

  uint32_t written = 0;
  ASSERT_TRUE(port->Write(kVersionFrame.data(), 4, &written));
  ASSERT_EQ(written, 4u);
  EXPECT_EQ(port->LastError(), 0u);

  // One read returns the first bytes to arrive; gather until the closing flag.
  std::vector<uint8_t> reply;
  for (int reads = 0; reads < 50 && (reply.empty() || reply.back() != 0x7E); ++reads) {
    uint8_t buffer[2048];
    uint32_t got = 0;
    ASSERT_TRUE(port->Read(buffer, sizeof buffer, &got));
    reply.insert(reply.end(), buffer, buffer + got);
  }
  ASSERT_GE(reply.size(), 4u);
  EXPECT_EQ(reply.front(), 0x00);
  EXPECT_EQ(reply.back(), 0x7E);
  ASSERT_EQ(device_->GoodRequests().size(), 1u);
  EXPECT_EQ(device_->GoodRequests()[0], std::vector<uint8_t>{0x00});

  // Silence: a read gives nothing after its 500 ms, which pass in test time only.
  const uint64_t before = clock_.NowMs();
  uint8_t buffer[64];
  uint32_t got = 1;
  ASSERT_TRUE(port->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_GE(clock_.NowMs() - before, 500u);
}

TEST_F(AgainstDevice, ReaderWokenByTheResponseAndByClose) {
  StartDevice(Defaults(9));
  auto port = platform::MakeComPort(platform::RealClock());
  ASSERT_EQ(port->Open(9, platform::IoMode::kOverlapped), 0u);
  ASSERT_TRUE(port->SetTimeouts({kMaxDword, 0, 0, 1, 50}));

  std::atomic<int> frames{0};
  std::thread reader([&] {
    std::vector<uint8_t> pending;
    while (port->IsOpen()) {
      if (!port->WaitReadable(60000)) continue;
      uint8_t buffer[4096];
      uint32_t got = 0;
      if (!port->Read(buffer, sizeof buffer, &got)) continue;
      for (uint32_t i = 0; i < got; ++i) {
        if (buffer[i] == 0x7E) ++frames;
      }
    }
  });
  uint32_t written = 0;
  ASSERT_TRUE(port->Write(kVersionFrame.data(), 4, &written));
  // A 60 s idle wait that did not end on the response would leave this at 0.
  EXPECT_TRUE(Eventually([&] { return frames.load() >= 1; }));
  port->Close();
  reader.join();
  EXPECT_EQ(frames.load(), 1);
}

TEST_F(AgainstDevice, VanishingDeviceEndsTheReadWithAnError) {
  StartDevice(Defaults(4));
  auto port = platform::MakeComPort(clock_);
  OpenLikeTheWriter(*port, 4);
  device_->Disappear();
  uint8_t buffer[16];
  uint32_t got = 0;
  EXPECT_FALSE(port->Read(buffer, sizeof buffer, &got));
  EXPECT_NE(port->LastError(), 0u);
  port->Close();
  // Gone from the root as well: the open fails as for a missing port.
  EXPECT_EQ(port->Open(4, platform::IoMode::kBlocking), platform::kErrorFileNotFound);
}

TEST_F(AgainstDevice, DiscoveryShowsThePortWithItsDescriptions) {
  // A usb-serial port with only a product string, a cdc-acm port with its interface string,
  // and a usb-serial port behind a hub that only the line's udev rule describes.
  devicesim::Options first = Defaults(12);
  first.write_interface_file = false;
  first.product_text = "KVX USB Modem";
  StartDevice(first);
  devicesim::Options other = Defaults(103);
  other.layout = devicesim::PortLayout::kCdcAcm;
  other.interface_text = "KVX Download Interface";
  second_ = std::make_unique<devicesim::VirtualDevice>(other);
  ASSERT_TRUE(second_->Start()) << second_->Error();
  devicesim::Options third = Defaults(4);
  third.usb_path = "2.3";
  third.write_interface_file = false;
  third.product_text = "Modem";
  third.udev_description = "USB Diagnostics Port";
  devicesim::VirtualDevice described(third);
  ASSERT_TRUE(described.Start()) << described.Error();
  ASSERT_TRUE(device_->SetComLinkTime(1000));
  ASSERT_TRUE(second_->SetComLinkTime(2000));
  ASSERT_TRUE(described.SetComLinkTime(3000));

  std::vector<std::string> list;
  ASSERT_TRUE(platform::ReadSerialPortList(&list));
  EXPECT_EQ(list, (std::vector<std::string>{"COM12", "COM103", "COM4"}));

  uint32_t error = 1;
  auto set = platform::MakeDeviceDiscovery()->ComPorts(&error);
  ASSERT_NE(set, nullptr);
  std::wstring text;
  ASSERT_TRUE(set->Enumerate(0));
  ASSERT_TRUE(set->DeviceDescription(0, &text));
  EXPECT_EQ(text, L"KVX USB Modem");
  ASSERT_TRUE(set->FriendlyName(1, &text));
  EXPECT_EQ(text, L"KVX Download Interface (COM103)");
  ASSERT_TRUE(set->FriendlyName(2, &text));
  EXPECT_EQ(text, L"USB Diagnostics Port (COM4)");
  EXPECT_FALSE(set->Enumerate(3));
}

TEST_F(AgainstDevice, EjectOfTheCdromBringsUpTheSerialPort) {
  devicesim::Options o = Defaults(5);
  o.start_as_cdrom = true;
  o.cdrom_index = 1;
  StartDevice(o);
  ASSERT_TRUE(devicesim::VirtualDevice::AddUnopenableCdrom(root_, 0, "Other", "Drive"));

  uint32_t error = 0;
  auto discovery = platform::MakeDeviceDiscovery();
  auto set = discovery->CdromInterfaces(&error);
  ASSERT_NE(set, nullptr);
  uint32_t size = 0;
  // sr0 comes first and cannot be opened.
  ASSERT_TRUE(set->EnumerateInterface(0, &error));
  ASSERT_EQ(set->QueryDetailSize(&size, &error), platform::StepResult::kOk);
  ASSERT_EQ(set->ReadDetail(size, &error), platform::StepResult::kOk);
  EXPECT_EQ(set->OpenDevice(&error), nullptr);
  EXPECT_EQ(error, platform::kErrorFileNotFound);

  ASSERT_TRUE(set->EnumerateInterface(1, &error));
  ASSERT_EQ(set->QueryDetailSize(&size, &error), platform::StepResult::kOk);
  ASSERT_EQ(set->ReadDetail(size, &error), platform::StepResult::kOk);
  auto drive = set->OpenDevice(&error);
  ASSERT_NE(drive, nullptr) << error;
  std::vector<uint8_t> d;
  uint32_t returned = 0;
  ASSERT_TRUE(drive->QueryDeviceDescriptor(&d, &returned, &error));
  const uint32_t vendor = d[12] | d[13] << 8, product = d[16] | d[17] << 8;
  ASSERT_LT(vendor, returned);
  ASSERT_LT(product, returned);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[vendor])), "KVX     ");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[product])), "Mass storage    ");

  const uint8_t eject[6] = {0x1B, 0x00, 0x46, 0x00, 0x02, 0x00};
  ASSERT_TRUE(drive->SendScsiCommand(eject, &error));
  EXPECT_TRUE(drive->Close());
  ASSERT_TRUE(Eventually([&] { return device_->EjectReceived() && device_->Present(); }));
  EXPECT_EQ(device_->CdromCommands().size(), 1u);
  auto port = platform::MakeComPort(clock_);
  EXPECT_EQ(port->Open(5, platform::IoMode::kBlocking), 0u);
}

}  // namespace
