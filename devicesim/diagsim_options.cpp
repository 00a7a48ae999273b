#include "devicesim/diagsim_options.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

#include "devicesim/device_root_layout.hpp"

namespace devicesim {

namespace {

const char kUsage[] =
    "usage: diagsim --root DIR [options]\n"
    "\n"
    "Serves one virtual DIAG device under the device root DIR (the folder the tools read\n"
    "through DIAG_DEVICE_ROOT) until interrupted (SIGINT or SIGTERM).\n"
    "\n"
    "  --root DIR           device root; created when missing (required)\n"
    "  --com N              serve the port COMN (default 7)\n"
    "  --layout KIND        the port's sysfs shape: usb-serial (a ttyUSB port, the default)\n"
    "                       or cdc-acm (a ttyACM port)\n"
    "  --tty NAME           tty name behind the COM link (default ttyUSB<N-1>, or for cdc-acm\n"
    "                       ttyACM<N-101>, the ttys the udev rule links to COM<N>)\n"
    "  --usb-path P         the device's USB port path: 3 (root hub port 3) or 1.4 (port 4\n"
    "                       of a hub on port 1); default N\n"
    "  --usb-location L     the kernel's name of the USB device folder, B-P.P (1-2.3: bus 1,\n"
    "                       hub port 2, port 3); what a station pins a run to with\n"
    "                       DIAG_USB_LOCATION (default: bus 1 and --usb-path)\n"
    "  --usb-id VID:PID     USB vendor and product id in hex (default 1e0f:9001)\n"
    "  --interface-number I USB interface number of the port (default 0)\n"
    "  --interface TEXT     USB interface text (default \"KVX Diagnostics Interface\")\n"
    "  --no-interface       write no interface file, so the product text describes the port\n"
    "  --product TEXT       USB product text (default \"KVX USB Modem\")\n"
    "  --usb-serial TEXT    the USB device's serial number (default: none, as a device that\n"
    "                       reports none)\n"
    "  --udev-description TEXT\n"
    "                       the description a line's udev rule gives the port\n"
    "  --cdrom              start as a CD-ROM; the serial port appears after the eject command\n"
    "  --cdrom-index K      the CD-ROM is sr<K> (default 0)\n"
    "  --eject-delay MS     time from the eject to the serial port (default 50)\n"
    "  --reset-absence MS   how long a reset makes the device vanish (default 200)\n"
    "  --mode-delay MS      the operating mode follows a mode request after MS (default 0)\n"
    "  --mode N             operating mode at start: 1 FTM, 2-4 offline, 5 online, 6 LPM\n"
    "  --nv-state FILE      keep NV items in FILE (loaded at start, saved on every change)\n"
    "  --nv-set ID:HEX      preload NV item ID (decimal) with the hex bytes HEX, for example\n"
    "                       453:0102ff or 453:01,02,ff; repeatable; the rest of the item is 0\n"
    "  --nv-inactive ID     NV item ID answers status 5 (inactive) until written; repeatable\n"
    "  --ignore-nv-writes N answer the next N NV writes without storing them, as a device\n"
    "                       that refuses the items would\n"
    "  --efs-load DIR       fill the file system from the host folder DIR\n"
    "  --efs-dump DIR       copy the file system into the host folder DIR on exit\n"
    "  --efs-keep-folder PATH\n"
    "                       refuse the removal of the folder PATH (EACCES); repeatable\n"
    "  --efs-capacity BYTES file system size (default 16777216)\n"
    "  --growing-descriptors every open gets a new file descriptor (default: the lowest free)\n"
    "  --verbose            print every request received, in hex, on standard error\n"
    "  --report             on exit, print the NV items held (id and first 16 bytes) and the\n"
    "                       file system's entries\n"
    "  --help               show this text\n"
    "  --version            show the version of the line tools it belongs to\n"
    "\n"
    "Whenever the port appears (at start, after the eject, after a reset) it prints\n"
    "\"diagsim: serving COM<N> at <link>\", and \"diagsim: COM<N> gone\" when it vanishes; with\n"
    "--cdrom it first prints \"diagsim: CD-ROM sr<K> at <root>; COM<N> follows the eject\".\n"
    "Exit code 0 after a clean stop, 2 on a usage error, 1 when the device cannot start.\n";

bool ParseNumber(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (*end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseNvSet(const std::string& text, uint16_t* id, NvData* data) {
  const size_t colon = text.find(':');
  long long number = 0;
  if (colon == std::string::npos || !ParseNumber(text.substr(0, colon), 0, 0xFFFF, &number)) {
    return false;
  }
  *id = static_cast<uint16_t>(number);
  *data = NvData{};
  std::string digits;
  for (char c : text.substr(colon + 1)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits.push_back(c);
    } else if (c != ',' && c != ' ') {
      return false;
    }
  }
  if (digits.size() % 2 != 0 || digits.size() > 2 * data->size()) return false;
  for (size_t i = 0; i < digits.size() / 2; ++i) {
    (*data)[i] = static_cast<uint8_t>(std::strtoul(digits.substr(2 * i, 2).c_str(), nullptr, 16));
  }
  return true;
}

// Port numbers from 1 to 31 joined by dots, at most seven tiers deep, as USB allows.
bool ValidUsbPath(const std::string& text) {
  size_t start = 0;
  for (int tier = 0; tier < 7; ++tier) {
    const size_t dot = text.find('.', start);
    long long port = 0;
    const std::string part =
        text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    const bool digits = !part.empty() && std::all_of(part.begin(), part.end(), [](char c) {
      return std::isdigit(static_cast<unsigned char>(c));
    });
    if (!digits || !ParseNumber(part, 1, 31, &port)) {
      return false;
    }
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
  return false;
}

bool ParseUsbId(const std::string& text, uint16_t* vendor, uint16_t* product) {
  const size_t colon = text.find(':');
  if (colon != 4 || text.size() != 9) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i != colon && !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  *vendor = static_cast<uint16_t>(std::strtoul(text.substr(0, 4).c_str(), nullptr, 16));
  *product = static_cast<uint16_t>(std::strtoul(text.substr(5).c_str(), nullptr, 16));
  return true;
}

DiagsimOptions UsageError(DiagsimOptions parsed, const std::string& message) {
  parsed.action = DiagsimOptions::Action::kUsageError;
  parsed.error = message;
  return parsed;
}

}  // namespace

const char* DiagsimUsage() { return kUsage; }

DiagsimOptions ParseDiagsimOptions(int argc, const char* const* argv) {
  DiagsimOptions parsed;
  Options& options = parsed.device;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    auto number = [&](long long min, long long max, long long* out) {
      std::string text;
      return value(&text) && ParseNumber(text, min, max, out);
    };
    long long n = 0;
    std::string text;
    if (arg == "--help" || arg == "-h") {
      parsed.action = DiagsimOptions::Action::kHelp;
      return parsed;
    } else if (arg == "--root") {
      if (!value(&options.root)) return UsageError(parsed, "--root needs a folder");
    } else if (arg == "--com") {
      if (!number(1, 255, &n)) return UsageError(parsed, "--com needs a port number from 1 to 255");
      options.com_number = static_cast<int>(n);
    } else if (arg == "--version") {
      parsed.action = DiagsimOptions::Action::kVersion;
      return parsed;
    } else if (arg == "--layout") {
      if (!value(&text) || !ParsePortLayout(text, &options.layout)) {
        return UsageError(parsed, "--layout needs usb-serial or cdc-acm");
      }
    } else if (arg == "--usb-path") {
      if (!value(&text) || !ValidUsbPath(text)) {
        return UsageError(parsed, "--usb-path needs port numbers joined by dots, for example 1.4");
      }
      options.usb_path = text;
    } else if (arg == "--usb-location") {
      if (!value(&text) || !ParseUsbLocation(text, &options.usb_bus, &options.usb_path)) {
        return UsageError(parsed, "--usb-location needs bus-port.port..., for example 1-2.3");
      }
    } else if (arg == "--usb-id") {
      if (!value(&text) || !ParseUsbId(text, &options.vendor_id, &options.product_id)) {
        return UsageError(parsed, "--usb-id needs VID:PID in hex, for example 1e0f:9001");
      }
    } else if (arg == "--interface-number") {
      if (!number(0, 255, &n)) {
        return UsageError(parsed, "--interface-number needs a number from 0 to 255");
      }
      options.interface_number = static_cast<int>(n);
    } else if (arg == "--usb-serial") {
      // A USB string descriptor holds at most 126 characters; a line end would split the file.
      if (!value(&options.usb_serial) || options.usb_serial.empty() ||
          options.usb_serial.size() > 126 ||
          options.usb_serial.find_first_of("\r\n") != std::string::npos) {
        return UsageError(parsed, "--usb-serial needs a text of 1 to 126 characters");
      }
    } else if (arg == "--udev-description") {
      if (!value(&options.udev_description)) {
        return UsageError(parsed, "--udev-description needs a text");
      }
    } else if (arg == "--tty") {
      if (!value(&options.tty_name)) return UsageError(parsed, "--tty needs a name");
    } else if (arg == "--interface") {
      if (!value(&options.interface_text)) return UsageError(parsed, "--interface needs a text");
    } else if (arg == "--no-interface") {
      options.write_interface_file = false;
    } else if (arg == "--product") {
      if (!value(&options.product_text)) return UsageError(parsed, "--product needs a text");
    } else if (arg == "--cdrom") {
      options.start_as_cdrom = true;
    } else if (arg == "--cdrom-index") {
      if (!number(0, 255, &n)) return UsageError(parsed, "--cdrom-index needs a number");
      options.cdrom_index = static_cast<int>(n);
    } else if (arg == "--eject-delay") {
      if (!number(0, 600000, &n)) return UsageError(parsed, "--eject-delay needs milliseconds");
      options.eject_to_serial_ms = static_cast<uint32_t>(n);
    } else if (arg == "--reset-absence") {
      if (!number(0, 600000, &n)) return UsageError(parsed, "--reset-absence needs milliseconds");
      options.reset_absence_ms = static_cast<uint32_t>(n);
    } else if (arg == "--mode-delay") {
      if (!number(0, 600000, &n)) return UsageError(parsed, "--mode-delay needs milliseconds");
      options.mode_follow_delay_ms = static_cast<uint32_t>(n);
    } else if (arg == "--mode") {
      if (!number(0, 255, &n)) return UsageError(parsed, "--mode needs an operating mode");
      options.initial_mode = static_cast<int>(n);
    } else if (arg == "--nv-state") {
      if (!value(&options.nv_state_file)) return UsageError(parsed, "--nv-state needs a file");
    } else if (arg == "--nv-set") {
      uint16_t id = 0;
      NvData data{};
      if (!value(&text) || !ParseNvSet(text, &id, &data)) {
        return UsageError(parsed, "--nv-set needs ID:HEX, at most 128 bytes");
      }
      parsed.preload.emplace_back(id, data);
    } else if (arg == "--nv-inactive") {
      if (!number(0, 0xFFFF, &n)) return UsageError(parsed, "--nv-inactive needs an item id");
      parsed.inactive.push_back(static_cast<uint16_t>(n));
    } else if (arg == "--ignore-nv-writes") {
      if (!number(0, 1000000, &n)) return UsageError(parsed, "--ignore-nv-writes needs a count");
      parsed.ignored_nv_writes = static_cast<int>(n);
    } else if (arg == "--efs-load") {
      if (!value(&parsed.efs_load)) return UsageError(parsed, "--efs-load needs a folder");
    } else if (arg == "--efs-keep-folder") {
      if (!value(&text)) return UsageError(parsed, "--efs-keep-folder needs a folder path");
      parsed.kept_folders.push_back(text);
    } else if (arg == "--efs-dump") {
      if (!value(&parsed.efs_dump)) return UsageError(parsed, "--efs-dump needs a folder");
    } else if (arg == "--efs-capacity") {
      if (!number(512, 1LL << 40, &n)) {
        return UsageError(parsed, "--efs-capacity needs a byte count");
      }
      options.efs_capacity_bytes = static_cast<uint64_t>(n);
    } else if (arg == "--growing-descriptors") {
      options.growing_descriptors = true;
    } else if (arg == "--verbose") {
      parsed.verbose = true;
    } else if (arg == "--report") {
      parsed.report = true;
    } else {
      return UsageError(parsed, "unknown option " + arg);
    }
  }
  if (options.root.empty()) return UsageError(parsed, "--root is required");
  return parsed;
}

}  // namespace devicesim
