// The device's presence in the device root: the serial port's links and sysfs entries, which
// come and go with a pseudo-terminal behind them, and the CD-ROM the device shows before the
// eject command.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "devicesim/device_impl.hpp"

namespace devicesim {

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kEjectCdb[6] = {0x1B, 0x00, 0x46, 0x00, 0x02, 0x00};

}  // namespace

// ---- Paths of the device root ----
fs::path VirtualDevice::Impl::Root() const { return fs::path(opt.root); }

fs::path VirtualDevice::Impl::ComLink() const {
  return Root() / "dev/serial/com" / ("COM" + std::to_string(opt.com_number));
}

fs::path VirtualDevice::Impl::TtyLink() const { return Root() / "dev" / opt.tty_name; }

SerialPortShape VirtualDevice::Impl::PortShape() const {
  SerialPortShape shape;
  shape.layout = opt.layout;
  shape.tty = opt.tty_name;
  shape.bus = opt.usb_bus;
  shape.usb_path = opt.usb_path;
  shape.interface_number = opt.interface_number;
  shape.vendor_id = opt.vendor_id;
  shape.product_id = opt.product_id;
  shape.has_interface_text = opt.write_interface_file;
  shape.interface_text = opt.interface_text;
  shape.product_text = opt.product_text;
  shape.usb_serial = opt.usb_serial;
  shape.udev_description = opt.udev_description;
  return shape;
}

// The device's own CD-ROM sits on its USB device, where its serial ports come after the eject.
CdromShape VirtualDevice::Impl::OwnCdrom() const {
  CdromShape shape;
  shape.index = opt.cdrom_index;
  shape.vendor = opt.cdrom_vendor;
  shape.product = opt.cdrom_product;
  shape.on_usb = true;
  shape.bus = opt.usb_bus;
  shape.usb_path = opt.usb_path;
  shape.vendor_id = opt.vendor_id;
  shape.product_id = opt.product_id;
  shape.product_text = opt.product_text;
  shape.usb_serial = opt.cdrom_serial_differs ? opt.cdrom_serial : opt.usb_serial;
  return shape;
}

fs::path VirtualDevice::Impl::CdromNode() const {
  return Root() / "dev" / ("sr" + std::to_string(opt.cdrom_index));
}

// ---- Serial port presence (device thread, or the caller before the thread runs) ----
bool VirtualDevice::Impl::Appear() {
  if (present) return true;
  int m = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (m < 0 || ::grantpt(m) != 0 || ::unlockpt(m) != 0) {
    error = std::string("pseudo-terminal: ") + std::strerror(errno);
    if (m >= 0) ::close(m);
    return false;
  }
  const char* name = ::ptsname(m);
  std::string slave_name = name ? name : "";
  // Holding the slave open keeps the master from seeing EIO between the tool's close and
  // reopen, and setting it raw now keeps anything from being echoed before the tool
  // configures its side.
  int s = ::open(slave_name.c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  if (s < 0 || ::tcgetattr(s, &tio) != 0) {
    error = "pseudo-terminal slave " + slave_name + ": " + std::strerror(errno);
    ::close(m);
    if (s >= 0) ::close(s);
    return false;
  }
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B115200);
  ::cfsetospeed(&tio, B115200);
  ::tcsetattr(s, TCSANOW, &tio);
  ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);

  std::error_code ec;
  fs::create_directories(ComLink().parent_path(), ec);
  std::string why;
  bool ok = !ec && LayOutSerialPort(opt.root, PortShape(), &why);
  // The COM link comes last: whoever sees it finds everything behind it in place.
  fs::remove(TtyLink(), ec);
  ok = ok && ::symlink(slave_name.c_str(), TtyLink().c_str()) == 0;
  fs::remove(ComLink(), ec);
  ok = ok && ::symlink(("../../" + opt.tty_name).c_str(), ComLink().c_str()) == 0;
  if (!ok) {
    error = why.empty() ? "cannot lay out the serial port in " + opt.root : why;
    ::close(m);
    ::close(s);
    RemoveSerialEntries();
    return false;
  }
  master = m;
  slave = s;
  slave_path = slave_name;
  present = true;
  deframer.Reset();
  if (opt.presence_observer) opt.presence_observer(true);
  return true;
}

void VirtualDevice::Impl::RemoveSerialEntries() {
  std::error_code ec;
  fs::remove(ComLink(), ec);
  fs::remove(TtyLink(), ec);
  RemoveSerialPort(opt.root, PortShape());
}

void VirtualDevice::Impl::Vanish() {
  const bool was_present = present;
  RemoveSerialEntries();
  if (master >= 0) ::close(master);
  if (slave >= 0) ::close(slave);
  master = slave = -1;
  slave_path.clear();
  present = false;
  output.clear();
  deframer.Reset();
  if (was_present && opt.presence_observer) opt.presence_observer(false);
}

// ---- CD-ROM ----
bool VirtualDevice::Impl::ShowCdrom() {
  if (!LayOutCdrom(opt.root, OwnCdrom(), &error)) return false;
  cdrom_laid_out = true;
  // Our own writer end keeps the reader from seeing end-of-file after each adapter's close.
  fifo_rd = ::open(CdromNode().c_str(), O_RDONLY | O_NONBLOCK);
  fifo_wr = fifo_rd >= 0 ? ::open(CdromNode().c_str(), O_WRONLY | O_NONBLOCK) : -1;
  if (fifo_rd < 0 || fifo_wr < 0) {
    error = "cannot open " + CdromNode().string() + ": " + std::strerror(errno);
    HideCdrom();
    return false;
  }
  cdrom = true;
  return true;
}

void VirtualDevice::Impl::HideCdrom() {
  // Only what this device made: an sr<k> of the same number may be another device's.
  if (cdrom_laid_out) RemoveCdrom(opt.root, OwnCdrom());
  cdrom_laid_out = false;
  if (fifo_rd >= 0) ::close(fifo_rd);
  if (fifo_wr >= 0) ::close(fifo_wr);
  fifo_rd = fifo_wr = -1;
  cdb.clear();
  cdrom = false;
}

void VirtualDevice::Impl::OnCdromBytes(const uint8_t* data, size_t n) {
  cdb.insert(cdb.end(), data, data + n);
  while (cdb.size() >= 6) {
    Bytes command(cdb.begin(), cdb.begin() + 6);
    cdb.erase(cdb.begin(), cdb.begin() + 6);
    cdbs.push_back(command);
    if (cdrom && std::equal(command.begin(), command.end(), kEjectCdb)) {
      eject_received = true;
      HideCdrom();
      After(opt.eject_to_serial_ms, [this] { Appear(); });
      return;
    }
  }
}

}  // namespace devicesim
