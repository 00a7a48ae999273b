// The serial port of the virtual device as the Linux kernel shows a USB serial function in
// sysfs, with the record udev keeps for it, so that the tools' discovery reads the same
// shapes here as on a line machine.
#pragma once

#include <cstdint>
#include <string>

namespace devicesim {

// usb-serial: sys/devices/.../usbB/B-P/B-P:1.I/ttyUSBk/tty/ttyUSBk, whose device link is the
// port folder ttyUSBk below the interface (the drivers modems bind to).
// cdc-acm: sys/devices/.../usbB/B-P/B-P:1.I/tty/ttyACMk, whose device link is the interface.
enum class PortLayout { kUsbSerial, kCdcAcm };

// "usb-serial" or "cdc-acm"; false for anything else.
bool ParsePortLayout(const std::string& text, PortLayout* layout);

// The tty the shipped udev rule would link to COM<n>: ttyUSB(n-1) for usb-serial,
// ttyACM(n-101) for cdc-acm (ttyACM(n-1) for numbers up to 100, which the rule never gives).
std::string DefaultTtyName(PortLayout layout, int com_number);

struct SerialPortShape {
  PortLayout layout = PortLayout::kUsbSerial;
  std::string tty;  // ttyUSB2, ttyACM0, or any name
  int bus = 1;
  std::string usb_path;      // port numbers from the root hub, "3", or "1.4" behind a hub on port 1
  int interface_number = 0;  // the I of B-P:1.I
  uint16_t vendor_id = 0, product_id = 0;
  bool has_interface_text = true;  // false: no interface file at all
  std::string interface_text;
  bool has_product_text = true;
  std::string product_text;
  std::string usb_serial;        // the USB device's serial file; "" = none, as a device without one
  std::string udev_description;  // DIAG_PORT_DESCRIPTION in the udev record; "" = not set
};

// "B-P.P", the kernel's name of a USB device folder (bus B, then the port on the root hub and
// on each hub below it, at most seven tiers, ports 1 to 31): its bus and its port path.
bool ParseUsbLocation(const std::string& text, int* bus, std::string* usb_path);

// Writes the port's sysfs folders, files and links, its class link sys/class/tty/<tty> and
// its udev record run/udev/data/c<major>:<minor>. Hubs and the host controller on the way are
// made when missing and shared with other devices of the root. False with a reason on failure.
bool LayOutSerialPort(const std::string& root, const SerialPortShape& shape, std::string* error);

// Removes what LayOutSerialPort made for this device (the hubs and the host controller stay,
// like the machine's own).
void RemoveSerialPort(const std::string& root, const SerialPortShape& shape);

// A CD-ROM as the kernel shows it: sys/class/block/sr<k> links into its SCSI device's block
// folder, whose device link leads to the SCSI device with its vendor and model strings. On USB
// the SCSI host hangs off the mass-storage interface B-P:1.0 of the USB device at bus/usb_path
// (the same folder the serial ports appear in after the eject); otherwise off a SATA port.
struct CdromShape {
  int index = 0;
  std::string vendor, product;  // SCSI identification, blank-padded as sysfs shows it
  bool with_node = true;        // dev/sr<k> as a FIFO that receives the CDBs
  bool on_usb = false;
  int bus = 1;
  std::string usb_path;
  uint16_t vendor_id = 0, product_id = 0;
  std::string product_text;
  std::string usb_serial;
};

// False with a reason when sr<k> is already in the root (another device's) or cannot be made.
bool LayOutCdrom(const std::string& root, const CdromShape& shape, std::string* error);
// Removes the class link, the node and the SCSI device; a USB device goes as a whole, as it
// does when it re-enumerates after the eject.
void RemoveCdrom(const std::string& root, const CdromShape& shape);

}  // namespace devicesim
