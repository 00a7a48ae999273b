#include "station/device_jobs.hpp"

#include <filesystem>
#include <utility>

namespace station {

namespace fs = std::filesystem;

DeviceJobs::DeviceJobs(const Options& options, platform::Clock& clock, const Surroundings& outside,
                       std::string slot, Hooks hooks)
    : options_(options),
      clock_(clock),
      outside_(outside),
      slot_(std::move(slot)),
      hooks_(std::move(hooks)) {}

void DeviceJobs::Reset(const std::string& step) {
  rows_.clear();
  outcomes_.assign(options_.jobs.size(), Outcome{});
  next_ = 0;
  begun_ = false;
  reset_the_device_ = false;
  run_.reset();
  for (const Job& job : options_.jobs) {
    Row row;
    row.slot = slot_;
    row.program = ProgramNameOf(job);
    row.mode = job.mode;
    row.step = step;
    rows_.push_back(row);
  }
}

void DeviceJobs::ShowStep(const std::string& step) {
  for (Row& row : rows_) {
    if (row.verdict.empty()) row.step = step;
  }
}

void DeviceJobs::ShowStepWherePassed(const std::string& step) {
  for (size_t j = 0; j < rows_.size(); ++j) {
    if (outcomes_[j].passed()) rows_[j].step = step;
  }
}

void DeviceJobs::SetSerial(const std::string& serial) {
  for (Row& row : rows_) {
    if (row.verdict.empty()) row.serial = serial;
  }
}

bool DeviceJobs::passed() const {
  for (const Outcome& outcome : outcomes_) {
    if (!outcome.passed()) return false;
  }
  return true;
}

bool DeviceJobs::aborted() const {
  for (const Outcome& outcome : outcomes_) {
    if (outcome.verdict == Verdict::kAborted) return true;
  }
  return false;
}

SlotView DeviceJobs::View() const {
  SlotView view;
  view.location = slot_;
  view.jobs = rows_;
  if (!rows_.empty()) view.serial = rows_.front().serial;
  if (run_ != nullptr) {
    view.phase = SlotView::Phase::kRunning;
    view.step = rows_[next_].step;
    view.tenths = rows_[next_].tenths;
  } else if (done()) {
    view.phase = SlotView::Phase::kDone;
  } else if (!rows_.empty()) {
    view.step = rows_.front().step;
  }
  return view;
}

void DeviceJobs::Begin(const std::string& folder_prefix) {
  folder_prefix_ = folder_prefix;
  begun_ = true;
  StartFrom();
}

void DeviceJobs::StartNext() {
  if (!between()) return;
  const std::string hold = hooks_.hold ? hooks_.hold() : "";
  if (hold.empty()) {
    StartFrom();
    return;
  }
  EndPending(StoppedBefore(hold), clock_.TickCount(), clock_.Now());
}

// Starts the current job; one that cannot start is recorded and the next one follows.
void DeviceJobs::StartFrom() {
  while (next_ < options_.jobs.size()) {
    const Job& job = options_.jobs[next_];
    Row& row = rows_[next_];
    row.folder = folder_prefix_ + "-" + row.program;
    reset_the_device_ = false;
    started_at_ = clock_.TickCount();
    row.start = clock_.Now();
    std::string error;
    run_ = ProgramRun::Start(options_, job, slot_, row.folder, clock_, outside_.launch, &error);
    if (run_ != nullptr) {
      row.step = run_->step();
      return;
    }
    if (!EndCurrent(Failed(Why::kNotStarted, error))) return;
  }
}

void DeviceJobs::Poll() {
  if (run_ == nullptr) return;
  Row& row = rows_[next_];
  row.tenths = (clock_.TickCount() - started_at_) / 100;
  Outcome outcome;
  const bool ended = run_->Poll(&outcome);
  row.step = run_->step();
  if (!ended) return;
  run_.reset();
  reset_the_device_ = outcome.passed() && ResetsDevice(options_.jobs[next_]);
  EndCurrent(outcome);
}

void DeviceJobs::StopRunning(const Outcome& outcome) {
  if (run_ == nullptr) return;
  run_->Stop();
  run_.reset();
  EndCurrent(outcome);
}

void DeviceJobs::Abort(const std::string& why) {
  if (run_ != nullptr) {
    run_->Stop();
    run_.reset();
    const Outcome stopped = Stopped(why, rows_[next_].step);
    Record(next_++, stopped);
  }
  for (; next_ < options_.jobs.size(); ++next_) {
    started_at_ = clock_.TickCount();
    rows_[next_].start = clock_.Now();
    Record(next_, StoppedBefore(why));
  }
}

void DeviceJobs::EndPending(const Outcome& outcome, uint32_t since,
                            const platform::LocalTime& since_time) {
  for (; next_ < options_.jobs.size(); ++next_) {
    started_at_ = since;
    rows_[next_].start = since_time;
    Record(next_, outcome);
  }
}

bool DeviceJobs::EndCurrent(const Outcome& outcome) {
  Record(next_, outcome);
  ++next_;
  if (next_ >= options_.jobs.size()) return false;
  Outcome skip;
  const std::string hold = hooks_.hold ? hooks_.hold() : "";
  if (outcome.why == Why::kDeviceRemoved || outcome.why == Why::kDeviceSwapped) {
    skip = Skipped(outcome.why);
  } else if (!hold.empty()) {
    skip = StoppedBefore(hold);
  } else if (!outcome.passed() && !options_.keep_going) {
    skip = Skipped(Why::kFailedBefore, rows_[next_ - 1].program);
  } else {
    return true;
  }
  for (; next_ < options_.jobs.size(); ++next_) {
    rows_[next_].start = clock_.Now();
    started_at_ = clock_.TickCount();
    Record(next_, skip);
  }
  return false;
}

void DeviceJobs::Record(size_t job, const Outcome& outcome) {
  Row& row = rows_[job];
  row.tenths = (clock_.TickCount() - started_at_) / 100;
  row.end = clock_.Now();
  row.verdict = VerdictWord(outcome.verdict);
  row.reason = outcome.Reason();
  outcomes_[job] = outcome;
  if (hooks_.ended) hooks_.ended(row);
}

}  // namespace station
