// One device's jobs as both modes run them: one after the other (itemsmith, then treesmith), a
// failed one skipping the later ones unless --keep-going, and every job ending in exactly one
// outcome and one row, ABORTED and SKIPPED included.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.hpp"
#include "station/options.hpp"
#include "station/program_run.hpp"
#include "station/record.hpp"
#include "station/slot_view.hpp"
#include "station/station.hpp"
#include "station/verdict.hpp"

namespace station {

class DeviceJobs {
 public:
  struct Hooks {
    // Why the jobs not yet started must not start (a stop, a lost record); "" to go on. Asked
    // as each job ends, and before the next starts.
    std::function<std::string()> hold;
    // The row of a job that has just ended.
    std::function<void(const Row&)> ended;
  };

  DeviceJobs(const Options& options, platform::Clock& clock, const Surroundings& outside,
             std::string slot, Hooks hooks);

  // Fresh rows for the next device, each showing `step`.
  void Reset(const std::string& step);
  // The jobs without a verdict show `step`.
  void ShowStep(const std::string& step);
  // The jobs that passed show `step` instead; the others keep their reason.
  void ShowStepWherePassed(const std::string& step);
  // The rows that have no verdict yet name the device by `serial`.
  void SetSerial(const std::string& serial);

  // The device is there: its first job starts, and, where one cannot start, what follows it.
  // Each run's folder is `folder_prefix`-<program>.
  void Begin(const std::string& folder_prefix);

  // Follows the running job to its verdict. The next one waits for StartNext: the device may
  // be rebooting from the job that ended.
  void Poll();

  // The next job starts (or, held, ends ABORTED with the rest), and where one cannot start,
  // what follows it.
  void StartNext();

  // The running job ends with `outcome` (stopped, its verdict removed), and what follows it as
  // the rule for that outcome says.
  void StopRunning(const Outcome& outcome);

  // Every job not started yet ends with `outcome`; its time runs from `since` (a tick of the
  // clock) and `since_time`.
  void EndPending(const Outcome& outcome, uint32_t since, const platform::LocalTime& since_time);

  // Stops the running job ABORTED, and every one not started yet ends ABORTED too.
  void Abort(const std::string& why);

  bool running() const { return run_ != nullptr; }
  // The running job has sent the device its reset.
  bool resetting() const { return run_ != nullptr && run_->reset_sent(); }
  // A job has ended and the next one waits to start.
  bool between() const { return begun_ && run_ == nullptr && !done(); }
  // The job that ran last passed and reset the device: it is rebooting now.
  bool reset_the_device() const { return reset_the_device_; }
  // The running job, or the next to start.
  size_t current() const { return next_; }
  bool done() const { return next_ >= outcomes_.size() && run_ == nullptr; }
  bool passed() const;
  bool aborted() const;
  const std::string& slot() const { return slot_; }
  const std::vector<Row>& rows() const { return rows_; }
  const std::vector<Outcome>& outcomes() const { return outcomes_; }
  // The slot as a view draws it.
  SlotView View() const;

 private:
  void StartFrom();
  // Records the current job's end and decides the later ones; true when the next is to start.
  bool EndCurrent(const Outcome& outcome);
  void Record(size_t job, const Outcome& outcome);

  const Options& options_;
  platform::Clock& clock_;
  const Surroundings& outside_;
  const std::string slot_;
  const Hooks hooks_;
  std::string folder_prefix_;
  std::vector<Row> rows_;
  std::vector<Outcome> outcomes_;
  size_t next_ = 0;  // the running job, or the next to start
  bool begun_ = false;
  bool reset_the_device_ = false;
  std::unique_ptr<ProgramRun> run_;
  uint32_t started_at_ = 0;
};

}  // namespace station
