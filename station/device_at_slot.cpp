#include "station/device_at_slot.hpp"

#include <utility>

namespace station {

DeviceAtSlot::DeviceAtSlot(const Options& options, platform::Clock& clock,
                           const Surroundings& outside, const std::string& slot,
                           DeviceJobs::Hooks hooks, bool shift)
    : options_(options),
      clock_(clock),
      shift_(shift),
      hold_(hooks.hold),
      jobs_(options, clock, outside, slot, std::move(hooks)) {}

void DeviceAtSlot::Reset(const std::string& step) {
  jobs_.Reset(step);
  stage_ = Stage::kWaiting;
  swapped_ = identified_ = absent_ = port_seen_ = rebooting_ = gone_ = not_back_ = false;
  identity_.clear();
}

void DeviceAtSlot::Arrive(const std::string& folder_prefix, const Sight& sight) {
  stage_ = Stage::kRunning;
  Identify(sight);
  jobs_.ShowStep("waiting for its turn");
  jobs_.Begin(folder_prefix);
  if (!jobs_.running()) JobEnded(sight);
}

void DeviceAtSlot::Abort(const std::string& why) {
  jobs_.Abort(why);
  if (stage_ == Stage::kRunning || stage_ == Stage::kHandOver) Settle("done: take the device out");
}

void DeviceAtSlot::Follow(const Sight& sight) {
  switch (stage_) {
    case Stage::kRunning:
      Running(sight);
      return;
    case Stage::kHandOver:
      HandOver(sight);
      return;
    case Stage::kRestarting:
      Restarting(sight);
      return;
    case Stage::kDone:
      Done(sight);
      return;
    case Stage::kWaiting:
    case Stage::kLeft:
      return;
  }
}

// Read once, where the device talks: a CD-ROM may report another serial number than its ports.
void DeviceAtSlot::Identify(const Sight& sight) {
  if (identified_ || !sight.port) return;
  identified_ = true;
  identity_ = sight.serial;
  jobs_.SetSerial(identity_);
}

// Devices without a serial number, or with one for a whole batch, cannot be told apart this
// way; leaving the slot tells them apart.
bool DeviceAtSlot::Swapped(const Sight& sight) const {
  return identified_ && sight.port && !identity_.empty() && !sight.serial.empty() &&
         sight.serial != identity_;
}

void DeviceAtSlot::Running(const Sight& sight) {
  Identify(sight);
  if (Swapped(sight)) {
    jobs_.StopRunning(Failed(Why::kDeviceSwapped));
    Leave(true);
    return;
  }
  // A verdict that came in the same pass as the absence limit stands.
  jobs_.Poll();
  if (!jobs_.running()) {
    JobEnded(sight);
    return;
  }
  // itemsmith's eject (before its port shows) and its reset take the device away for a while;
  // nothing else that runs does.
  const bool itemsmith = options_.jobs[jobs_.current()].program == Program::kItemsmith;
  const bool here = itemsmith ? sight.device : sight.port;
  port_seen_ = port_seen_ || sight.port;
  const uint32_t missing = MissingFor(here);
  const bool its_own = itemsmith && (!port_seen_ || jobs_.resetting());
  if (!here && missing >= (its_own ? options_.removed_after_seconds * 1000 : kPulledMs)) {
    jobs_.StopRunning(Failed(Why::kDeviceRemoved));
    Leave(false);
  }
}

void DeviceAtSlot::JobEnded(const Sight& sight) {
  waiting_since_ = clock_.TickCount();
  rebooting_ = jobs_.reset_the_device();
  gone_ = false;
  absent_ = false;
  if (jobs_.done()) {
    stage_ = Stage::kRestarting;
    if (shift_ && rebooting_) jobs_.ShowStepWherePassed("restarting: leave it in");
    Restarting(sight);
    return;
  }
  stage_ = Stage::kHandOver;
  jobs_.ShowStep("waiting for the device to be back");
  HandOver(sight);
}

bool DeviceAtSlot::Back(const Sight& sight) {
  if (rebooting_ && !gone_) {
    if (sight.port && Since(waiting_since_) < kResetGoneMs) return false;
    gone_ = true;
  }
  return sight.port;
}

void DeviceAtSlot::HandOver(const Sight& sight) {
  Identify(sight);
  const uint32_t now = clock_.TickCount();
  if (Swapped(sight)) {
    jobs_.EndPending(Skipped(Why::kDeviceSwapped), now, clock_.Now());
    Leave(true);
    return;
  }
  const bool held = hold_ && !hold_().empty();
  if (Back(sight) || held) {
    jobs_.StartNext();
    if (jobs_.running()) {
      stage_ = Stage::kRunning;
    } else {
      JobEnded(sight);
    }
    return;
  }
  if (Since(waiting_since_) >= options_.removed_after_seconds * 1000) {
    jobs_.EndPending(Skipped(Why::kDeviceRemoved), now, clock_.Now());
    Leave(false);
  }
}

void DeviceAtSlot::Restarting(const Sight& sight) {
  if (!rebooting_) {
    Settle("done: take the device out");
    return;
  }
  Identify(sight);
  if (Swapped(sight)) {
    Leave(true);
  } else if (Back(sight)) {
    Settle("done: take the device out");
  } else if (Since(waiting_since_) >= options_.removed_after_seconds * 1000) {
    not_back_ = true;
    Settle("done: not back from its reset within " +
           std::to_string(options_.removed_after_seconds) + " s");
  }
}

void DeviceAtSlot::Done(const Sight& sight) {
  if (not_back_) {
    // Its own return, known by its serial number, changes nothing; anything else is a new one.
    if (sight.port && !identity_.empty() && sight.serial == identity_) {
      not_back_ = false;
      Settle("done: take the device out");
    } else if (sight.device) {
      Leave(true);
    }
    return;
  }
  if (Swapped(sight)) {
    Leave(true);
    return;
  }
  // Measured where it is seen again too: a station that looks only at changes may not pass
  // in between.
  if (sight.device && absent_ && Since(absent_since_) >= kPulledMs) {
    Leave(true);
  } else if (MissingFor(sight.device) >= kPulledMs) {
    Leave(false);
  }
}

uint32_t DeviceAtSlot::MissingFor(bool here) {
  if (here) {
    absent_ = false;
    return 0;
  }
  if (!absent_) {
    absent_ = true;
    absent_since_ = clock_.TickCount();
  }
  return Since(absent_since_);
}

void DeviceAtSlot::Settle(const std::string& done_step) {
  stage_ = Stage::kDone;
  absent_ = false;
  if (shift_) jobs_.ShowStepWherePassed(done_step);
}

void DeviceAtSlot::Leave(bool swapped) {
  stage_ = Stage::kLeft;
  swapped_ = swapped;
}

SlotView DeviceAtSlot::View() const {
  SlotView view = jobs_.View();
  switch (stage_) {
    case Stage::kWaiting:
      view.phase = jobs_.done() ? SlotView::Phase::kDone : SlotView::Phase::kWaiting;
      break;
    case Stage::kRunning:
    case Stage::kHandOver:
      view.phase = SlotView::Phase::kRunning;
      if (!jobs_.running()) view.step = jobs_.rows()[jobs_.current()].step;
      break;
    case Stage::kRestarting:
      view.phase = SlotView::Phase::kRestarting;
      view.step = "restarting";
      break;
    case Stage::kDone:
    case Stage::kLeft:
      view.phase = SlotView::Phase::kDone;
      break;
  }
  return view;
}

}  // namespace station
