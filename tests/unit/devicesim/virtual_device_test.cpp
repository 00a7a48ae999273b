#include "devicesim/virtual_device.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "device_client.hpp"

namespace {

using namespace devicesim_test;
namespace fs = std::filesystem;

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/devicesim-root-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    root_ = tmpl;
  }
  void TearDown() override {
    device_.reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  devicesim::Options Defaults() {
    devicesim::Options o;
    o.root = root_;
    o.reset_absence_ms = 30;
    o.eject_to_serial_ms = 10;
    return o;
  }
  void StartDevice(devicesim::Options o) {
    device_ = std::make_unique<devicesim::VirtualDevice>(std::move(o));
    ASSERT_TRUE(device_->Start()) << device_->Error();
  }
  void StartAndOpen(devicesim::Options o) {
    StartDevice(std::move(o));
    ASSERT_TRUE(client_.Open(device_->ComLinkPath()));
  }

  std::string root_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
  Client client_;
};

TEST_F(DeviceTest, LaysOutTheRootAsTheKernelDoesAndRemovesItOnStop) {
  const std::string usb1 = "sys/devices/pci0000:00/0000:00:14.0/usb1";
  struct Shape {
    devicesim::PortLayout layout;
    int com;
    std::string usb_path, tty, device, interface, usb_device, dev, hub;
  };
  const Shape shapes[] = {
      // usb-serial: the tty's device is the port below the interface.
      {devicesim::PortLayout::kUsbSerial, 12, "", "ttyUSB11", usb1 + "/1-12/1-12:1.2/ttyUSB11",
       usb1 + "/1-12/1-12:1.2", usb1 + "/1-12", "188:11", ""},
      // cdc-acm behind a hub: the tty's device is the interface itself.
      {devicesim::PortLayout::kCdcAcm, 103, "1.4", "ttyACM2", usb1 + "/1-1/1-1.4/1-1.4:1.2",
       usb1 + "/1-1/1-1.4/1-1.4:1.2", usb1 + "/1-1/1-1.4", "166:2", usb1 + "/1-1"},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.tty);
    devicesim::Options o = Defaults();
    o.layout = shape.layout;
    o.com_number = shape.com;
    o.usb_path = shape.usb_path;
    o.interface_number = 2;
    o.udev_description = "KVX Diagnostics";
    StartDevice(o);
    const fs::path root = fs::canonical(root_);
    const fs::path com = root / ("dev/serial/com/COM" + std::to_string(shape.com));
    ASSERT_TRUE(fs::is_symlink(com));
    EXPECT_EQ("../../" + shape.tty, fs::read_symlink(com).string());
    EXPECT_EQ(device_->SlavePath(), fs::read_symlink(root / "dev" / shape.tty).string());
    const fs::path tty = root / "sys/class/tty" / shape.tty;
    ASSERT_TRUE(fs::is_symlink(tty));
    EXPECT_EQ(root / shape.device, fs::canonical(tty / "device"));
    EXPECT_EQ("KVX Diagnostics Interface\n", ReadText(root / shape.interface / "interface"));
    EXPECT_EQ("02\n", ReadText(root / shape.interface / "bInterfaceNumber"));
    EXPECT_EQ("1e0f\n", ReadText(root / shape.usb_device / "idVendor"));
    EXPECT_EQ("KVX USB Modem\n", ReadText(root / shape.usb_device / "product"));
    EXPECT_EQ(shape.dev + "\n", ReadText(tty / "dev"));
    const std::string record = ReadText(root / "run/udev/data" / ("c" + shape.dev));
    EXPECT_NE(record.find("E:ID_USB_INTERFACE_NUM=02\n"), std::string::npos) << record;
    EXPECT_NE(record.find("E:DIAG_PORT_DESCRIPTION=KVX Diagnostics\n"), std::string::npos)
        << record;
    if (!shape.hub.empty()) {
      EXPECT_TRUE(fs::exists(root / shape.hub / "idVendor"));
    }

    EXPECT_TRUE(device_->SetComLinkTime(1000));
    struct stat st {};
    ASSERT_EQ(0, ::lstat(com.c_str(), &st));
    EXPECT_EQ(1000, st.st_mtime);
    device_->Stop();
    EXPECT_FALSE(fs::exists(fs::symlink_status(com)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tty)));
    EXPECT_FALSE(fs::exists(root / shape.usb_device));
    EXPECT_FALSE(fs::exists(root / "run/udev/data" / ("c" + shape.dev)));
  }
}

TEST_F(DeviceTest, AnswersIdentificationLoopbackAndUnknownCommands) {
  devicesim::Options o = Defaults();
  StartAndOpen(o);
  const Bytes version = client_.Transact({0x00});
  ASSERT_EQ(55u, version.size());
  EXPECT_EQ(0x00, version[0]);
  EXPECT_EQ(o.comp_date, std::string(version.begin() + 1, version.begin() + 12));
  EXPECT_EQ(o.comp_time, std::string(version.begin() + 12, version.begin() + 20));
  EXPECT_EQ(o.rel_date, std::string(version.begin() + 20, version.begin() + 31));
  EXPECT_EQ(o.ver_dir, std::string(version.begin() + 39, version.begin() + 47));
  EXPECT_EQ(o.mob_firm_rev, version[50] | (version[51] << 8));
  EXPECT_EQ(o.voc_min, version[54]);

  const Bytes ping = {0x7B, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(ping, client_.Transact(ping));

  const Bytes build = client_.Transact({0x7C});
  ASSERT_GT(build.size(), 12u);
  EXPECT_EQ(o.msm_hw_version, U32(build, 4));
  EXPECT_EQ(o.build_mobile_model, U32(build, 8));
  const std::string strings(build.begin() + 12, build.end());
  EXPECT_EQ(o.software_revision + '\0' + o.model_string + '\0', strings);

  EXPECT_EQ((Bytes{0x13, 0x55, 0x01}), client_.Transact({0x55, 0x01}));
  // A tool that sends a fixed-size request with stray bytes hears about it.
  EXPECT_EQ((Bytes{0x15, 0x00, 0x00}), client_.Transact({0x00, 0x00}));
  EXPECT_EQ((Bytes{0x15, 0x4B, 0x0F, 0x00, 0x00, 0x01}),
            client_.Transact({0x4B, 0x0F, 0x00, 0x00, 0x01}));
  EXPECT_EQ((Bytes{0x13, 0x4B, 0x22, 0x00, 0x00}), client_.Transact({0x4B, 0x22, 0x00, 0x00}));

  device_->LongVersionReply(true);
  EXPECT_GT(client_.Transact({0x00}).size(), 55u);
  EXPECT_EQ(8u, device_->GoodRequests().size());
}

TEST_F(DeviceTest, OperatingModeFollowsModeRequests) {
  devicesim::Options o = Defaults();
  o.mode_follow_delay_ms = 40;
  StartAndOpen(o);
  const Bytes state_request = {0x4B, 0x0F, 0x00, 0x00};
  Bytes state = client_.Transact(state_request);
  ASSERT_EQ(16u, state.size());
  EXPECT_EQ(5u, U32(state, 8));

  EXPECT_EQ((Bytes{0x29, 0x01, 0x00}), client_.Transact({0x29, 0x01, 0x00}));
  EXPECT_EQ(5, device_->OperatingMode());  // not yet: the mode follows after the delay
  ASSERT_TRUE(WaitFor([&] { return device_->OperatingMode() == 2; }));
  EXPECT_EQ(2u, U32(client_.Transact(state_request), 8));

  client_.Transact({0x29, 0x03, 0x00});
  ASSERT_TRUE(WaitFor([&] { return device_->OperatingMode() == 1; }));
  device_->NeverReachMode(true);
  EXPECT_EQ((Bytes{0x29, 0x04, 0x00}), client_.Transact({0x29, 0x04, 0x00}));
  // Three follow delays: the mode would have moved by now, had the device not been stuck.
  std::this_thread::sleep_for(std::chrono::milliseconds(o.mode_follow_delay_ms * 3));
  EXPECT_EQ(1, device_->OperatingMode());
  EXPECT_EQ((Bytes{0x15, 0x29, 0x01}), client_.Transact({0x29, 0x01}));  // too short
}

TEST_F(DeviceTest, ResetVanishesAndComesBackOnline) {
  devicesim::Options o = Defaults();
  o.initial_mode = 2;
  StartAndOpen(o);
  const std::string first_slave = device_->SlavePath();
  EXPECT_EQ((Bytes{0x29, 0x02, 0x00}), client_.Transact({0x29, 0x02, 0x00}));
  ASSERT_TRUE(WaitFor([&] { return !device_->Present(); }));
  EXPECT_FALSE(fs::exists(fs::symlink_status(device_->ComLinkPath())));
  ASSERT_TRUE(WaitFor([&] { return device_->Present(); }));
  EXPECT_EQ(1, device_->ResetCount());
  EXPECT_EQ(5, device_->OperatingMode());
  ASSERT_TRUE(client_.Open(device_->ComLinkPath()));
  EXPECT_EQ(55u, client_.Transact({0x00}).size());
  EXPECT_FALSE(first_slave.empty());
}

TEST_F(DeviceTest, NvItemsAreWrittenReadAndKeptInTheStateFile) {
  devicesim::Options o = Defaults();
  o.nv_state_file = root_ + "/nv.txt";
  StartAndOpen(o);
  Bytes write(133, 0);
  write[0] = 0x27;
  write[1] = 0xC5;  // item 453
  write[2] = 0x01;
  for (int i = 0; i < 128; ++i) write[3 + i] = static_cast<uint8_t>(i * 3);
  Bytes answer = client_.Transact(write);
  ASSERT_EQ(133u, answer.size());
  EXPECT_EQ(0x27, answer[0]);
  EXPECT_EQ(0, answer[131] | answer[132]);

  Bytes read(133, 0);
  read[0] = 0x26;
  read[1] = 0xC5;
  read[2] = 0x01;
  answer = client_.Transact(read);
  ASSERT_EQ(133u, answer.size());
  EXPECT_EQ(Bytes(write.begin() + 3, write.begin() + 131),
            Bytes(answer.begin() + 3, answer.begin() + 131));
  EXPECT_EQ(1, device_->NvWriteCount(453));

  // The library reads with its own length: the answer keeps it.
  answer = client_.Transact({0x26, 0xC5, 0x01, 0xEE, 0x00, 0x00});
  EXPECT_EQ((Bytes{0x26, 0xC5, 0x01, 0x00, 0x00, 0x00}), answer);
  read[1] = 0x10;  // never written: zeros, status 0, unless marked inactive
  answer = client_.Transact(read);
  EXPECT_EQ(Bytes(128, 0), Bytes(answer.begin() + 3, answer.begin() + 131));
  device_->SetNvItemInactive(0x0110, true);
  answer = client_.Transact(read);
  ASSERT_EQ(133u, answer.size());
  EXPECT_EQ(5, answer[131] | (answer[132] << 8));

  device_->Stop();
  devicesim::VirtualDevice again(o);
  devicesim::NvData preset{};
  preset[0] = 0x42;
  again.SetNvItem(7, preset);  // before Start: must not push the stored items out
  ASSERT_TRUE(again.Start()) << again.Error();
  EXPECT_EQ(9, again.NvItem(453)[3]);
  again.Stop();
  devicesim::VirtualDevice third(o);
  EXPECT_EQ(9, third.NvItem(453)[3]);
  EXPECT_EQ(0x42, third.NvItem(7)[0]);
}

TEST_F(DeviceTest, Efs2RequestSequence) {
  devicesim::Options o = Defaults();
  o.efs_capacity_bytes = 100 * 512;
  StartAndOpen(o);
  Bytes status = client_.Transact(Efs2(19, {0}));
  ASSERT_EQ(48u, status.size());
  EXPECT_EQ(512u, U32(status, 20));
  EXPECT_EQ(100u, U32(status, 28));

  Bytes mkdir = {0xFF, 0x01};
  AddText(&mkdir, "/ui");
  EXPECT_EQ(0u, U32(client_.Transact(Efs2(9, mkdir)), 4));
  EXPECT_EQ(17u, U32(client_.Transact(Efs2(9, mkdir)), 4));  // EEXIST

  Bytes open;
  Add32(&open, 0x241);
  Add32(&open, 0x1B6);
  AddText(&open, "ui/index.htm");
  Bytes answer = client_.Transact(Efs2(2, open));
  ASSERT_EQ(12u, answer.size());
  ASSERT_EQ(0u, U32(answer, 8));
  const uint32_t fd = U32(answer, 4);
  Bytes write;
  Add32(&write, fd);
  Add32(&write, 0);
  const Bytes content(600, 0x7E);  // every byte needs an escape on the wire
  write.insert(write.end(), content.begin(), content.end());
  answer = client_.Transact(Efs2(5, write));
  ASSERT_EQ(20u, answer.size());
  EXPECT_EQ(600u, U32(answer, 12));
  EXPECT_EQ(0u, U32(answer, 16));
  Bytes close;
  Add32(&close, fd);
  EXPECT_EQ(0u, U32(client_.Transact(Efs2(3, close)), 4));
  EXPECT_EQ(9u, U32(client_.Transact(Efs2(3, close)), 4));  // EBADF: already closed
  Bytes stored;
  ASSERT_TRUE(device_->EfsReadFile("/ui/index.htm", &stored));
  EXPECT_EQ(content, stored);
  EXPECT_EQ(98u, U32(client_.Transact(Efs2(19, {0})), 28));

  Bytes opendir;
  AddText(&opendir, "/ui");
  answer = client_.Transact(Efs2(11, opendir));
  ASSERT_EQ(12u, answer.size());
  ASSERT_EQ(0u, U32(answer, 8));
  const uint32_t handle = U32(answer, 4);
  EXPECT_NE(0u, handle);
  Bytes readdir;
  Add32(&readdir, handle);
  Add32(&readdir, 1);
  answer = client_.Transact(Efs2(12, readdir));
  ASSERT_GT(answer.size(), 40u);
  EXPECT_EQ(handle, U32(answer, 4));
  EXPECT_EQ(0u, U32(answer, 12));
  EXPECT_EQ(0u, U32(answer, 16));  // a file
  EXPECT_EQ(600u, U32(answer, 24));
  EXPECT_EQ("index.htm", std::string(reinterpret_cast<const char*>(answer.data() + 40)));
  readdir[4] = 2;
  answer = client_.Transact(Efs2(12, readdir));
  ASSERT_GT(answer.size(), 40u);
  EXPECT_EQ(0, answer[40]);  // past the last entry
  Bytes closedir;
  Add32(&closedir, handle);
  EXPECT_EQ(0u, U32(client_.Transact(Efs2(13, closedir)), 4));
  EXPECT_EQ(0, device_->EfsOpenDirs());

  Bytes rmdir;
  AddText(&rmdir, "ui");
  EXPECT_EQ(39u, U32(client_.Transact(Efs2(10, rmdir)), 4));  // ENOTEMPTY
  Bytes unlink;
  AddText(&unlink, "/ui/index.htm");
  EXPECT_EQ(0u, U32(client_.Transact(Efs2(8, unlink)), 4));
  EXPECT_EQ(0u, U32(client_.Transact(Efs2(10, rmdir)), 4));
  EXPECT_EQ(2u, U32(client_.Transact(Efs2(10, rmdir)), 4));  // ENOENT
  EXPECT_TRUE(device_->EfsListing().empty());
}

TEST_F(DeviceTest, Efs2Misbehaviour) {
  StartAndOpen(Defaults());
  Bytes open;
  Add32(&open, 0x241);
  Add32(&open, 0x1B6);
  AddText(&open, "/f");
  const uint32_t fd = U32(client_.Transact(Efs2(2, open)), 4);
  Bytes write;
  Add32(&write, fd);
  Add32(&write, 0);
  write.insert(write.end(), {1, 2, 3, 4});
  device_->RefuseEfsWrites(1, 5);
  Bytes answer = client_.Transact(Efs2(5, write));
  EXPECT_EQ(0xFFFFFFFFu, U32(answer, 12));
  EXPECT_EQ(5u, U32(answer, 16));
  device_->ShortEfsWrites(1, 3);
  EXPECT_EQ(3u, U32(client_.Transact(Efs2(5, write)), 12));
  device_->FillUp();
  answer = client_.Transact(Efs2(19, {0}));
  EXPECT_EQ(0u, U32(answer, 28));
  write[4] = 0x00;
  write[5] = 0x10;  // offset 4096, past the file's only block
  EXPECT_EQ(28u, U32(client_.Transact(Efs2(5, write)), 16));  // ENOSPC
  device_->IgnoreEfsStatus(true);
  EXPECT_TRUE(client_.Transact(Efs2(19, {0}), 150).empty());
}

// Each sub-command by name: refused with the error number in its own field, nothing done.
TEST_F(DeviceTest, Efs2RefusalsByName) {
  StartAndOpen(Defaults());
  ASSERT_TRUE(device_->EfsMkdir("/d"));
  Bytes path;
  AddText(&path, "/d");
  Bytes mkdir = {0xFF, 0x01};
  AddText(&mkdir, "/e");
  Bytes handle_and_seq;
  Add32(&handle_and_seq, 1);
  Add32(&handle_and_seq, 1);
  const struct {
    const char* name;
    uint16_t command;
    Bytes body;
    size_t errno_at;
  } cases[] = {{"mkdir", 9, mkdir, 4},
               {"rmdir", 10, path, 4},
               {"unlink", 8, path, 4},
               {"opendir", 11, path, 8},
               {"readdir", 12, handle_and_seq, 12},
               {"statfs", 19, {0}, 4}};
  for (const auto& c : cases) {
    std::vector<uint8_t> prefix;
    ASSERT_TRUE(devicesim::VirtualDevice::Efs2Prefix(c.name, &prefix));
    EXPECT_EQ(c.command, prefix[2] | (prefix[3] << 8)) << c.name;
    ASSERT_TRUE(device_->RefuseEfs2(c.name, 1, 5));
    EXPECT_EQ(5u, U32(client_.Transact(Efs2(c.command, c.body)), c.errno_at)) << c.name;
  }
  EXPECT_TRUE(device_->EfsIsDir("/d"));
  EXPECT_FALSE(device_->EfsExists("/e"));
  EXPECT_FALSE(device_->RefuseEfs2("chmod", 1, 5));
}

TEST_F(DeviceTest, StrayAnswersLeaveBeforeTheNextOne) {
  StartAndOpen(Defaults());
  device_->MisbehaveOnlyFor({0x7B});
  device_->AnswerStrayBeforeNext(1, true);  // a copy
  EXPECT_EQ((Bytes{0x7B, 0x01}), client_.Transact({0x7B, 0x01}));
  ASSERT_TRUE(client_.Send({0x7B, 0x02}));
  EXPECT_EQ((Bytes{0x7B, 0x01}), client_.Receive());
  EXPECT_EQ((Bytes{0x7B, 0x02}), client_.Receive());
  device_->AnswerStrayBeforeNext(1, false);  // held
  EXPECT_TRUE(client_.Transact({0x7B, 0x03}, 150).empty());
  ASSERT_TRUE(client_.Send({0x7B, 0x04}));
  EXPECT_EQ((Bytes{0x7B, 0x03}), client_.Receive());
  EXPECT_EQ((Bytes{0x7B, 0x04}), client_.Receive());
  // A log packet in a write of its own, then the answer.
  device_->UnsolicitedBeforeResponses(1, {0x10, 0x01, 0x02}, true, 30);
  const size_t chunks = client_.chunks().size();
  ASSERT_TRUE(client_.Send({0x7B, 0x05}));
  EXPECT_EQ((Bytes{0x10, 0x01, 0x02}), client_.Receive());
  EXPECT_EQ((Bytes{0x7B, 0x05}), client_.Receive());
  EXPECT_GE(client_.chunks().size(), chunks + 2) << "the two came apart";
}

TEST_F(DeviceTest, ResponseMisbehaviour) {
  StartAndOpen(Defaults());
  device_->SplitResponses(1, 3, 30);
  EXPECT_EQ(55u, client_.Transact({0x00}).size());
  EXPECT_GE(client_.chunks().size(), 3u);  // the pieces came apart

  device_->CorruptCrc(1);
  devicesim::Deframer::Frame frame;
  ASSERT_TRUE(client_.Send({0x7B, 0x01}));
  ASSERT_TRUE(client_.NextFrame(&frame));
  EXPECT_FALSE(frame.good);
  EXPECT_EQ((Bytes{0x7B, 0x01}), frame.packet);

  device_->DropResponses(1);
  EXPECT_TRUE(client_.Transact({0x7B, 0x02}, 150).empty());
  device_->ErrorResponses(1, 0x14);
  EXPECT_EQ((Bytes{0x14, 0x7B, 0x03}), client_.Transact({0x7B, 0x03}));
  device_->ReplaceCommandCode(1, 0x26);
  EXPECT_EQ((Bytes{0x26, 0x04}), client_.Transact({0x7B, 0x04}));
  device_->DelayResponses(1, 150);
  ASSERT_TRUE(client_.Send({0x7B, 0x06}));
  EXPECT_TRUE(client_.Receive(30).empty());           // held back ...
  EXPECT_EQ((Bytes{0x7B, 0x06}), client_.Receive());  // ... not lost
  device_->TruncateResponses(1, 1);
  EXPECT_EQ((Bytes{0x00}), client_.Transact({0x00}));
  device_->MisbehaveOnlyFor({0x27});  // only NV writes go unanswered
  device_->DropResponses(1);
  EXPECT_EQ((Bytes{0x7B, 0x07}), client_.Transact({0x7B, 0x07}));
  EXPECT_TRUE(client_.Transact({0x27, 0x01, 0x00, 0xAA, 0x00, 0x00}, 150).empty());
  EXPECT_EQ(0xAA, device_->NvItem(1)[0]);  // stored all the same
  device_->MisbehaveOnlyFor({});
  device_->PatchResponses(1, 1, {0x11, 0x22});
  EXPECT_EQ((Bytes{0x7B, 0x11, 0x22}), client_.Transact({0x7B, 0x04}));
  device_->NoiseBeforeResponses(1, {0x7E, 0x7E, 0x41, 0x7E});
  device_->UnsolicitedBeforeResponses(1, {0x60, 0x00, 0x00});
  ASSERT_TRUE(client_.Send({0x7B, 0x05}));
  EXPECT_EQ((Bytes{0x60, 0x00, 0x00}), client_.Receive());  // unsolicited first, then the answer
  EXPECT_EQ((Bytes{0x7B, 0x05}), client_.Receive());
  device_->SendUnsolicited({0x10, 0x01, 0x02});
  EXPECT_EQ((Bytes{0x10, 0x01, 0x02}), client_.Receive());

  // A bad request frame is recorded and not answered.
  ASSERT_TRUE(client_.SendRaw(devicesim::FramePacketBadCrc({0x00})));
  EXPECT_TRUE(client_.Receive(150).empty());
  EXPECT_EQ(1, device_->BadFrames());
  EXPECT_EQ((Bytes{0x00}), device_->Requests().back());

  device_->DisappearAfterRequests(1, 20);
  ASSERT_TRUE(client_.Send({0x00}));
  EXPECT_TRUE(client_.Receive(150).empty());
  ASSERT_TRUE(WaitFor([&] { return device_->Present(); }));
  device_->Disappear();
  EXPECT_FALSE(device_->Present());
  device_->Reappear();
  ASSERT_TRUE(client_.Open(device_->ComLinkPath()));
  EXPECT_EQ(55u, client_.Transact({0x00}).size());
}

TEST_F(DeviceTest, CdromEjectThroughTheNodeBringsUpTheSerialPort) {
  devicesim::Options o = Defaults();
  o.start_as_cdrom = true;
  o.cdrom_index = 1;
  ASSERT_TRUE(devicesim::VirtualDevice::AddForeignCdrom(root_, 0, "OTHER", "DVD-RW"));
  StartDevice(o);
  EXPECT_FALSE(device_->Present());
  EXPECT_FALSE(fs::exists(fs::symlink_status(device_->ComLinkPath())));
  EXPECT_EQ("KVX     \n", ReadText(fs::path(root_) / "sys/class/block/sr1/device/vendor"));
  EXPECT_EQ("Mass storage    \n", ReadText(fs::path(root_) / "sys/class/block/sr1/device/model"));

  const std::string node = root_ + "/dev/sr1";
  int fd = ::open(node.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const uint8_t other[6] = {0x00, 0, 0, 0, 0, 0};  // TEST UNIT READY changes nothing
  ASSERT_EQ(6, ::write(fd, other, 6));
  const uint8_t eject[6] = {0x1B, 0x00, 0x46, 0x00, 0x02, 0x00};
  ASSERT_EQ(6, ::write(fd, eject, 6));
  ::close(fd);
  ASSERT_TRUE(WaitFor([&] { return device_->Present(); }));
  EXPECT_TRUE(device_->EjectReceived());
  EXPECT_FALSE(fs::exists(fs::path(root_) / "sys/class/block/sr1"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(node)));
  EXPECT_TRUE(fs::exists(fs::path(root_) / "sys/class/block/sr0"));  // the foreign drive stays
  ASSERT_TRUE(client_.Open(device_->ComLinkPath()));
  EXPECT_EQ(55u, client_.Transact({0x00}).size());
}

// Malformed and random requests must neither crash the device nor leave one unanswered: a
// receiver that waits for an answer it never gets is the fault this guards against.
TEST_F(DeviceTest, EveryWellFramedRequestGetsAnAnswer) {
  StartAndOpen(Defaults());
  std::mt19937 random(20261207);
  const std::vector<Bytes> heads = {{0x00},
                                    {0x7B},
                                    {0x7C},
                                    {0x26},
                                    {0x27},
                                    {0x4B},
                                    {0x4B, 0x0F},
                                    {0x4B, 0x13, 0x02, 0x00},
                                    {0x4B, 0x13, 0x05, 0x00},
                                    {0x4B, 0x13, 0x0C, 0x00},
                                    {0x4B, 0x13, 0x09, 0x00},
                                    {0x4B, 0x13, 0x0B, 0x00},
                                    {0x4B, 0x13, 0x03, 0x00},
                                    {0xF0}};
  for (int i = 0; i < 300; ++i) {
    Bytes request = heads[random() % heads.size()];
    const size_t tail = random() % 24;
    for (size_t k = 0; k < tail; ++k) request.push_back(static_cast<uint8_t>(random()));
    const Bytes answer = client_.Transact(request);
    ASSERT_FALSE(answer.empty()) << "request " << i << " went unanswered";
    const uint8_t code = answer[0];
    EXPECT_TRUE(code == request[0] || code == 0x13 || code == 0x15 || code == 0x18)
        << "request " << i << " answered with 0x" << std::hex << int(code);
    if (code == 0x4B) {
      EXPECT_EQ(Bytes(request.begin(), request.begin() + 4),
                Bytes(answer.begin(), answer.begin() + 4));
    }
  }
  EXPECT_EQ(55u, client_.Transact({0x00}).size());
}

TEST_F(DeviceTest, DevicesSharingARootKeepToTheirOwnEntries) {
  devicesim::Options a = Defaults();
  a.com_number = 3;
  a.write_interface_file = false;
  devicesim::Options b = Defaults();
  b.com_number = 4;
  b.product_text = "Other Modem";
  devicesim::VirtualDevice first(a), second(b);
  ASSERT_TRUE(first.Start()) << first.Error();
  ASSERT_TRUE(second.Start()) << second.Error();
  EXPECT_FALSE(fs::exists(fs::path(root_) / "sys/class/tty/ttyUSB2/device/../interface"));
  EXPECT_EQ("Other Modem\n",
            ReadText(fs::path(root_) / "sys/class/tty/ttyUSB3/device/../../product"));

  Client other;
  ASSERT_TRUE(client_.Open(first.ComLinkPath()));
  ASSERT_TRUE(other.Open(second.ComLinkPath()));
  EXPECT_EQ((Bytes{0x7B, 0x03}), client_.Transact({0x7B, 0x03}));
  EXPECT_EQ((Bytes{0x7B, 0x04}), other.Transact({0x7B, 0x04}));
  EXPECT_EQ(1u, first.GoodRequests().size());
  EXPECT_EQ(1u, second.GoodRequests().size());

  first.Stop();
  EXPECT_FALSE(fs::exists(fs::symlink_status(first.ComLinkPath())));
  EXPECT_TRUE(fs::is_symlink(second.ComLinkPath()));
  EXPECT_EQ((Bytes{0x7B, 0x05}), other.Transact({0x7B, 0x05}));
}

}  // namespace
