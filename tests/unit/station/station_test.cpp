// The station runner with its programs replaced: the step read from a run log, and the run of
// several slots in test time (a run past its limit is stopped, the others go on).
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "station/station.hpp"
#include "test_clock.hpp"

namespace {

namespace fs = std::filesystem;
using station::Program;

TEST(CurrentStep, ReadFromTheEndOfTheRunLog) {
  struct Case {
    Program program;
    const char* log;
    const char* step;
  };
  const std::vector<Case> cases = {
      {Program::kItemsmith, "", ""},
      {Program::kItemsmith,
       "KVX_WriteNVItem version: 20120831 \r\n\r\n\r\n1. search com port before eject disk\r\n",
       "1. search com port before eject disk"},
      {Program::kItemsmith, "EjectDisk +++\r\nFind KVX Mass storage \r\n", "EjectDisk"},
      {Program::kItemsmith,
       "\r\n5. *** start to burn nv item *** \r\n\r\nSetNvItem 453 +++\r\nSetNvItem 4",
       "SetNvItem 453"},
      {Program::kTreesmith,
       "IMAGE_SKU_KVX \n===== ConnectDevice + ===== \n===== ConnectDevice - ===== \n",
       "ConnectDevice"},
      {Program::kTreesmith, "===== WriteFGI + ===== \nVODE_EfsWrite: PASS, x\n", "WriteFGI"},
      {Program::kTreesmith, "EjectDisk +++\n", ""},  // another program's banner is no step
  };
  for (const Case& c : cases) EXPECT_EQ(station::CurrentStep(c.program, c.log), c.step) << c.log;
}

// A program that ends at once, leaving the files it is given, or never ends.
class FakeChild final : public platform::ChildProcess {
 public:
  FakeChild(bool ends, int* stops) : ends_(ends), stops_(stops) {}
  bool Finished(int* code) override {
    *code = 0;
    return ends_ || stopped_;
  }
  void Stop() override {
    stopped_ = true;
    ++*stops_;
  }

 private:
  bool ends_;
  bool stopped_ = false;
  int* stops_;
};

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
    options_.programs_folder = "/programs";
    options_.limit_seconds = 60;
  }
  void TearDown() override { fs::remove_all(base_); }

  // Each program run: what it leaves in its working folder, keyed by slot and program name.
  int Run(const std::map<std::string, std::map<std::string, std::string>>& leaves,
          const std::vector<std::string>& hangs) {
    station::Launcher launch = [&](const platform::ChildSpec& launch, std::string*) {
      specs_.push_back(launch);
      const std::string key =
          launch.environment.at(0).second + " " + fs::path(launch.program).filename().string();
      EXPECT_TRUE(fs::exists(launch.working_folder + "/KVX_nvitem.txt"))
          << "a copy of the template";
      if (leaves.count(key) != 0) {
        for (const auto& [name, text] : leaves.at(key))
          std::ofstream(launch.working_folder + "/" + name) << text;
      }
      const bool hang = std::find(hangs.begin(), hangs.end(), key) != hangs.end();
      return std::unique_ptr<platform::ChildProcess>(std::make_unique<FakeChild>(!hang, &stops_));
    };
    return station::RunStation(options_, clock_, launch, false,
                               [&](const std::string& text) { output_ += text; });
  }
  std::vector<std::string> CsvLines() {
    std::ifstream in(options_.csv_file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::string base_, output_;
  station::Options options_;
  testsupport::TestClock clock_;
  std::vector<platform::ChildSpec> specs_;
  int stops_ = 0;
};

TEST_F(StationRun, ARunPastItsLimitIsStoppedAndFailsItsSlotAlone) {
  std::string message;
  bool help = false;
  ASSERT_TRUE(
      station::ParseOptions({"--slot", "1-1", "--slot", "1-2", "--template",
                             options_.template_folder, "--treesmith", "vexa", "--itemsmith-reset"},
                            &options_, &help, &message))
      << message;
  const std::map<std::string, std::string> item_pass = {{"KVX_WriteNVItem_result.txt",
                                                         "[WriteNVItem PASS]\r\n"}},
                                           tree_pass = {
                                               {"Kvx_treesmith_Result.txt", "PASS"},
                                               {"Kvx_treesmith.log", "===== WriteFGI + ===== \n"}};
  const int code = Run(
      {{"1-1 itemsmith", item_pass}, {"1-1 treesmith", tree_pass}, {"1-2 treesmith", tree_pass}},
      {"1-2 itemsmith"});
  EXPECT_EQ(code, 1);
  EXPECT_EQ(stops_, 1);
  // itemsmith first on each slot, with the reset argument; treesmith in its mode; every run in
  // a folder of its own, pinned to its slot.
  ASSERT_EQ(specs_.size(), 4u);
  std::vector<std::string> folders;
  for (const platform::ChildSpec& launch : specs_) {
    const bool item = fs::path(launch.program).filename() == "itemsmith";
    EXPECT_EQ(launch.arguments,
              item ? std::vector<std::string>{"reset"} : std::vector<std::string>{"--VEXA"});
    EXPECT_EQ(launch.environment.at(0).first, "DIAG_USB_LOCATION");
    EXPECT_EQ(std::count(folders.begin(), folders.end(), launch.working_folder), 0);
    folders.push_back(launch.working_folder);
  }
  const std::vector<std::string> lines = CsvLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "time,slot,program,mode,verdict,seconds,folder");
  const std::vector<std::string> expected = {
      ",1-1,itemsmith,write+reset,PASS,", ",1-1,treesmith,vexa,PASS,",
      ",1-2,itemsmith,write+reset,FAIL,60,", ",1-2,treesmith,vexa,PASS,"};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NE(lines[i + 1].find(expected[i]), std::string::npos) << lines[i + 1];
  }
  EXPECT_NE(output_.find("1-2 itemsmith: stopped after 60 s"), std::string::npos) << output_;
  EXPECT_NE(output_.find("1-1 treesmith: WriteFGI -> PASS"), std::string::npos) << output_;
}

TEST_F(StationRun, NoVerdictOrAFailingVerdictIsAFail) {
  options_.slots = {"a", "b", "c"};
  options_.jobs = {{Program::kTreesmith, "delete-dl", {"--DeleteDLFile"}}};
  const int code =
      Run({{"a treesmith", {{"Kvx_treesmith_Delete_DL_Result.txt", "PASS"}}},
           {"b treesmith", {{"Kvx_treesmith_Delete_DL_Result.txt", "FAIL"}}},
           {"c treesmith", {{"Kvx_treesmith_Result.txt", "PASS"}}}},  // another mode's file
          {});
  EXPECT_EQ(code, 1);
  const std::vector<std::string> lines = CsvLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[1].find(",a,treesmith,delete-dl,PASS,"), std::string::npos);
  EXPECT_NE(lines[2].find(",b,treesmith,delete-dl,FAIL,"), std::string::npos);
  EXPECT_NE(lines[3].find(",c,treesmith,delete-dl,FAIL,"), std::string::npos);
  // A second start appends, in a new working folder.
  options_.slots = {"a"};
  EXPECT_EQ(Run({{"a treesmith", {{"Kvx_treesmith_Delete_DL_Result.txt", "PASS"}}}}, {}), 0);
  EXPECT_EQ(CsvLines().size(), 5u);
  EXPECT_NE(specs_.back().working_folder, specs_.front().working_folder);
}

TEST(StationOptions, UsageErrors) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"--slot", "1-1", "--template", "/"},                                  // nothing to run
      {"--slot", "1-1", "--itemsmith"},                                      // no template
      {"--template", "/", "--itemsmith"},                                    // no slot
      {"--slot", "1-1", "--slot", "1-1", "--template", "/", "--itemsmith"},  // a slot twice
      {"--slot", "1-1", "--template", "/", "--treesmith", "sku"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--limit", "0"},
      {"--slot", "1-1", "--template", "/nonexistent-template", "--itemsmith"},
  };
  for (const auto& args : wrong) {
    station::Options options;
    bool help = false;
    std::string message;
    EXPECT_FALSE(station::ParseOptions(args, &options, &help, &message))
        << (args.empty() ? "" : args.back());
    EXPECT_FALSE(message.empty());
  }
}

}  // namespace
