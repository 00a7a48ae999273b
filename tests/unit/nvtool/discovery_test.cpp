#include <gtest/gtest.h>

#include "fake_adapter.hpp"
#include "nvtool/discovery.hpp"
#include "nvtool_harness.hpp"
#include "test_clock.hpp"

namespace {

using fake::Bytes;
using fake::CdromScript;

TEST(DiscoveryNames, DiagPortDescriptions) {
  EXPECT_TRUE(nvtool::DescriptionNamesDiagPort(L"KVX Diagnostics Interface"));
  EXPECT_TRUE(nvtool::DescriptionNamesDiagPort(L"Modem USB Download port"));
  EXPECT_FALSE(nvtool::DescriptionNamesDiagPort(L"KVX diagnostics"));
  EXPECT_FALSE(nvtool::DescriptionNamesDiagPort(L"USB Modem"));
}

TEST(DiscoveryNames, PortNumberFromFriendlyName) {
  EXPECT_EQ(nvtool::PortNumberFromFriendlyName(L"KVX Diagnostics Interface (COM12)"), 12);
  EXPECT_EQ(nvtool::PortNumberFromFriendlyName(L"(COM12)"), 0) << "\"(COM\" at the start is not taken";
  EXPECT_EQ(nvtool::PortNumberFromFriendlyName(L"Diag (COM12) x"), 0);
  EXPECT_EQ(nvtool::PortNumberFromFriendlyName(L"Diag (a) (COM3)"), 0) << "the first ')' must be the last";
  EXPECT_EQ(nvtool::PortNumberFromFriendlyName(L"7 Diag (COM12) x"), 7);
  EXPECT_EQ(nvtool::PortNumberFromFriendlyName(L"Diag (COM\x0135)"), 0);
}

TEST(DiscoveryNames, DescriptorStringsStayInsideTheReturnedBytes) {
  std::vector<uint8_t> d = fake::Descriptor("KVX     ", "Mass storage    ");
  EXPECT_EQ(nvtool::DescriptorString(d, 512, 12), L"KVX     ");
  EXPECT_EQ(nvtool::DescriptorString(d, 512, 16), L"Mass storage    ");
  EXPECT_EQ(nvtool::DescriptorString(d, 43, 12), L"KVX") << "cut at the end of the returned data";
  d[12] = 0xF0;
  d[13] = 0xFF;
  EXPECT_EQ(nvtool::DescriptorString(d, 512, 12), L"") << "an offset past the data gives nothing";
  std::vector<uint8_t> no_offset = fake::Descriptor("KVX", "x");
  std::fill(no_offset.begin() + 12, no_offset.begin() + 16, 0);
  EXPECT_EQ(nvtool::DescriptorString(no_offset, 512, 12), L"");
  const std::vector<uint8_t> long_vendor = fake::Descriptor(std::string(200, 'V'), "x");
  EXPECT_EQ(nvtool::DescriptorString(long_vendor, 512, 12).size(), 127u);
}

class EjectTest : public ::testing::Test {
 protected:
  EjectTest()
      : env_(testsupport::MakeNvToolEnvironment(
            rec_, clock_, devices_,
            [this](platform::Clock& c) { return std::make_unique<fake::FakeComPort>(c, scripts_, log_); })),
        out_(env_),
        link_(clock_, env_.make_com_port, out_),
        discovery_(devices_, link_, out_, clock_) {
    out_.OpenLog("KVX_WriteNVItem_log.txt");
  }
  static CdromScript Drive(const std::string& vendor, const std::string& product) {
    CdromScript s;
    s.descriptor = fake::Descriptor(vendor, product);
    return s;
  }
  std::string Wide() const { return nvtool::Narrow(rec_.wide_console); }

  testsupport::NvToolRecorder rec_;
  testsupport::TestClock clock_;
  fake::FakeDiscovery devices_;
  std::map<int, fake::PortScript> scripts_;
  fake::PortLog log_;
  nvtool::Environment env_;
  nvtool::OutputChannels out_;
  nvtool::DiagLink link_;
  nvtool::Discovery discovery_;
};

TEST_F(EjectTest, MatchUsesThePrefixesOnly) {
  const std::vector<std::pair<std::wstring, std::wstring>> matching = {
      {L"KVX     ", L"Mass storage    "}, {L"KVXABC", L"Mass storage"}, {L"Tavrel", L"Mass storage device"}};
  for (const auto& [vendor, product] : matching) {
    devices_.cdroms = {Drive(nvtool::Narrow(vendor), nvtool::Narrow(product))};
    uint32_t error = 0;
    auto set = devices_.CdromInterfaces(&error);
    EXPECT_TRUE(discovery_.GetDeviceProperty(*set, 0));
    EXPECT_TRUE(discovery_.MatchMassStorage()) << nvtool::Narrow(vendor);
  }
  for (const auto& [vendor, product] : std::vector<std::pair<std::string, std::string>>{
           {"kvx", "Mass storage"}, {"KV", "Mass storage"}, {"KVX", "Mass"}, {"Other", "Mass storage"}}) {
    devices_.cdroms = {Drive(vendor, product)};
    uint32_t error = 0;
    auto set = devices_.CdromInterfaces(&error);
    discovery_.GetDeviceProperty(*set, 0);
    EXPECT_FALSE(discovery_.MatchMassStorage()) << vendor << "/" << product;
  }
}

TEST_F(EjectTest, EjectOfAMatchingDrive) {
  devices_.cdroms = {Drive("Foreign", "DVD-RW"), Drive("KVX     ", "Mass storage    ")};
  EXPECT_TRUE(discovery_.EjectDisk());
  ASSERT_EQ(devices_.log.ejects.size(), 1u);
  EXPECT_EQ(devices_.log.ejects[0], (Bytes{0x1B, 0x00, 0x46, 0x00, 0x02, 0x00}));
  EXPECT_EQ(clock_.Pauses(), std::vector<uint32_t>{1000});
  EXPECT_EQ(devices_.log.closes, 2);
  EXPECT_EQ(Wide(), std::string(70, '=') +
                        "\nEnumerate device : No.0\r\nVID : Foreign\r\nPID : DVD-RW\r\n"
                        "\nEnumerate device : No.1\r\nVID : KVX     \r\nPID : Mass storage    \r\n"
                        "[Notice] Device match, send eject SCSI command\r\n"
                        "[Notice]Send eject SCSI command successfully\r\n"
                        "\nEnumerate device : No.2\r\nGet no more device items.\r\n");
  EXPECT_EQ(rec_.Log(), "Find KVX Mass storage \r\nSend eject SCSI command successfully \r\n");
}

TEST_F(EjectTest, EveryMatchingDriveInAPassIsEjected) {
  CdromScript refusing = Drive("KVX", "Mass storage");
  refusing.eject_accepted = false;
  refusing.close_fails = true;
  devices_.cdroms = {refusing, Drive("Tavrel", "Mass storage")};
  EXPECT_TRUE(discovery_.EjectDisk());
  EXPECT_EQ(devices_.log.ejects.size(), 2u);
  EXPECT_NE(Wide().find("[Notice]Send eject SCSI command failed : 1117\r\n"
                        "GetDeviceProperty - Failed to close device handle.\n"),
            std::string::npos);
  EXPECT_EQ(rec_.Log(), "Find KVX Mass storage \r\nSend eject SCSI command failed \r\n"
                        "Find KVX Mass storage \r\nSend eject SCSI command successfully \r\n");
}

TEST_F(EjectTest, AFailingInterfaceDoesNotHideTheDeviceBehindIt) {
  const std::vector<std::pair<CdromScript::Fail, std::string>> failures = {
      {CdromScript::Fail::kDetailSize, "GetDeviceProperty - SetupDiGetDeviceInterfaceDetail failed : 87\r\n"},
      {CdromScript::Fail::kAllocate, "GetDeviceProperty - Allocate interface detail data memory error.\r\n"},
      {CdromScript::Fail::kDetail, "GetDeviceProperty - SetupDiGetDeviceInterfaceDetail failed : 87\n"},
      {CdromScript::Fail::kOpen, "GetDeviceProperty - CreateFile failed with error: 87\r\n"},
      {CdromScript::Fail::kQuery, "GetDeviceProperty - IOCTL_STORAGE_QUERY_PROPERTY failed 87.\r\n"}};
  for (const auto& [fail, message] : failures) {
    rec_.wide_console.clear();
    devices_.log.ejects.clear();
    CdromScript broken;
    broken.fail = fail;
    broken.error = 87;
    devices_.cdroms = {broken, Drive("KVX", "Mass storage")};
    EXPECT_TRUE(discovery_.EjectDisk()) << message;
    EXPECT_EQ(devices_.log.ejects.size(), 1u) << message;
    EXPECT_NE(Wide().find("\nEnumerate device : No.0\r\n" + message + "\nEnumerate device : No.1\r\n"),
              std::string::npos)
        << Wide();
  }
}

TEST_F(EjectTest, PassesEndOnlyAtTheEndOfTheSet) {
  CdromScript broken;
  broken.fail = CdromScript::Fail::kEnumerate;
  broken.error = 1168;
  devices_.cdroms = {broken, Drive("KVX", "Mass storage")};
  EXPECT_FALSE(discovery_.EjectDisk());
  EXPECT_TRUE(devices_.log.ejects.empty());
  EXPECT_EQ(devices_.log.cdrom_sets, 20);
  EXPECT_NE(Wide().find("SetupDiEnumDeviceInterfaces failed : 1168\r\nCannot find specific Disk and "
                        "Re-Enumrate : 1th times\n"),
            std::string::npos);
}

TEST_F(EjectTest, NoCdromMakesTwentyPassesTwoSecondsApart) {
  EXPECT_FALSE(discovery_.EjectDisk());
  EXPECT_EQ(clock_.Pauses(), std::vector<uint32_t>(20, 2000));
  EXPECT_NE(Wide().find("Re-Enumrate : 20th times\n"), std::string::npos);
  EXPECT_EQ(Wide().find("Re-Enumrate : 21th"), std::string::npos);
  devices_.cdrom_set_fails = true;
  rec_.wide_console.clear();
  clock_.ClearPauses();
  EXPECT_FALSE(discovery_.EjectDisk());
  EXPECT_EQ(Wide(), "EjectDisk - SetupDiGetClassDevs failed : 13\n");
  EXPECT_TRUE(clock_.Pauses().empty());
}

TEST_F(EjectTest, SearchSkipsPortsThatDoNotAnswer) {
  devices_.com_devices = {{L"USB Modem", L"USB Modem (COM2)"},
                          {L"KVX Diagnostics Interface", L"KVX Diagnostics Interface (COM5)"},
                          {L"USB Diagnostics", L"USB Diagnostics (COM8)"}};
  scripts_[5] = {};  // opens, never answers
  fake::AnsweringDevice device;
  scripts_[8].answer = [&](const Bytes& r) { return device.Answer(r); };
  int port = 0;
  EXPECT_TRUE(discovery_.SearchComPort(&port));
  EXPECT_EQ(port, 8);
  EXPECT_EQ(log_.opened, (std::vector<int>{5, 8}));
  EXPECT_TRUE(link_.IsOpen());
}

}  // namespace
