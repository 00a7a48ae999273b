// Device discovery on POSIX: the COMn links below the device root stand for the present COM port
// devices, described from sysfs (and the udev database) as the kernel lays them out;
// sys/class/block/sr<k> stand for the CD-ROM interfaces.
#include "platform/device_discovery.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "posix_serial_links.hpp"
#include "posix_support.hpp"
#include "posix_usb_location.hpp"
#include "platform/portable/usb_pin.hpp"
#include "platform/usb_slots.hpp"

namespace platform {
namespace {

constexpr size_t kPropertyCharacters = 255;  // a 256-character buffer with its terminator
constexpr size_t kDescriptorBuffer = 512;
// The tty's device, the interface, the USB device: the USB device is at most two levels up;
// the bound leaves room for odd drivers without climbing far into the bus.
constexpr int kWalkLevels = 4;
// The udev property the shipped rule sets on a DIAG port that carries no useful USB string.
constexpr char kUdevDescriptionProperty[] = "DIAG_PORT_DESCRIPTION";

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// What the line's udev rule named this port, like a driver's INF description on Windows: the
// rule's property in the udev database record of the tty's device number. It wins over the
// device's own strings because a line writes it on purpose for a port it knows.
bool UdevDescription(const std::string& tty, std::string* description) {
  const std::string root = posix::DeviceRoot();
  std::string number;
  if (!posix::ReadTextFile(root + "/sys/class/tty/" + tty + "/dev", &number)) return false;
  // "major:minor" and nothing else, so the record's name cannot lead out of the root.
  const size_t colon = number.find(':');
  const auto digits = [](const std::string& text) {
    return !text.empty() && text.size() <= 10 && std::all_of(text.begin(), text.end(), [](char c) {
      return std::isdigit(static_cast<unsigned char>(c));
    });
  };
  if (colon == std::string::npos || !digits(number.substr(0, colon)) ||
      !digits(number.substr(colon + 1))) {
    return false;
  }
  std::string record;
  if (!posix::ReadTextFile(root + "/run/udev/data/c" + number, &record)) return false;
  const std::string key = std::string("E:") + kUdevDescriptionProperty + "=";
  size_t line = 0;
  while (line < record.size()) {
    size_t end = record.find('\n', line);
    if (end == std::string::npos) end = record.size();
    if (record.compare(line, key.size(), key) == 0 && end > line + key.size()) {
      *description = record.substr(line + key.size(), end - line - key.size());
      return true;
    }
    line = end + 1;
  }
  return false;
}

// The USB interface string, or the product string of the USB device where the interface has
// none, as the kernel lays them out: for a cdc-acm tty its device is the interface itself,
// for a usb-serial tty the interface is one level up and the USB device (the folder with
// idVendor) above that. The walk stops at the USB device, so a hub's strings are never
// taken, and it never leaves the root's sys folder.
bool UsbDescription(const std::string& tty, std::string* description) {
  const std::string root = posix::DeviceRoot();
  const std::string sys = RealPath(root + "/sys");
  std::string at = RealPath(root + "/sys/class/tty/" + tty + "/device");
  if (sys.empty() || at.empty()) return false;
  for (int level = 0; level < kWalkLevels; ++level) {
    if (at.size() <= sys.size() || at.compare(0, sys.size(), sys) != 0 || at[sys.size()] != '/')
      return false;
    if (posix::ReadTextFile(at + "/interface", description) && !description->empty()) return true;
    if (access((at + "/idVendor").c_str(), F_OK) == 0) {
      return posix::ReadTextFile(at + "/product", description) && !description->empty();
    }
    at.erase(at.find_last_of('/'));
  }
  return false;
}

class LinkComPortSet final : public ComPortDeviceSet {
 public:
  explicit LinkComPortSet(std::vector<posix::ComLink> links) : links_(std::move(links)) {}

  bool Enumerate(uint32_t index) override { return index < links_.size(); }

  bool DeviceDescription(uint32_t index, std::wstring* text) override {
    std::string description;
    if (!Describe(index, &description)) return false;
    return Deliver(description, text);
  }

  bool FriendlyName(uint32_t index, std::wstring* text) override {
    std::string description;
    if (!Describe(index, &description)) return false;
    return Deliver(description + " (" + links_[index].name + ")", text);
  }

 private:
  bool Describe(uint32_t index, std::string* description) const {
    if (index >= links_.size()) return false;
    return posix::PortDescription(links_[index].tty, description);
  }

  // A text that would not fit the 256-character property buffer fails, as the property call does.
  static bool Deliver(const std::string& utf8, std::wstring* text) {
    std::wstring wide = posix::WideFromUtf8(utf8);
    if (wide.size() > kPropertyCharacters) return false;
    *text = std::move(wide);
    return true;
  }

  std::vector<posix::ComLink> links_;
};

void PutU32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

class NodeStorageDevice final : public StorageDevice {
 public:
  NodeStorageDevice(int fd, std::string sysfs_device)
      : fd_(fd), sysfs_device_(std::move(sysfs_device)) {}
  ~NodeStorageDevice() override { Close(); }

  bool QueryDeviceDescriptor(std::vector<uint8_t>* descriptor, uint32_t* returned,
                             uint32_t* error) override {
    if (fd_ < 0) {
      *error = 6;
      return false;
    }
    // The fixed part of the record as a 32- or 64-bit Windows build lays it out: nine 32-bit
    // fields and single bytes up to offset 36, one raw-property byte, padding to 40.
    constexpr size_t kFixedPart = 40;
    std::vector<uint8_t> bytes(kDescriptorBuffer, 0);
    size_t next = kFixedPart;
    auto put_string = [&](const char* file, size_t offset_field) {
      std::string value;
      if (!posix::ReadTextFile(sysfs_device_ + "/" + file, &value)) return;
      if (next + value.size() + 1 > bytes.size()) return;
      std::memcpy(bytes.data() + next, value.data(), value.size());
      PutU32(&bytes, offset_field, static_cast<uint32_t>(next));
      next += value.size() + 1;
    };
    PutU32(&bytes, 0, kFixedPart);  // Version: the size of the record the driver knows
    bytes[8] = 0x05;                // DeviceType: CD-ROM
    bytes[9] = 0;                   // DeviceTypeModifier
    bytes[10] = 1;                  // RemovableMedia
    bytes[11] = 0;                  // CommandQueueing
    put_string("vendor", 12);
    put_string("model", 16);
    put_string("rev", 20);
    PutU32(&bytes, 24, 0);  // no serial number
    PutU32(&bytes, 28, 7);  // BusType: USB
    PutU32(&bytes, 32, 0);  // no raw properties
    PutU32(&bytes, 4, static_cast<uint32_t>(next));
    *descriptor = std::move(bytes);
    *returned = static_cast<uint32_t>(next);
    *error = 0;
    return true;
  }

  bool SendScsiCommand(const uint8_t (&cdb)[6], uint32_t* error) override {
    if (fd_ < 0) {
      *error = 6;
      return false;
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
      *error = posix::ErrorFromErrno(errno);
      return false;
    }
    if (S_ISFIFO(st.st_mode)) {
      // A user-space device takes its SCSI commands as raw CDBs through a FIFO.
      const ssize_t n = ::write(fd_, cdb, sizeof cdb);
      if (n != static_cast<ssize_t>(sizeof cdb)) {
        *error = n < 0 ? posix::ErrorFromErrno(errno) : 31;
        return false;
      }
      *error = 0;
      return true;
    }
    uint8_t command[6];
    std::memcpy(command, cdb, sizeof command);
    uint8_t sense[32] = {};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_NONE;
    io.cmd_len = sizeof command;
    io.cmdp = command;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.timeout = 2000;
    if (ioctl(fd_, SG_IO, &io) != 0) {
      *error = posix::ErrorFromErrno(errno);
      return false;
    }
    // The SCSI status and sense data are the caller's to ignore, as with the pass-through; a
    // command that never reached the device is a failure of the call itself.
    if (io.host_status != 0) {
      *error = 31;
      return false;
    }
    *error = 0;
    return true;
  }

  bool Close() override {
    if (fd_ < 0) return false;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
  }

 private:
  int fd_;
  std::string sysfs_device_;
};

class BlockCdromSet final : public CdromInterfaceSet {
 public:
  explicit BlockCdromSet(std::vector<int> units) : units_(std::move(units)) {}

  bool EnumerateInterface(uint32_t index, uint32_t* error) override {
    if (index >= units_.size()) {
      *error = kErrorNoMoreItems;
      return false;
    }
    current_ = static_cast<int>(index);
    detail_read_ = false;
    *error = 0;
    return true;
  }

  StepResult QueryDetailSize(uint32_t* size, uint32_t* error) override {
    if (current_ < 0) {
      *error = kErrorInvalidParameter;
      return StepResult::kFailed;
    }
    // What the wide-character detail record would take: its fixed part and the path.
    *size = static_cast<uint32_t>(6 + 2 * (NodePath().size() + 1));
    *error = kErrorInsufficientBuffer;
    return StepResult::kOk;
  }

  StepResult ReadDetail(uint32_t size, uint32_t* error) override {
    if (current_ < 0 || size < 6 + 2 * (NodePath().size() + 1)) {
      *error = current_ < 0 ? kErrorInvalidParameter : kErrorInsufficientBuffer;
      return StepResult::kFailed;
    }
    detail_read_ = true;
    *error = 0;
    return StepResult::kOk;
  }

  std::unique_ptr<StorageDevice> OpenDevice(uint32_t* error) override {
    if (!detail_read_) {
      *error = kErrorInvalidParameter;
      return nullptr;
    }
    const int fd = ::open(NodePath().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      *error = posix::ErrorFromErrno(errno);
      return nullptr;
    }
    *error = 0;
    return std::make_unique<NodeStorageDevice>(fd, SysfsPath() + "/device");
  }

 private:
  std::string Name() const { return "sr" + std::to_string(units_[current_]); }
  std::string NodePath() const { return posix::DeviceRoot() + "/dev/" + Name(); }
  std::string SysfsPath() const { return posix::DeviceRoot() + "/sys/class/block/" + Name(); }

  std::vector<int> units_;
  int current_ = -1;
  bool detail_read_ = false;
};

// The k of every sys/class/block/sr<k> a run with `pin` sees, in order.
std::vector<int> CdromUnits(const UsbPin& pin) {
  std::vector<int> units;
  const std::string folder = posix::DeviceRoot() + "/sys/class/block";
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() < 3 || name.compare(0, 2, "sr") != 0 || name.size() > 8) continue;
      if (!std::all_of(name.begin() + 2, name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        continue;
      }
      if (!posix::VisibleTo(pin, folder + "/" + name)) continue;
      units.push_back(std::stoi(name.substr(2)));
    }
    closedir(dir);
  }
  std::sort(units.begin(), units.end());
  return units;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  return text;
}

class PosixDeviceDiscovery final : public DeviceDiscovery {
 public:
  // A machine without serial ports has an empty set, not a failing one.
  std::unique_ptr<ComPortDeviceSet> ComPorts(uint32_t* error) override {
    std::vector<posix::ComLink> links;
    posix::ListComLinks(ReadUsbPin(), &links);
    *error = 0;
    return std::make_unique<LinkComPortSet>(std::move(links));
  }

  std::unique_ptr<CdromInterfaceSet> CdromInterfaces(uint32_t* error) override {
    *error = 0;
    return std::make_unique<BlockCdromSet>(CdromUnits(ReadUsbPin()));
  }
};

}  // namespace

namespace posix {

bool PortDescription(const std::string& tty, std::string* description) {
  return UdevDescription(tty, description) || UsbDescription(tty, description);
}

}  // namespace posix

std::vector<PresentDevice> PresentDevices(const std::string& at) {
  UsbPin pin;
  if (!at.empty()) pin = portable::PinFromLinuxText(true, at);
  std::vector<PresentDevice> devices;
  std::vector<posix::ComLink> links;
  posix::ListComLinks(pin, &links);
  for (const posix::ComLink& link : links) {
    PresentDevice port;
    port.slot = posix::UsbLocationOf(posix::DeviceRoot() + "/sys/class/tty/" + link.tty);
    port.name = link.name;
    if (!posix::PortDescription(link.tty, &port.description)) port.description.clear();
    devices.push_back(std::move(port));
  }
  for (int unit : CdromUnits(pin)) {
    const std::string name = "sr" + std::to_string(unit);
    const std::string entry = posix::DeviceRoot() + "/sys/class/block/" + name;
    PresentDevice cdrom;
    cdrom.kind = PresentDevice::Kind::kCdrom;
    cdrom.slot = posix::UsbLocationOf(entry);
    cdrom.name = name;
    if (posix::ReadTextFile(entry + "/device/vendor", &cdrom.vendor))
      cdrom.vendor = Trimmed(cdrom.vendor);
    if (posix::ReadTextFile(entry + "/device/model", &cdrom.product))
      cdrom.product = Trimmed(cdrom.product);
    cdrom.description = cdrom.vendor + (cdrom.vendor.empty() ? "" : " ") + cdrom.product;
    devices.push_back(std::move(cdrom));
  }
  return devices;
}

std::unique_ptr<DeviceDiscovery> MakeDeviceDiscovery() {
  return std::make_unique<PosixDeviceDiscovery>();
}

}  // namespace platform
