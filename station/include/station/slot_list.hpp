// linestation --list-slots: what is plugged in now, for an engineer writing a station's --slot
// options: each DIAG port and device CD-ROM with its slot, its port or drive and its description.
#pragma once

#include <string>
#include <vector>

#include "platform/usb_slots.hpp"

namespace station {

// The listing of those of `present` that itemsmith or treesmith would work with, one line each,
// sorted by slot, under a heading; a line saying so when there is none.
std::string SlotListing(const std::vector<platform::PresentDevice>& present);

}  // namespace station
