#include "station/slot_list.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "common/device_names.hpp"

namespace station {
namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The ports the programs take for a DIAG port and the CD-ROMs they eject; every other port
// or drive of the PC is no slot of a station.
bool ProvisionedHere(const platform::PresentDevice& device) {
  if (device.kind == platform::PresentDevice::Kind::kComPort)
    return common::DescriptionNamesDiagPort(Wide(device.description));
  return common::NamesDeviceCdrom(Wide(device.vendor), Wide(device.product));
}

std::string Padded(std::string text, size_t width) {
  text.resize(std::max(width, text.size()), ' ');
  return text;
}

}  // namespace

std::string SlotListing(const std::vector<platform::PresentDevice>& present) {
  struct Row {
    std::string slot, name, description;
  };
  std::vector<Row> rows;
  for (const platform::PresentDevice& device : present) {
    if (!ProvisionedHere(device)) continue;
    const bool cdrom = device.kind == platform::PresentDevice::Kind::kCdrom;
    // A device on no USB port cannot be pinned; it is shown so that it is not looked for.
    rows.push_back(
        {device.slot.empty() ? "(not on a USB port)" : device.slot,
         device.name.empty() ? "?" : device.name,
         device.description + (cdrom ? " (CD-ROM: its DIAG port comes after the eject)" : "")});
  }
  if (rows.empty()) return "No DIAG port and no device CD-ROM is plugged in.\n";
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.slot < b.slot; });
  size_t slot_width = 4, name_width = 4;
  for (const Row& row : rows) {
    slot_width = std::max(slot_width, row.slot.size());
    name_width = std::max(name_width, row.name.size());
  }
  std::string text =
      Padded("SLOT", slot_width) + "  " + Padded("PORT", name_width) + "  DESCRIPTION\n";
  for (const Row& row : rows) {
    text += Padded(row.slot, slot_width) + "  " + Padded(row.name, name_width) + "  " +
            row.description + "\n";
  }
  return text;
}

}  // namespace station
