// One device at its slot, in either mode, from its arrival until it has left: who it is, which
// of its absences its own programs cause, and when the next program may start.
//
// The device is named by the serial number it reports once it shows its DIAG port (a CD-ROM
// may report another), once per device. While itemsmith runs it may vanish for its eject and
// its reset, and for nothing else; between two programs, and after a last program that resets it,
// the slot waits for it to be back; while treesmith runs, or once it is done, an absence longer
// than a glitch means it was pulled out. Another serial number at the slot means another device.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/clock.hpp"
#include "platform/usb_slots.hpp"
#include "station/device_jobs.hpp"
#include "station/options.hpp"
#include "station/slot_view.hpp"
#include "station/station.hpp"

namespace station {

// What a slot showed when the station last looked.
using Sight = platform::SlotSight;

class DeviceAtSlot {
 public:
  enum class Stage {
    kWaiting,     // no device yet
    kRunning,     // a program runs on it
    kHandOver,    // between two programs, until it is back
    kRestarting,  // its jobs have ended, and it reboots from the last one's reset
    kDone,        // its jobs have ended; it is to be taken out
    kLeft,        // it is gone, or another device is in its place (swapped())
  };

  // Longer than any glitch a healthy device shows, shorter than an operator's swap.
  static constexpr uint32_t kPulledMs = 1000;
  // How long a device may take to drop off after its reset was answered; one that is still
  // there then never went.
  static constexpr uint32_t kResetGoneMs = 5000;

  // `shift`: the rows show what the operator is to do (leave it in, take it out).
  DeviceAtSlot(const Options& options, platform::Clock& clock, const Surroundings& outside,
               const std::string& slot, DeviceJobs::Hooks hooks, bool shift);

  // Fresh rows for the next device, each showing `step`.
  void Reset(const std::string& step);

  // A device is there: its first program starts. Each run's folder is `folder_prefix`-<program>.
  void Arrive(const std::string& folder_prefix, const Sight& sight);

  // Follows the device through one pass of the station.
  void Follow(const Sight& sight);

  // Stops the running program ABORTED, and every one not started yet ends ABORTED too.
  void Abort(const std::string& why);

  Stage stage() const { return stage_; }
  // kLeft: another device took its place, rather than the slot being empty.
  bool swapped() const { return swapped_; }
  const DeviceJobs& jobs() const { return jobs_; }
  DeviceJobs& jobs() { return jobs_; }
  SlotView View() const;

 private:
  void Identify(const Sight& sight);
  bool Swapped(const Sight& sight) const;
  void Running(const Sight& sight);
  void JobEnded(const Sight& sight);
  void HandOver(const Sight& sight);
  void Restarting(const Sight& sight);
  void Done(const Sight& sight);
  // Between programs or restarting: true once the device is back from its reset.
  bool Back(const Sight& sight);
  void Settle(const std::string& done_step);
  void Leave(bool swapped);
  // How long the device has been missing as of this pass; 0 while it is here.
  uint32_t MissingFor(bool here);
  uint32_t Since(uint32_t tick) const { return clock_.TickCount() - tick; }

  const Options& options_;
  platform::Clock& clock_;
  const bool shift_;
  const std::function<std::string()> hold_;
  DeviceJobs jobs_;
  Stage stage_ = Stage::kWaiting;
  bool swapped_ = false;
  bool identified_ = false;
  std::string identity_;
  bool absent_ = false;     // not seen since absent_since_
  bool port_seen_ = false;  // while itemsmith runs: past its eject
  uint32_t absent_since_ = 0;
  // Between programs or restarting: since when, whether it is to reboot, whether it went.
  uint32_t waiting_since_ = 0;
  bool rebooting_ = false;
  bool gone_ = false;
  bool not_back_ = false;  // done, without coming back from its reset in time
};

}  // namespace station
