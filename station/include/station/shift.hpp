// The shift mode: devices arrive one after another at every slot, all shift long.
#pragma once

#include "platform/clock.hpp"
#include "station/options.hpp"
#include "station/station.hpp"

namespace station {

// Each slot waits for a device, runs the jobs on it, shows its verdict until the device leaves,
// and waits for the next; one CSV line per device and job as each run ends. What the device's
// absences mean, and when it has left, is its DeviceAtSlot's to say. A stop starts
// no new run and lets the running ones finish (kExitAllPassed once they have); an urgent stop
// ends them ABORTED (kExitStopped). kExitRecordLost when a line could not be written.
int RunShift(const Options& options, platform::Clock& clock, const Surroundings& outside);

}  // namespace station
