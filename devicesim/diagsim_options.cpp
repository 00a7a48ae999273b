#include "devicesim/diagsim_options.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

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
    "  --cdrom-serial TEXT  the serial number it reports while it shows its CD-ROM, where that\n"
    "                       differs from its ports' (\"\" for none)\n"
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

// An option whose one value `read` takes into the settings; otherwise the option `needs` it.
void AddOption(CLI::App& app, const std::string& name, const std::string& needs,
               std::function<bool(const std::string&)> read, bool repeatable = false) {
  CLI::Option* option = app.add_option_function<std::vector<std::string>>(
      name, [name, needs, read](const std::vector<std::string>& texts) {
        for (const std::string& text : texts) {
          if (!read(text)) throw CLI::ValidationError(name, "needs " + needs);
        }
      });
  option->expected(1)->allow_extra_args(false);
  option->multi_option_policy(repeatable ? CLI::MultiOptionPolicy::TakeAll
                                         : CLI::MultiOptionPolicy::Throw);
}

// A number from min to max, decimal or 0x hex, into out.
template <typename T>
std::function<bool(const std::string&)> Number(long long min, long long max, T* out) {
  return [min, max, out](const std::string& text) {
    long long n = 0;
    if (!ParseNumber(text, min, max, &n)) return false;
    *out = static_cast<T>(n);
    return true;
  };
}

std::function<bool(const std::string&)> Text(std::string* out) {
  return [out](const std::string& text) {
    *out = text;
    return true;
  };
}

// Where the device sits and how it shows itself: its port, USB identity and texts.
void AddIdentityOptions(CLI::App& app, Options& options) {
  AddOption(app, "--root", "a folder", Text(&options.root));
  AddOption(app, "--com", "a port number from 1 to 255", Number(1, 255, &options.com_number));
  AddOption(app, "--layout", "usb-serial or cdc-acm",
            [&](const std::string& text) { return ParsePortLayout(text, &options.layout); });
  AddOption(app, "--usb-path", "port numbers joined by dots, for example 1.4",
            [&](const std::string& text) {
              options.usb_path = text;
              return ValidUsbPath(text);
            });
  AddOption(app, "--usb-location", "bus-port.port..., for example 1-2.3",
            [&](const std::string& text) {
              return ParseUsbLocation(text, &options.usb_bus, &options.usb_path);
            });
  AddOption(app, "--usb-id", "VID:PID in hex, for example 1e0f:9001", [&](const std::string& text) {
    return ParseUsbId(text, &options.vendor_id, &options.product_id);
  });
  AddOption(app, "--interface-number", "a number from 0 to 255",
            Number(0, 255, &options.interface_number));
  // A USB string descriptor holds at most 126 characters; a line end would split the file.
  AddOption(app, "--usb-serial", "a text of 1 to 126 characters", [&](const std::string& text) {
    options.usb_serial = text;
    return !text.empty() && text.size() <= 126 && text.find_first_of("\r\n") == std::string::npos;
  });
  AddOption(app, "--cdrom-serial", "a text of at most 126 characters",
            [&](const std::string& text) {
              options.cdrom_serial_differs = true;
              options.cdrom_serial = text;
              return text.size() <= 126 && text.find_first_of("\r\n") == std::string::npos;
            });
  AddOption(app, "--udev-description", "a text", Text(&options.udev_description));
  AddOption(app, "--tty", "a name", Text(&options.tty_name));
  AddOption(app, "--interface", "a text", Text(&options.interface_text));
  AddOption(app, "--product", "a text", Text(&options.product_text));
}

// How it behaves over time: the CD-ROM, the eject, the reset, the mode changes.
void AddTimingOptions(CLI::App& app, Options& options) {
  AddOption(app, "--cdrom-index", "a number", Number(0, 255, &options.cdrom_index));
  AddOption(app, "--eject-delay", "milliseconds", Number(0, 600000, &options.eject_to_serial_ms));
  AddOption(app, "--reset-absence", "milliseconds", Number(0, 600000, &options.reset_absence_ms));
  AddOption(app, "--mode-delay", "milliseconds", Number(0, 600000, &options.mode_follow_delay_ms));
  AddOption(app, "--mode", "an operating mode", Number(0, 255, &options.initial_mode));
}

// What it holds at the start, what it refuses, and where its state goes.
void AddStateOptions(CLI::App& app, DiagsimOptions& parsed) {
  Options& options = parsed.device;
  AddOption(app, "--nv-state", "a file", Text(&options.nv_state_file));
  AddOption(
      app, "--nv-set", "ID:HEX, at most 128 bytes",
      [&](const std::string& text) {
        uint16_t id = 0;
        NvData data{};
        if (!ParseNvSet(text, &id, &data)) return false;
        parsed.preload.emplace_back(id, data);
        return true;
      },
      true);
  AddOption(
      app, "--nv-inactive", "an item id",
      [&](const std::string& text) {
        uint16_t id = 0;
        if (!Number(0, 0xFFFF, &id)(text)) return false;
        parsed.inactive.push_back(id);
        return true;
      },
      true);
  AddOption(app, "--ignore-nv-writes", "a count", Number(0, 1000000, &parsed.ignored_nv_writes));
  AddOption(app, "--efs-load", "a folder", Text(&parsed.efs_load));
  AddOption(app, "--efs-dump", "a folder", Text(&parsed.efs_dump));
  AddOption(
      app, "--efs-keep-folder", "a folder path",
      [&](const std::string& text) {
        parsed.kept_folders.push_back(text);
        return true;
      },
      true);
  AddOption(app, "--efs-capacity", "a byte count",
            Number(512, 1LL << 40, &options.efs_capacity_bytes));
}

}  // namespace

const char* DiagsimUsage() { return kUsage; }

DiagsimOptions ParseDiagsimOptions(int argc, const char* const* argv) {
  DiagsimOptions parsed;
  Options& options = parsed.device;
  CLI::App app;
  app.set_help_flag();
  const CLI::Option* help = app.add_flag("--help,-h")->disable_flag_override();
  const CLI::Option* version = app.add_flag("--version")->disable_flag_override();

  AddIdentityOptions(app, options);
  AddTimingOptions(app, options);
  AddStateOptions(app, parsed);
  bool no_interface = false;
  app.add_flag("--no-interface", no_interface)->disable_flag_override();
  app.add_flag("--cdrom", options.start_as_cdrom)->disable_flag_override();
  app.add_flag("--growing-descriptors", options.growing_descriptors)->disable_flag_override();
  app.add_flag("--verbose", parsed.verbose)->disable_flag_override();
  app.add_flag("--report", parsed.report)->disable_flag_override();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (help->count() > 0 || version->count() > 0) {
      parsed.action =
          help->count() > 0 ? DiagsimOptions::Action::kHelp : DiagsimOptions::Action::kVersion;
      return parsed;
    }
    parsed.action = DiagsimOptions::Action::kUsageError;
    parsed.error = error.what();
    return parsed;
  }
  if (help->count() > 0) {
    parsed.action = DiagsimOptions::Action::kHelp;
  } else if (version->count() > 0) {
    parsed.action = DiagsimOptions::Action::kVersion;
  } else if (options.root.empty()) {
    parsed.action = DiagsimOptions::Action::kUsageError;
    parsed.error = "--root is required";
  }
  if (no_interface) options.write_interface_file = false;
  return parsed;
}

}  // namespace devicesim
