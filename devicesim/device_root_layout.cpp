#include "devicesim/device_root_layout.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace devicesim {

namespace fs = std::filesystem;

namespace {

// Where the kernel puts a USB host controller on a PC; only the shape below usbB matters.
constexpr char kHostController[] = "sys/devices/pci0000:00/0000:00:14.0";
constexpr int kUsbSerialMajor = 188, kCdcAcmMajor = 166;

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

// The number at the end of a tty name (ttyUSB12 -> 12), 0 when there is none.
int TtyMinor(const std::string& tty) {
  size_t at = tty.size();
  while (at > 0 && std::isdigit(static_cast<unsigned char>(tty[at - 1]))) --at;
  return at < tty.size() && tty.size() - at < 6 ? std::stoi(tty.substr(at)) : 0;
}

std::string DeviceNumber(const SerialPortShape& shape) {
  const int major = shape.layout == PortLayout::kCdcAcm ? kCdcAcmMajor : kUsbSerialMajor;
  return std::to_string(major) + ":" + std::to_string(TtyMinor(shape.tty));
}

// The USB device's folder relative to the root, and the hub folders above it (outermost first).
struct UsbPlace {
  std::string bus_dir;                // .../usbB
  std::vector<std::string> hub_dirs;  // .../usbB/B-1, ...
  std::string device_dir;             // .../usbB/B-1/B-1.4
  std::string device_name;            // B-1.4
};

UsbPlace PlaceOf(int bus, const std::string& usb_path) {
  UsbPlace place;
  place.bus_dir = std::string(kHostController) + "/usb" + std::to_string(bus);
  std::string dir = place.bus_dir, name = std::to_string(bus) + "-";
  size_t start = 0;
  bool first = true;
  while (true) {
    const size_t dot = usb_path.find('.', start);
    name += (first ? "" : ".") + usb_path.substr(start, dot - start);
    dir += "/" + name;
    first = false;
    if (dot == std::string::npos) break;
    place.hub_dirs.push_back(dir);
    start = dot + 1;
  }
  place.device_dir = dir;
  place.device_name = name;
  return place;
}

bool WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

// The attributes a USB device folder always has that the tools' discovery looks at.
bool WriteUsbDevice(const fs::path& dir, uint16_t vendor, uint16_t product, const std::string* name,
                    const std::string& serial = std::string()) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  return !ec && WriteText(dir / "idVendor", Hex(vendor, 4) + "\n") &&
         WriteText(dir / "idProduct", Hex(product, 4) + "\n") &&
         (name == nullptr || WriteText(dir / "product", *name + "\n")) &&
         (serial.empty() || WriteText(dir / "serial", serial + "\n"));
}

bool Link(const std::string& target, const fs::path& link) {
  std::error_code ec;
  fs::remove(link, ec);
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

// The host controller and the hubs on the way are shared with other devices of the root and
// made once; the device's own folder is (re)written.
bool LayOutUsbDevice(const fs::path& root, const UsbPlace& place, uint16_t vendor, uint16_t product,
                     const std::string* product_text, const std::string& serial) {
  const std::string host_name = "Virtual Host Controller", hub_name = "USB 2.0 Hub";
  bool ok = true;
  if (!fs::exists(root / place.bus_dir / "idVendor")) {
    ok = ok && WriteUsbDevice(root / place.bus_dir, 0x1d6b, 0x0002, &host_name);
  }
  for (const std::string& hub : place.hub_dirs) {
    if (!fs::exists(root / hub / "idVendor"))
      ok = ok && WriteUsbDevice(root / hub, 0x05e3, 0x0608, &hub_name);
  }
  return ok && WriteUsbDevice(root / place.device_dir, vendor, product, product_text, serial);
}

std::string Padded(const std::string& text, size_t width) {
  std::string out = text;
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out + "\n";  // sysfs shows SCSI strings with a line end
}

// The SCSI device folder of a CD-ROM, relative to the root: below the USB device's
// mass-storage interface, or below a SATA port of the chipset.
std::string ScsiDeviceDir(const CdromShape& shape) {
  const std::string k = std::to_string(shape.index);
  if (!shape.on_usb) {
    const std::string ata =
        "sys/devices/pci0000:00/0000:00:17.0/ata" + std::to_string(shape.index + 1);
    return ata + "/host" + k + "/target" + k + ":0:0/" + k + ":0:0:0";
  }
  // Host numbers above the chipset's own, one per CD-ROM unit, so two devices never share one.
  const std::string host = std::to_string(32 + shape.index);
  const UsbPlace place = PlaceOf(shape.bus, shape.usb_path);
  return place.device_dir + "/" + place.device_name + ":1.0/host" + host + "/target" + host +
         ":0:0/" + host + ":0:0:0";
}

}  // namespace

bool ParsePortLayout(const std::string& text, PortLayout* layout) {
  if (text == "usb-serial") {
    *layout = PortLayout::kUsbSerial;
  } else if (text == "cdc-acm") {
    *layout = PortLayout::kCdcAcm;
  } else {
    return false;
  }
  return true;
}

std::string DefaultTtyName(PortLayout layout, int com_number) {
  if (layout == PortLayout::kCdcAcm) {
    return "ttyACM" + std::to_string(com_number > 100 ? com_number - 101 : com_number - 1);
  }
  return "ttyUSB" + std::to_string(com_number - 1);
}

bool ParseUsbLocation(const std::string& text, int* bus, std::string* usb_path) {
  const size_t dash = text.find('-');
  if (dash == 0 || dash == std::string::npos || dash > 3) return false;
  for (size_t i = 0; i < dash; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  const std::string path = text.substr(dash + 1);
  size_t start = 0;
  for (int tier = 0; tier < 7; ++tier) {
    const size_t dot = path.find('.', start);
    const std::string part =
        path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (part.empty() || part.size() > 2 || !std::all_of(part.begin(), part.end(), [](char c) {
          return std::isdigit(static_cast<unsigned char>(c));
        })) {
      return false;
    }
    const int port = std::stoi(part);
    if (port < 1 || port > 31) return false;
    if (dot == std::string::npos) {
      *bus = std::stoi(text.substr(0, dash));
      *usb_path = path;
      return *bus >= 1;
    }
    start = dot + 1;
  }
  return false;
}

bool LayOutSerialPort(const std::string& root_text, const SerialPortShape& shape,
                      std::string* error) {
  const fs::path root(root_text);
  const UsbPlace place = PlaceOf(shape.bus, shape.usb_path);
  bool ok =
      LayOutUsbDevice(root, place, shape.vendor_id, shape.product_id,
                      shape.has_product_text ? &shape.product_text : nullptr, shape.usb_serial);

  const std::string interface_name =
      place.device_name + ":1." + std::to_string(shape.interface_number);
  const fs::path interface_dir = root / place.device_dir / interface_name;
  const bool acm = shape.layout == PortLayout::kCdcAcm;
  // cdc-acm hangs the tty off the interface; usb-serial puts its own port device in between.
  const fs::path port_dir = acm ? interface_dir : interface_dir / shape.tty;
  const fs::path tty_dir = port_dir / "tty" / shape.tty;
  std::error_code ec;
  fs::create_directories(tty_dir, ec);
  fs::create_directories(root / "sys/class/tty", ec);
  fs::create_directories(root / "run/udev/data", ec);
  ok = ok && !ec &&
       WriteText(interface_dir / "bInterfaceNumber", Hex(shape.interface_number, 2) + "\n");
  if (shape.has_interface_text)
    ok = ok && WriteText(interface_dir / "interface", shape.interface_text + "\n");
  ok = ok && WriteText(tty_dir / "dev", DeviceNumber(shape) + "\n");
  ok = ok && Link("../../../" + port_dir.filename().string(), tty_dir / "device");
  ok = ok && Link("../../" + fs::relative(tty_dir, root / "sys").string(),
                  root / "sys/class/tty" / shape.tty);

  std::string record = "E:ID_VENDOR_ID=" + Hex(shape.vendor_id, 4) +
                       "\nE:ID_MODEL_ID=" + Hex(shape.product_id, 4) +
                       "\nE:ID_USB_INTERFACE_NUM=" + Hex(shape.interface_number, 2) + "\n";
  if (!shape.udev_description.empty())
    record += "E:DIAG_PORT_DESCRIPTION=" + shape.udev_description + "\n";
  ok = ok && WriteText(root / "run/udev/data" / ("c" + DeviceNumber(shape)), record);
  if (!ok) *error = "cannot lay out " + shape.tty + " in " + root_text;
  return ok;
}

void RemoveSerialPort(const std::string& root_text, const SerialPortShape& shape) {
  const fs::path root(root_text);
  std::error_code ec;
  fs::remove(root / "sys/class/tty" / shape.tty, ec);
  fs::remove(root / "run/udev/data" / ("c" + DeviceNumber(shape)), ec);
  fs::remove_all(root / PlaceOf(shape.bus, shape.usb_path).device_dir, ec);
}

bool LayOutCdrom(const std::string& root_text, const CdromShape& shape, std::string* error) {
  const fs::path root(root_text);
  const std::string name = "sr" + std::to_string(shape.index);
  const fs::path class_link = root / "sys/class/block" / name;
  std::error_code ec;
  if (fs::symlink_status(class_link, ec).type() != fs::file_type::not_found) {
    *error = name + " is already in " + root_text;
    return false;
  }
  const std::string scsi = ScsiDeviceDir(shape);
  const fs::path block = root / scsi / "block" / name;
  bool ok =
      !shape.on_usb || LayOutUsbDevice(root, PlaceOf(shape.bus, shape.usb_path), shape.vendor_id,
                                       shape.product_id, &shape.product_text, shape.usb_serial);
  fs::create_directories(block, ec);
  fs::create_directories(root / "sys/class/block", ec);
  fs::create_directories(root / "dev", ec);
  ok = ok && !ec && WriteText(root / scsi / "vendor", Padded(shape.vendor, 8)) &&
       WriteText(root / scsi / "model", Padded(shape.product, 16)) &&
       Link("../../../" + fs::path(scsi).filename().string(), block / "device") &&
       ::symlink(("../../" + fs::relative(block, root / "sys").string()).c_str(),
                 class_link.c_str()) == 0;
  if (!ok) {
    *error = "cannot lay out CD-ROM " + name + " in " + root_text;
    return false;
  }
  if (shape.with_node) {
    const fs::path node = root / "dev" / name;
    fs::remove(node, ec);
    if (::mkfifo(node.c_str(), 0666) != 0) {
      *error = "mkfifo " + node.string() + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

void RemoveCdrom(const std::string& root_text, const CdromShape& shape) {
  const fs::path root(root_text);
  const std::string name = "sr" + std::to_string(shape.index);
  std::error_code ec;
  fs::remove(root / "sys/class/block" / name, ec);
  fs::remove(root / "dev" / name, ec);
  const std::string scsi = ScsiDeviceDir(shape);
  // A USB device leaves as a whole; a SATA drive takes its port's folder with it.
  fs::remove_all(
      root / (shape.on_usb ? PlaceOf(shape.bus, shape.usb_path).device_dir
                           : fs::path(scsi).parent_path().parent_path().parent_path().string()),
      ec);
}

}  // namespace devicesim
