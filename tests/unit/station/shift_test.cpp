// The shift mode with its devices, programs and stop requests scripted in test time: a device is
// run once however long it stays, and again only after it left; a device back from its reset is
// not a new one; a device pulled mid-run fails "device removed" and its slot serves the next;
// a first stop lets the running runs finish, an urgent one ends them ABORTED. Each case runs
// twice: with a station that looks at its slots on every pass, and with one that follows the
// device tree and looks only when it changed.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "station/options.hpp"
#include "station/record.hpp"
#include "station/shift.hpp"
#include "station_records.hpp"
#include "test_clock.hpp"

namespace {

namespace fs = std::filesystem;
using station::Program;

// A device plugged into a slot from `in` to `out` (ms of test time after the start).
struct Plug {
  uint64_t in, out;
  std::string serial;
  uint64_t cdrom_ms = 0;  // shows only its CD-ROM this long first
};

// A program run that passes `run_ms` after its start, or hangs until stopped.
class TimedChild final : public platform::ChildProcess {
 public:
  TimedChild(testsupport::TestClock& clock, uint64_t ends_at, std::string folder, int* stops)
      : clock_(clock), ends_at_(ends_at), folder_(std::move(folder)), stops_(stops) {}
  bool Finished(int* code) override {
    *code = stopped_ ? 137 : 0;
    if (!stopped_ && clock_.NowMs() >= ends_at_) {
      std::ofstream(folder_ + "/KVX_WriteNVItem_result.txt") << "[WriteNVItem PASS]\r\n";
      std::ofstream(folder_ + "/Kvx_treesmith_Result.txt") << "PASS";
      return true;
    }
    return stopped_;
  }
  void Stop() override {
    stopped_ = true;
    ++*stops_;
  }

 private:
  testsupport::TestClock& clock_;
  uint64_t ends_at_;
  std::string folder_;
  bool stopped_ = false;
  int* stops_;
};

class Shift : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/shift-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    fs::create_directories(base_ + "/template");
    std::ofstream(base_ + "/template/KVX_nvitem.txt") << "NV1:1\n";
    options_.template_folder = base_ + "/template";
    options_.work_folder = base_ + "/runs";
    options_.csv_file = base_ + "/shift.csv";
    options_.continuous = true;
    options_.removed_after_seconds = 30;
    options_.jobs = {{Program::kItemsmith, "write", {}, "/programs/itemsmith"}};
  }
  void TearDown() override { fs::remove_all(base_); }

  // Runs the shift until test time `stop_ms` brings a stop (urgent at `urgent_ms`).
  int Run(const std::map<std::string, std::vector<Plug>>& plugs, uint64_t stop_ms,
          uint64_t urgent_ms = UINT64_MAX) {
    const uint64_t begin = clock_.NowMs();
    auto at = [&, begin](const std::string& slot) -> const Plug* {
      const uint64_t now = clock_.NowMs() - begin;
      if (plugs.count(slot) == 0) return nullptr;
      for (const Plug& plug : plugs.at(slot)) {
        if (now >= plug.in && now < plug.out) return &plug;
      }
      return nullptr;
    };
    station::Surroundings outside;
    outside.launch = [&, begin](const platform::ChildSpec& launch, std::string*) {
      launches_.push_back(launch.environment.at(0).second + " " +
                          at(launch.environment.at(0).second)->serial);
      launched_at_.push_back(clock_.NowMs() - begin);
      return std::unique_ptr<platform::ChildProcess>(std::make_unique<TimedChild>(
          clock_, clock_.NowMs() + run_ms_, launch.working_folder, &stops_));
    };
    if (GetParam()) {
      // The tree changes where a device is plugged in or out: the wait ends there.
      outside.device_changes = [&, begin](uint32_t ms) {
        const uint64_t from = clock_.NowMs() - begin;
        uint64_t next = from + ms;
        bool changed = false;
        for (const auto& slot : plugs) {
          for (const Plug& plug : slot.second) {
            for (const uint64_t edge : {plug.in, plug.in + plug.cdrom_ms, plug.out}) {
              if (edge > from && edge <= next) next = edge, changed = true;
            }
          }
        }
        clock_.Advance(static_cast<uint32_t>(next - from));
        return changed;
      };
    }
    outside.look = [&, begin](const std::vector<std::string>& slots) {
      std::vector<platform::SlotSight> sights;
      for (const std::string& slot : slots) {
        ++looks_;
        const Plug* plug = at(slot);
        platform::SlotSight sight;
        sight.device = plug != nullptr;
        // The port, and the serial number read there, follow its CD-ROM.
        sight.port = sight.device && clock_.NowMs() - begin >= plug->in + plug->cdrom_ms;
        if (sight.port) sight.serial = plug->serial;
        sights.push_back(sight);
      }
      return sights;
    };
    outside.stop_request = [&, begin]() {
      return clock_.NowMs() - begin >= stop_ms ? std::string("SIGINT") : std::string();
    };
    outside.urgent_stop_request = [&, begin]() {
      return clock_.NowMs() - begin >= urgent_ms ? std::string("SIGTERM") : std::string();
    };
    outside.write = [&](const std::string& text) { output_ += text; };
    outside.write_error = [&](const std::string& text) { output_ += text; };
    return station::RunShift(options_, clock_, outside);
  }

  // "slot serial verdict reason" per CSV line, in the order written.
  // Per record: slot, serial, verdict and reason.
  std::vector<std::string> Records() {
    std::string header;
    std::vector<std::string> records;
    for (const auto& fields : testsupport::CsvRecords(options_.csv_file, &header)) {
      EXPECT_EQ(fields.size(), 10u);
      if (fields.size() == 10)
        records.push_back(fields[2] + " " + fields[9] + " " + fields[5] + " " + fields[7]);
    }
    EXPECT_EQ(header, station::CsvHeader());
    return records;
  }

  std::string base_, output_;
  station::Options options_;
  testsupport::TestClock clock_;
  std::vector<std::string> launches_;
  std::vector<uint64_t> launched_at_;  // ms of test time after the start
  int stops_ = 0;
  int looks_ = 0;  // slots looked at
  uint64_t run_ms_ = 10000;
};

INSTANTIATE_TEST_SUITE_P(Looks, Shift, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "AfterChanges" : "EveryPass";
                         });

TEST_P(Shift, EveryDeviceRunsOnceAndSlotsDoNotWaitForEachOther) {
  options_.slots = {"1-1", "1-2", "1-3"};
  // 1-1: A stays long after its verdict, then B. 1-2: C leaves during its reset (0.4 s) and is
  // back; then one without a serial number. 1-3: E swapped for F between two looks.
  const int code = Run({{"1-1", {{0, 60000, "A"}, {61000, 80000, "B"}}},
                        {"1-2", {{5000, 15200, "C"}, {15600, 40000, "C"}, {41000, 70000, ""}}},
                        {"1-3", {{30000, 45000, "E"}, {45000, 60000, "F"}}}},
                       90000);
  EXPECT_EQ(code, station::kExitAllPassed);
  EXPECT_EQ(launches_,
            (std::vector<std::string>{"1-1 A", "1-2 C", "1-3 E", "1-2 ", "1-3 F", "1-1 B"}));
  EXPECT_EQ(Records(), (std::vector<std::string>{"1-1 A PASS ", "1-2 C PASS ", "1-3 E PASS ",
                                                 "1-2  PASS ", "1-3 F PASS ", "1-1 B PASS "}));
  EXPECT_NE(output_.find("shift: 6 devices done, 6 passed, 0 failed"), std::string::npos)
      << output_;
  // Every 50 ms pass of the 90 s looks at the three slots, or only a few passes around each of
  // the 14 plug-ins and outs.
  if (GetParam()) {
    EXPECT_LT(looks_, 14 * 3 * 10) << looks_;
  } else {
    EXPECT_GE(looks_, 90000 / 50 * 3) << looks_;
  }
}

TEST_P(Shift, ADevicePulledMidRunFailsAndTheSlotServesTheNext) {
  options_.slots = {"1-1"};
  options_.jobs.push_back({Program::kTreesmith, "kvx", {}, "/programs/treesmith"});
  run_ms_ = 60000;
  // A leaves 5 s into its run and for good; a gap shorter than the removal time between B's
  // CD-ROM and its port (its eject, 10 s) changes nothing.
  const int code =
      Run({{"1-1", {{0, 5000, "A"}, {50000, 60000, "B", 10000}, {70000, 400000, "B"}}}}, 250000);
  EXPECT_EQ(code, station::kExitAllPassed);
  EXPECT_EQ(stops_, 1);
  EXPECT_EQ(Records(),
            (std::vector<std::string>{"1-1 A FAIL device removed", "1-1 A SKIPPED device removed",
                                      "1-1 B PASS ", "1-1 B PASS "}));
}

TEST_P(Shift, AFirstStopLetsRunsFinishAnUrgentOneAbortsThem) {
  options_.slots = {"1-1", "1-2"};
  options_.jobs.push_back({Program::kTreesmith, "kvx", {}, "/programs/treesmith"});
  // Stop at 5 s: the running itemsmith runs finish, no treesmith starts, 1-2's device (plugged
  // after the stop) is never run.
  EXPECT_EQ(Run({{"1-1", {{0, 900000, "A"}}}, {"1-2", {{6000, 900000, "B"}}}}, 5000),
            station::kExitAllPassed);
  EXPECT_EQ(launches_, std::vector<std::string>{"1-1 A"});
  EXPECT_EQ(Records(),
            (std::vector<std::string>{"1-1 A PASS ", "1-1 A ABORTED not started (SIGINT)"}));
  fs::remove(options_.csv_file);
  launches_.clear();
  // Urgent at 5 s: the running run is stopped and nothing of it reads as a verdict.
  EXPECT_EQ(Run({{"1-1", {{0, 900000, "A"}}}}, 2000, 5000), station::kExitStopped);
  EXPECT_EQ(stops_, 1);
  const std::vector<std::string> records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].rfind("1-1 A ABORTED stopped (SIGTERM)", 0), 0u) << records[0];
  EXPECT_EQ(records[1], "1-1 A ABORTED not started (SIGTERM)");
}

}  // namespace

namespace {

// A slot follows one device: identities, the programs' own absences, pulls, swaps, hand-overs.
struct SlotCase {
  const char* name;
  bool reset, treesmith;  // itemsmith with the reset; treesmith after it
  std::vector<Plug> plugs;
  uint64_t stop_ms;
  std::vector<std::string> records;
  uint64_t second_launch_from = 0;  // the second program starts no sooner (0: unchecked)
  const char* shown = "";           // a step the table shows on the way
};

class SlotFollows : public Shift {};

TEST_P(SlotFollows, OneDeviceFromItsArrivalUntilItHasLeft) {
  const std::vector<SlotCase> cases = {
      {"one serial for the batch, swapped 2 s after each verdict",
       false,
       false,
       {{0, 12000, "S"}, {14000, 26000, "S"}, {28000, 40000, "S"}},
       45000,
       {"1-1 S PASS ", "1-1 S PASS ", "1-1 S PASS "}},
      {"no serial, the only program resets it, then the next device",
       true,
       false,
       {{0, 10200, ""}, {12200, 30000, ""}, {32000, 60000, ""}},
       70000,
       {"1-1  PASS ", "1-1  PASS "},
       0,
       "restarting: leave it in"},
      {"swapped mid-run for another serial number",
       false,
       true,
       {{0, 5000, "A"}, {5000, 100000, "B"}},
       100000,
       {"1-1 A FAIL device swapped", "1-1 A SKIPPED device swapped", "1-1 B PASS ", "1-1 B PASS "}},
      {"pulled during treesmith, one of the same serial in 2 s later",
       false,
       true,
       {{0, 15000, "A"}, {17000, 100000, "A"}},
       100000,
       {"1-1 A PASS ", "1-1 A FAIL device removed", "1-1 A PASS ", "1-1 A PASS "}},
      {"pulled during itemsmith past its eject, one of the same serial in 2 s later",
       false,
       false,
       {{0, 5000, "A"}, {7000, 100000, "A"}},
       100000,
       {"1-1 A FAIL device removed", "1-1 A PASS "}},
      {"a CD-ROM reporting another serial than its ports",
       false,
       true,
       {{0, 60000, "P", 3000}},
       60000,
       {"1-1 P PASS ", "1-1 P PASS "}},
      {"treesmith starts once the device is back from itemsmith's reset",
       true,
       true,
       {{0, 10300, "R"}, {12300, 60000, "R"}},
       60000,
       {"1-1 R PASS ", "1-1 R PASS "},
       12300},
      {"not back from its reset: done with a note, the next device is new",
       true,
       false,
       {{0, 10200, ""}, {50000, 80000, ""}},
       80000,
       {"1-1  PASS ", "1-1  PASS "},
       50000,
       "done: not back from its reset within 30 s"},
      {"a stop while the next program waits for the device",
       true,
       true,
       {{0, 10200, "R"}, {20000, 60000, "R"}},
       15000,
       {"1-1 R PASS ", "1-1 R ABORTED not started (SIGINT)"}},
  };
  for (const SlotCase& c : cases) {
    SCOPED_TRACE(c.name);
    options_.slots = {"1-1"};
    options_.jobs = {{Program::kItemsmith, c.reset ? "write+reset" : "write", {}, "/p/itemsmith"}};
    if (c.treesmith) options_.jobs.push_back({Program::kTreesmith, "kvx", {}, "/p/treesmith"});
    fs::remove(options_.csv_file);
    launched_at_.clear();
    output_.clear();
    EXPECT_EQ(Run({{"1-1", c.plugs}}, c.stop_ms), station::kExitAllPassed);
    EXPECT_EQ(Records(), c.records);
    if (c.second_launch_from > 0) {
      ASSERT_GE(launched_at_.size(), 2u);
      EXPECT_GE(launched_at_[1], c.second_launch_from);
      EXPECT_LT(launched_at_[1], c.second_launch_from + 500);
    }
    EXPECT_NE(output_.find(c.shown), std::string::npos) << output_;
  }
}

INSTANTIATE_TEST_SUITE_P(Looks, SlotFollows, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "AfterChanges" : "EveryPass";
                         });

}  // namespace
