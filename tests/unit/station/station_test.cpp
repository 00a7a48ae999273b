// The station runner with its programs, its slots and its stop request replaced, in test time:
// a run past its limit, a reason for every kind of FAIL, an empty slot, a failed program ending
// its slot's work, a stop, a record that cannot be written.
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "station/options.hpp"
#include "station/record.hpp"
#include "station/station.hpp"
#include "test_clock.hpp"

namespace {

namespace fs = std::filesystem;
using station::Program;

// A program that ends at once with `code`, or never ends until stopped.
class FakeChild final : public platform::ChildProcess {
 public:
  FakeChild(bool ends, int code, int* stops) : ends_(ends), code_(code), stops_(stops) {}
  bool Finished(int* code) override {
    *code = stopped_ ? 137 : code_;
    return ends_ || stopped_;
  }
  void Stop() override {
    stopped_ = true;
    ++*stops_;
  }

 private:
  bool ends_;
  int code_;
  bool stopped_ = false;
  int* stops_;
};

// What one program run does: the files it leaves, its exit code, whether it hangs, whether it
// cannot be started.
struct Behaviour {
  std::map<std::string, std::string> leaves;
  int code = 0;
  bool hangs = false;
  bool unstartable = false;
};

const std::map<std::string, std::string> kItemPass = {
    {"KVX_WriteNVItem_result.txt", "[WriteNVItem PASS]\r\n"}};
const std::map<std::string, std::string> kTreePass = {
    {"Kvx_treesmith_Result.txt", "PASS"}, {"Kvx_treesmith.log", "===== WriteFGI + ===== \n"}};

class StationRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/station-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    fs::create_directories(base_ + "/template/db");
    std::ofstream(base_ + "/template/KVX_nvitem.txt") << "NV1:1\n";
    options_.template_folder = base_ + "/template";
    options_.work_folder = base_ + "/runs";
    options_.csv_file = base_ + "/station.csv";
    options_.limit_seconds = 60;
    options_.jobs = {{Program::kItemsmith, "write+reset", {"reset"}, "/programs/itemsmith"},
                     {Program::kTreesmith, "kvx", {}, "/programs/treesmith"}};
  }
  void TearDown() override { fs::remove_all(base_); }

  // Each program run behaves as `behaviours` says, keyed by "slot program"; a slot is present
  // once the test time has reached its entry in `arrives_after_ms` (absent: at once; -1: never).
  int Run(const std::map<std::string, Behaviour>& behaviours,
          const std::map<std::string, int>& arrives_after_ms = {}) {
    const uint64_t begin = clock_.NowMs();
    station::Surroundings outside;
    outside.launch = [&](const platform::ChildSpec& launch, std::string* error) {
      specs_.push_back(launch);
      const std::string key =
          launch.environment.at(0).second + " " + fs::path(launch.program).filename().string();
      EXPECT_TRUE(fs::exists(launch.working_folder + "/KVX_nvitem.txt"))
          << "a copy of the template";
      const Behaviour b = behaviours.count(key) != 0 ? behaviours.at(key) : Behaviour{};
      if (b.unstartable) {
        *error = "cannot run " + launch.program + ": No such file or directory";
        return std::unique_ptr<platform::ChildProcess>();
      }
      for (const auto& [name, text] : b.leaves)
        std::ofstream(launch.working_folder + "/" + name) << text;
      return std::unique_ptr<platform::ChildProcess>(
          std::make_unique<FakeChild>(!b.hangs, b.code, &stops_));
    };
    outside.look = [&, begin](const std::vector<std::string>& slots) {
      std::vector<platform::SlotSight> sights;
      for (const std::string& slot : slots) {
        ++presence_checks_[slot];
        const int after = arrives_after_ms.count(slot) == 0 ? 0 : arrives_after_ms.at(slot);
        platform::SlotSight sight;
        sight.device = sight.port =
            after >= 0 && clock_.NowMs() - begin >= static_cast<uint64_t>(after);
        sights.push_back(sight);
      }
      return sights;
    };
    outside.stop_request = [&]() {
      return stop_after_polls_ >= 0 && polls_++ >= stop_after_polls_ ? std::string("SIGTERM")
                                                                     : std::string();
    };
    outside.write = [&](const std::string& text) { output_ += text; };
    outside.write_error = [&](const std::string& text) { errors_ += text; };
    if (runs_end_at_once_) outside.run_ended = [] { return true; };
    return station::RunStation(options_, clock_, outside);
  }

  // The CSV's rows by "slot program": the fields after the header.
  std::map<std::string, std::vector<std::string>> CsvRows() {
    std::ifstream in(options_.csv_file);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, station::CsvHeader());
    std::map<std::string, std::vector<std::string>> rows;
    while (std::getline(in, line)) {
      // Fields with a comma or a quote are quoted, quotes doubled.
      std::vector<std::string> fields(1);
      bool quoted = false;
      for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
          fields.back().push_back('"');
          ++i;
        } else if (c == '"') {
          quoted = !quoted;
        } else if (c == ',' && !quoted) {
          fields.emplace_back();
        } else {
          fields.back().push_back(c);
        }
      }
      EXPECT_GE(fields.size(), 8u) << line;
      if (fields.size() >= 8) rows[fields[2] + " " + fields[3]] = fields;
    }
    return rows;
  }
  static std::string Verdict(const std::vector<std::string>& row) { return row.at(5); }
  static std::string Reason(const std::vector<std::string>& row) { return row.at(7); }

  std::string base_, output_, errors_;
  station::Options options_;
  testsupport::TestClock clock_;
  std::vector<platform::ChildSpec> specs_;
  std::map<std::string, int> presence_checks_;
  int stops_ = 0;
  bool runs_end_at_once_ = false;  // the station is told of every run's end as it comes
  int stop_after_polls_ = -1;
  int polls_ = 0;
};

// The slots start one after another; one whose run has ended meanwhile goes on to its next
// program before the later slots start their first, and every slot still gets each program once.
TEST_F(StationRun, ARunThatEndedMeanwhileStartsItsNextProgramBeforeFurtherSlotsStart) {
  options_.slots = {"1-1", "1-2", "1-3"};
  options_.jobs[0] = {Program::kItemsmith, "write", {}, "/programs/itemsmith"};
  runs_end_at_once_ = true;
  EXPECT_EQ(Run({{"1-1 itemsmith", {kItemPass}},
                 {"1-2 itemsmith", {kItemPass}},
                 {"1-3 itemsmith", {kItemPass}},
                 {"1-1 treesmith", {kTreePass}},
                 {"1-2 treesmith", {kTreePass}},
                 {"1-3 treesmith", {kTreePass}}}),
            station::kExitAllPassed);
  std::vector<std::string> order;
  for (const platform::ChildSpec& launch : specs_) {
    order.push_back(launch.environment.at(0).second + " " +
                    fs::path(launch.program).filename().string());
  }
  EXPECT_EQ(order, (std::vector<std::string>{"1-1 itemsmith", "1-1 treesmith", "1-2 itemsmith",
                                             "1-2 treesmith", "1-3 itemsmith", "1-3 treesmith"}));
}

TEST_F(StationRun, ARunPastItsLimitIsStoppedAndFailsItsSlotAlone) {
  options_.slots = {"1-1", "1-2"};
  options_.jobs[1] = {Program::kTreesmith, "vexa", {"--VEXA"}, "/programs/treesmith"};
  Behaviour hang;
  hang.hangs = true;
  hang.leaves = kItemPass;  // a verdict file written before the hang must not count
  const int code = Run(
      {{"1-1 itemsmith", {kItemPass}}, {"1-1 treesmith", {kTreePass}}, {"1-2 itemsmith", hang}});
  EXPECT_EQ(code, station::kExitNotAllPassed);
  EXPECT_EQ(stops_, 1);
  // itemsmith first on each slot, with the reset argument; treesmith in its mode; every run in
  // a folder of its own, pinned to its slot; the failed slot's treesmith never starts.
  ASSERT_EQ(specs_.size(), 3u);
  std::set<std::string> folders;
  for (const platform::ChildSpec& launch : specs_) {
    const bool item = fs::path(launch.program).filename() == "itemsmith";
    EXPECT_EQ(launch.arguments,
              item ? std::vector<std::string>{"reset"} : std::vector<std::string>{"--VEXA"});
    EXPECT_EQ(launch.environment.at(0).first, "DIAG_USB_LOCATION");
    EXPECT_TRUE(folders.insert(launch.working_folder).second);
    EXPECT_TRUE(fs::path(launch.working_folder).is_absolute());
  }
  auto rows = CsvRows();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(Verdict(rows["1-1 itemsmith"]), "PASS");
  EXPECT_EQ(Verdict(rows["1-1 treesmith"]), "PASS");
  EXPECT_EQ(Verdict(rows["1-2 itemsmith"]), "FAIL");
  EXPECT_EQ(rows["1-2 itemsmith"][6], "60.0");
  EXPECT_EQ(Reason(rows["1-2 itemsmith"]).rfind("no verdict within 60 s", 0), 0u);
  EXPECT_FALSE(fs::exists(rows["1-2 itemsmith"][8] + "/KVX_WriteNVItem_result.txt"));
  EXPECT_EQ(Verdict(rows["1-2 treesmith"]), "SKIPPED");
  EXPECT_EQ(Reason(rows["1-2 treesmith"]), "itemsmith failed before");
  EXPECT_NE(output_.find("1-1 treesmith: WriteFGI -> PASS"), std::string::npos) << output_;
}

TEST_F(StationRun, EveryVerdictButPassSaysWhy) {
  struct Case {
    const char* slot;
    Behaviour itemsmith;
    const char* reason;  // of the itemsmith row
  };
  Behaviour write_fail{{{"KVX_WriteNVItem_result.txt", "[WriteNVItem FAIL]\r\n"},
                        {"KVX_WriteNVItem_log.txt",
                         "5. *** start to burn nv item *** \r\nSetNvItem Fail \r\n\r\n---- Write "
                         "NV items NV1001 fail ----\r\n\r\n"}}};
  Behaviour no_verdict;
  no_verdict.code = 0;
  Behaviour exit_code{{{"KVX_WriteNVItem_result.txt", "[WriteNVItem PASS]\r\n"}}, 2};
  Behaviour crashed;
  crashed.code = 139;
  Behaviour unstartable;
  unstartable.unstartable = true;
  const std::vector<Case> cases = {
      {"1-1", write_fail, "---- Write NV items NV1001 fail ----"},
      {"1-2", no_verdict, "exit code 0, no verdict"},
      {"1-3", exit_code, "exit code 2"},
      {"1-4", crashed, "exit code 139, no verdict"},
      {"1-5", unstartable,
       "not started: cannot run /programs/itemsmith: No such file or directory"},
  };
  std::map<std::string, Behaviour> behaviours;
  options_.slots.clear();
  for (const Case& c : cases) {
    options_.slots.push_back(c.slot);
    behaviours[std::string(c.slot) + " itemsmith"] = c.itemsmith;
  }
  // With --keep-going treesmith runs all the same; its FAIL line is the first of a step that
  // counts (a delete set's failure does not).
  options_.keep_going = true;
  behaviours["1-1 treesmith"] = {{{"Kvx_treesmith_Result.txt", "FAIL"},
                                  {"Kvx_treesmith.log",
                                   "===== DeleteEFS + ===== \nEFS DIR: FAIL, apps\n"
                                   "===== DeleteEFS - ===== \n===== WriteEFS_generic + ===== \n"
                                   "VODE_EfsWrite: FAIL, db/index.html\n"
                                   "VODE_EfsWrite: FAIL, db/other.html\n"}}};
  EXPECT_EQ(Run(behaviours), station::kExitNotAllPassed);
  auto rows = CsvRows();
  for (const Case& c : cases) {
    EXPECT_EQ(Verdict(rows[std::string(c.slot) + " itemsmith"]), "FAIL") << c.slot;
    EXPECT_EQ(Reason(rows[std::string(c.slot) + " itemsmith"]), c.reason) << c.slot;
  }
  EXPECT_EQ(Reason(rows["1-1 treesmith"]), "VODE_EfsWrite: FAIL, db/index.html");
  EXPECT_EQ(specs_.size(), 10u) << "with --keep-going every slot's treesmith runs";
}

TEST_F(StationRun, AnEmptySlotIsNoDeviceAfterThePresenceWaitAndRunsNothing) {
  options_.slots = {"1-1", "1-2", "1-3"};
  options_.presence_wait_seconds = 15;
  // 1-2 stays empty; 1-3 fills 5 s after the start (a device still starting up).
  const int code = Run({{"1-1 itemsmith", {kItemPass}},
                        {"1-1 treesmith", {kTreePass}},
                        {"1-3 itemsmith", {kItemPass}},
                        {"1-3 treesmith", {kTreePass}}},
                       {{"1-2", -1}, {"1-3", 5000}});
  EXPECT_EQ(code, station::kExitNotAllPassed);
  for (const platform::ChildSpec& launch : specs_)
    EXPECT_NE(launch.environment.at(0).second, "1-2");
  EXPECT_EQ(specs_.size(), 4u);
  auto rows = CsvRows();
  EXPECT_EQ(Verdict(rows["1-3 itemsmith"]), "PASS");
  for (const char* program : {"itemsmith", "treesmith"}) {
    const auto& row = rows[std::string("1-2 ") + program];
    EXPECT_EQ(Verdict(row), "NO DEVICE");
    EXPECT_EQ(Reason(row), "nothing at the slot within 15 s");
    // Decided once the wait was over, not later: the empty slot costs 15 s, not minutes.
    EXPECT_EQ(row[6].substr(0, 3), "15.") << row[6];
  }
  EXPECT_LT(clock_.NowMs(), 1000000u + 16000u);
}

TEST_F(StationRun, AStopEndsTheRunningRunsAbortedAndStartsNoNewOne) {
  options_.slots = {"1-1", "1-2"};
  Behaviour hang;
  hang.hangs = true;
  hang.leaves = kItemPass;
  stop_after_polls_ = 3;
  const int code = Run({{"1-1 itemsmith", hang}, {"1-2 itemsmith", hang}});
  EXPECT_EQ(code, station::kExitStopped);
  EXPECT_EQ(stops_, 2);
  EXPECT_EQ(specs_.size(), 2u) << "no treesmith starts after the stop";
  auto rows = CsvRows();
  ASSERT_EQ(rows.size(), 4u);
  for (const char* slot : {"1-1", "1-2"}) {
    const auto& item = rows[std::string(slot) + " itemsmith"];
    EXPECT_EQ(Verdict(item), "ABORTED");
    EXPECT_EQ(Reason(item).rfind("stopped (SIGTERM)", 0), 0u) << Reason(item);
    EXPECT_FALSE(fs::exists(item[8] + "/KVX_WriteNVItem_result.txt")) << "no verdict stays";
    const auto& tree = rows[std::string(slot) + " treesmith"];
    EXPECT_EQ(Verdict(tree), "ABORTED");
    EXPECT_EQ(Reason(tree), "not started (SIGTERM)");
  }
  EXPECT_NE(output_.find("ABORTED"), std::string::npos) << "the final table";
}

TEST_F(StationRun, ARecordThatCannotBeWrittenIsExitCodeFour) {
  options_.slots = {"1-1"};
  options_.jobs.resize(1);
  options_.csv_file = base_ + "/template";  // a folder
  EXPECT_EQ(Run({{"1-1 itemsmith", {kItemPass}}}), station::kExitRecordLost);
  EXPECT_NE(errors_.find("cannot append to " + options_.csv_file), std::string::npos) << errors_;
}

TEST_F(StationRun, TheProgramsOwnFilesInTheTemplateAreNotCopied) {
  options_.slots = {"1-1"};
  options_.jobs.resize(1);
  for (const char* name : {"KVX_WriteNVItem_result.txt", "kvx_treesmith_result.txt",
                           "KVX_WriteNVItem_log.txt", "console.txt"})
    std::ofstream(base_ + "/template/" + name) << "[WriteNVItem PASS]\r\n";
  // The program leaves nothing: the template's old verdict must not make a PASS.
  EXPECT_EQ(Run({}), station::kExitNotAllPassed);
  ASSERT_EQ(specs_.size(), 1u);
  const std::string folder = specs_[0].working_folder;
  EXPECT_TRUE(fs::exists(folder + "/KVX_nvitem.txt"));
  EXPECT_TRUE(fs::is_directory(folder + "/db"));
  EXPECT_FALSE(fs::exists(folder + "/KVX_WriteNVItem_result.txt"));
  EXPECT_FALSE(fs::exists(folder + "/kvx_treesmith_result.txt"));
  EXPECT_FALSE(fs::exists(folder + "/KVX_WriteNVItem_log.txt"));
}

TEST_F(StationRun, ASecondStartAppendsInANewFolder) {
  options_.slots = {"1-1"};
  options_.jobs.resize(1);
  EXPECT_EQ(Run({{"1-1 itemsmith", {kItemPass}}}), station::kExitAllPassed);
  EXPECT_EQ(Run({{"1-1 itemsmith", {kItemPass}}}), station::kExitAllPassed);
  std::ifstream in(options_.csv_file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines.size(), 3u);
  ASSERT_EQ(specs_.size(), 2u);
  EXPECT_NE(specs_[0].working_folder, specs_[1].working_folder);
}

// A record is a whole line or none: what an append cut short by a full disk wrote is taken back,
// and after a line that a killed station left unended the next record starts a line of its own.
TEST(CsvRecord, ALineIsWholeOrNotThere) {
  char pattern[] = "/tmp/station-csv-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string base = pattern;
  const std::string csv = base + "/station.csv";
  station::Row row;
  row.slot = "1-1";
  row.program = "itemsmith";
  row.mode = "write";
  row.verdict = "PASS";
  row.folder = base + "/runs/1-1-itemsmith";
  ASSERT_TRUE(station::AppendCsv(csv, {row}));
  const uintmax_t whole = fs::file_size(csv);

  // The disk fills up ten bytes into the next append.
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const rlimit full{static_cast<rlim_t>(whole + 10), saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  const bool appended = station::AppendCsv(csv, {row, row});
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(appended) << "a lost record is reported";
  EXPECT_EQ(fs::file_size(csv), whole);

  std::ofstream(csv, std::ios::binary | std::ios::app) << "2026-12-08 17:49:43,2026-12-0";
  ASSERT_TRUE(station::AppendCsv(csv, {row}));
  std::ifstream in(csv, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines,
            (std::vector<std::string>{station::CsvHeader(), station::CsvLine(row),
                                      "2026-12-08 17:49:43,2026-12-0", station::CsvLine(row)}));
  fs::remove_all(base);
}

}  // namespace
