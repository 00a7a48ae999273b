#include "devicesim/device_root_layout.hpp"

#include <unistd.h>

#include <cctype>
#include <cstdio>
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

UsbPlace PlaceOf(const SerialPortShape& shape) {
  UsbPlace place;
  place.bus_dir = std::string(kHostController) + "/usb" + std::to_string(shape.bus);
  std::string dir = place.bus_dir, name = std::to_string(shape.bus) + "-";
  size_t start = 0;
  bool first = true;
  while (true) {
    const size_t dot = shape.usb_path.find('.', start);
    name += (first ? "" : ".") + shape.usb_path.substr(start, dot - start);
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
bool WriteUsbDevice(const fs::path& dir, uint16_t vendor, uint16_t product, const std::string* name) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  return !ec && WriteText(dir / "idVendor", Hex(vendor, 4) + "\n") &&
         WriteText(dir / "idProduct", Hex(product, 4) + "\n") &&
         (name == nullptr || WriteText(dir / "product", *name + "\n"));
}

bool Link(const std::string& target, const fs::path& link) {
  std::error_code ec;
  fs::remove(link, ec);
  return ::symlink(target.c_str(), link.c_str()) == 0;
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

bool LayOutSerialPort(const std::string& root_text, const SerialPortShape& shape, std::string* error) {
  const fs::path root(root_text);
  const UsbPlace place = PlaceOf(shape);
  const std::string host_name = "Virtual Host Controller", hub_name = "USB 2.0 Hub";
  bool ok = true;
  // Shared with other devices of the root: made once.
  if (!fs::exists(root / place.bus_dir / "idVendor")) {
    ok = ok && WriteUsbDevice(root / place.bus_dir, 0x1d6b, 0x0002, &host_name);
  }
  for (const std::string& hub : place.hub_dirs) {
    if (!fs::exists(root / hub / "idVendor")) ok = ok && WriteUsbDevice(root / hub, 0x05e3, 0x0608, &hub_name);
  }
  ok = ok && WriteUsbDevice(root / place.device_dir, shape.vendor_id, shape.product_id,
                            shape.has_product_text ? &shape.product_text : nullptr);

  const std::string interface_name = place.device_name + ":1." + std::to_string(shape.interface_number);
  const fs::path interface_dir = root / place.device_dir / interface_name;
  const bool acm = shape.layout == PortLayout::kCdcAcm;
  // cdc-acm hangs the tty off the interface; usb-serial puts its own port device in between.
  const fs::path port_dir = acm ? interface_dir : interface_dir / shape.tty;
  const fs::path tty_dir = port_dir / "tty" / shape.tty;
  std::error_code ec;
  fs::create_directories(tty_dir, ec);
  fs::create_directories(root / "sys/class/tty", ec);
  fs::create_directories(root / "run/udev/data", ec);
  ok = ok && !ec && WriteText(interface_dir / "bInterfaceNumber", Hex(shape.interface_number, 2) + "\n");
  if (shape.has_interface_text) ok = ok && WriteText(interface_dir / "interface", shape.interface_text + "\n");
  ok = ok && WriteText(tty_dir / "dev", DeviceNumber(shape) + "\n");
  ok = ok && Link("../../../" + port_dir.filename().string(), tty_dir / "device");
  ok = ok && Link("../../" + fs::relative(tty_dir, root / "sys").string(), root / "sys/class/tty" / shape.tty);

  std::string record = "E:ID_VENDOR_ID=" + Hex(shape.vendor_id, 4) + "\nE:ID_MODEL_ID=" +
                       Hex(shape.product_id, 4) + "\nE:ID_USB_INTERFACE_NUM=" +
                       Hex(shape.interface_number, 2) + "\n";
  if (!shape.udev_description.empty()) record += "E:DIAG_PORT_DESCRIPTION=" + shape.udev_description + "\n";
  ok = ok && WriteText(root / "run/udev/data" / ("c" + DeviceNumber(shape)), record);
  if (!ok) *error = "cannot lay out " + shape.tty + " in " + root_text;
  return ok;
}

void RemoveSerialPort(const std::string& root_text, const SerialPortShape& shape) {
  const fs::path root(root_text);
  std::error_code ec;
  fs::remove(root / "sys/class/tty" / shape.tty, ec);
  fs::remove(root / "run/udev/data" / ("c" + DeviceNumber(shape)), ec);
  fs::remove_all(root / PlaceOf(shape).device_dir, ec);
}

}  // namespace devicesim
