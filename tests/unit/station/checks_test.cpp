// What linestation reads and checks before a run, and how it shows one: the command line, the
// check before the start, the run log's step and FAIL line, the table's fit.
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "station/options.hpp"
#include "station/preflight.hpp"
#include "station/record.hpp"
#include "station/run_log.hpp"

namespace {

namespace fs = std::filesystem;
using station::Program;

TEST(StationOptions, UsageErrors) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"--slot", "1-1", "--template", "/"},  // nothing to run
      {"--slot", "1-1", "--itemsmith"},      // no template
      {"--template", "/", "--itemsmith"},    // no slot
      {"--slot", "1-1", "--template", "/", "--treesmith", "sku"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--limit", "0"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--limit", "9x"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--presence-wait", "-1"},
      {"--slot", "--template", "/", "--itemsmith"},  // an option where the value belongs
      {"--slot", "1-1", "--template", "--itemsmith"},
      {"--slot=", "--template", "/", "--itemsmith"},
      {"--slot", "1-1", "--template", "/", "--itemsmith=yes"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--treesmith"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--itemsmith-reset"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--list"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--http", "65536"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--http", ":8080"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--http", "127.0.0.1:"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--http", "80x"},
      {"--slot", "1-1", "--template", "/", "--itemsmith", "--http", "--keep-going"},
  };
  for (const auto& args : wrong) {
    station::Options options;
    station::Request request;
    std::string message;
    std::string line;
    for (const std::string& a : args) line += a + " ";
    EXPECT_FALSE(station::ParseOptions(args, &options, &request, &message)) << line;
    EXPECT_FALSE(message.empty()) << line;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }
}

TEST(StationOptions, JoinedValuesModesInAnyCaseAndQuestions) {
  station::Options options;
  station::Request request;
  std::string message;
  ASSERT_TRUE(station::ParseOptions(
      {"--slot=1-1", "--slot", "1-2", "--template=/t", "--treesmith=VeXa", "--itemsmith",
       "--limit=30", "--presence-wait", "0", "--keep-going", "--csv=x.csv", "--http=[::1]:8080"},
      &options, &request, &message))
      << message;
  EXPECT_EQ(request, station::Request::kRun);
  EXPECT_EQ(options.slots, (std::vector<std::string>{"1-1", "1-2"}));
  EXPECT_EQ(options.template_folder, "/t");
  ASSERT_EQ(options.jobs.size(), 2u);
  EXPECT_EQ(options.jobs[0].program, Program::kItemsmith);  // always first on its slot
  EXPECT_EQ(options.jobs[1].mode, "vexa");
  EXPECT_EQ(options.jobs[1].arguments, std::vector<std::string>{"--VEXA"});
  EXPECT_EQ(options.limit_seconds, 30u);
  EXPECT_EQ(options.presence_wait_seconds, 0u);
  EXPECT_TRUE(options.keep_going);
  EXPECT_EQ(options.csv_file, "x.csv");
  EXPECT_EQ(options.http, "[::1]:8080");  // the bind tells whether the address is this PC's

  for (const auto& [arg, asked] : std::vector<std::pair<std::string, station::Request>>{
           {"--help", station::Request::kHelp},
           {"-h", station::Request::kHelp},
           {"--version", station::Request::kVersion}}) {
    station::Options none;
    EXPECT_TRUE(station::ParseOptions({arg}, &none, &request, &message));
    EXPECT_EQ(request, asked) << arg;
  }
}

// A station set up in a temporary folder: programs, template and CSV as a line has them.
class StationCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/station-check-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    fs::create_directories(base_ + "/bin");
    for (const char* name : {"itemsmith", "treesmith"}) {
      const std::string program = base_ + "/bin/" + name;
      std::ofstream(program) << "#!/bin/sh\n";
      chmod(program.c_str(), 0755);
    }
    const std::string t = base_ + "/template/";
    for (const char* folder :
         {"apps",          "db",        "EFS_SD",     "ACQDB",       "FGI",
          "SMS",           "UE_USAGE",  "ui/admin",   "ui/app_game", "ui/css_js",
          "ui/diagnostic", "ui/image",  "ui/lang",    "ui/menu",     "ui/security",
          "ui/setup",      "ui/status", "ui/submenu", "ui/wan",      "ui/wireless"})
      fs::create_directories(t + folder);
    std::ofstream(t + "EFS_SD/rat_acq_order") << "x";
    std::ofstream(t + "KVX_nvitem.txt") << "NV1:1\n";
    station::Request request;
    std::string message;
    ASSERT_TRUE(station::ParseOptions(
        {"--slot", "1-2.1", "--slot", "1-2.2", "--template", base_ + "/template", "--itemsmith",
         "--treesmith", "kvx", "--programs", base_ + "/bin", "--csv", base_ + "/station.csv"},
        &options_, &request, &message));
  }
  void TearDown() override { fs::remove_all(base_); }

  std::string base_;
  station::Options options_;
};

TEST_F(StationCheck, EachMistakeIsRefusedBeforeTheStart) {
  struct Case {
    const char* what;
    std::function<void(station::Options&, const std::string& base)> spoil;
    const char* says;  // part of the one line
  };
  const std::vector<Case> cases = {
      {"bad slot", [](auto& o, auto&) { o.slots[1] = "1-2.x"; }, "not a USB location"},
      {"slot twice", [](auto& o, auto&) { o.slots[1] = "1-2.1"; }, "given twice"},
      {"no programs", [](auto& o, auto& b) { o.programs_folder = b + "/nothing"; },
       "no runnable itemsmith"},
      {"not runnable", [](auto&, auto& b) { chmod((b + "/bin/treesmith").c_str(), 0644); },
       "no runnable treesmith"},
      {"no template", [](auto& o, auto& b) { o.template_folder = b + "/none"; }, "not a folder"},
      {"no list", [](auto&, auto& b) { fs::remove(b + "/template/KVX_nvitem.txt"); },
       "has no KVX_nvitem.txt"},
      {"no SMS", [](auto&, auto& b) { fs::remove(b + "/template/SMS"); }, "has no SMS"},
      {"CSV is a folder", [](auto& o, auto& b) { o.csv_file = b + "/template"; }, "is a folder"},
      {"CSV in no folder", [](auto& o, auto& b) { o.csv_file = b + "/none/x.csv"; },
       "cannot append"},
      {"CSV of other columns",
       [](auto&, auto& b) {
         std::ofstream(b + "/station.csv") << "time,slot,program,mode,verdict,seconds,folder\n";
       },
       "has other columns"},
  };
  for (const Case& c : cases) {
    TearDown();
    options_ = station::Options();
    SetUp();
    c.spoil(options_, base_);
    std::string message;
    EXPECT_FALSE(station::CheckBeforeStart(&options_, "/nowhere", &message)) << c.what;
    EXPECT_NE(message.find(c.says), std::string::npos) << c.what << ": " << message;
  }
}

TEST_F(StationCheck, PathsAreMadeAbsoluteAndTheBuildTreeIsSearched) {
  // Relative folders, given from the base: the runs start elsewhere, so all become absolute.
  const fs::path here = fs::current_path();
  fs::current_path(base_);
  options_.programs_folder = "bin";
  options_.template_folder = "template";
  options_.csv_file = "station.csv";
  std::string message;
  EXPECT_TRUE(station::CheckBeforeStart(&options_, "/nowhere", &message)) << message;
  EXPECT_EQ(options_.jobs[0].program_file, base_ + "/bin/itemsmith");
  EXPECT_EQ(options_.template_folder, base_ + "/template");
  EXPECT_EQ(options_.csv_file, base_ + "/station.csv");
  EXPECT_TRUE(fs::path(options_.work_folder).is_absolute());

  // Without --programs: beside linestation, else where the build tree keeps each program.
  fs::create_directories(base_ + "/build/station");
  fs::create_directories(base_ + "/build/nvtool");
  fs::create_directories(base_ + "/build/efstool");
  fs::copy(base_ + "/bin/itemsmith", base_ + "/build/nvtool/itemsmith");
  fs::copy(base_ + "/bin/treesmith", base_ + "/build/efstool/treesmith");
  options_.programs_folder.clear();
  EXPECT_TRUE(station::CheckBeforeStart(&options_, base_ + "/build/station", &message)) << message;
  EXPECT_EQ(options_.jobs[0].program_file, base_ + "/build/nvtool/itemsmith");
  EXPECT_EQ(options_.jobs[1].program_file, base_ + "/build/efstool/treesmith");
  fs::current_path(here);
}

TEST(RunLog, StepAndFailLine) {
  struct Case {
    Program program;
    const char* log;
    const char* step;
    const char* fail;
  };
  const std::vector<Case> cases = {
      {Program::kItemsmith, "", "", ""},
      {Program::kItemsmith,
       "KVX_WriteNVItem version: 20120831 \r\n\r\n\r\n1. search com port before eject disk\r\n",
       "1. search com port before eject disk", ""},
      {Program::kItemsmith, "EjectDisk +++\r\nFind KVX Mass storage \r\n", "EjectDisk", ""},
      {Program::kItemsmith,
       "\r\n5. *** start to burn nv item *** \r\n\r\nSetNvItem 453 +++\r\nSetNvItem Fail \r\n"
       "\r\n---- Write NV items NV453 fail ----\r\n\r\n",
       "SetNvItem 453", "---- Write NV items NV453 fail ----"},
      // A failed eject is no failure of the run; the search after it is.
      {Program::kItemsmith,
       "EjectDisk fail\r\n\r\n4. search com port after eject disk\r\n"
       "com port not exist after eject disk\r\ncom port not exist after eject disk\r\n",
       "4. search com port after eject disk", "com port not exist after eject disk"},
      {Program::kItemsmith, "[Error] TovikApplicationExist \r\n", "",
       "[Error] TovikApplicationExist"},
      {Program::kTreesmith,
       "IMAGE_SKU_KVX \n===== ConnectDevice + ===== \nServer connection: FAIL\n"
       "===== ConnectDevice - ===== \n",
       "ConnectDevice", "Server connection: FAIL"},
      // The offline switch and the delete sets do not count.
      {Program::kTreesmith,
       "===== EnterOfflineMode + ===== \nVODE_DIAG_CONTROL_F(  MODE_OFFLINE_D_F ): FAIL\n"
       "===== DeleteACQDB + ===== \nEFS DIR: FAIL, x\n===== WriteFGI + ===== \n"
       "VODE_EfsWrite: FAIL, nv/item_files/a\n",
       "WriteFGI", "VODE_EfsWrite: FAIL, nv/item_files/a"},
      {Program::kTreesmith, "EjectDisk +++\n", "", ""},  // another program's banner is no step
  };
  for (const Case& c : cases) {
    EXPECT_EQ(station::CurrentStep(c.program, c.log), c.step) << c.log;
    EXPECT_EQ(station::FailLine(c.program, c.log), c.fail) << c.log;
  }
}

TEST(StationTable, FitsTheTerminalAndKeepsTheEndOfASlot) {
  station::Row row;
  row.slot = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)";
  row.program = "treesmith";
  row.mode = "write+reset";
  row.step = std::string(200, 's');
  row.reason = "VODE_EfsWrite: FAIL, " + std::string(200, 'x');
  row.verdict = "NO DEVICE";
  row.tenths = 1234567;
  for (const int columns : {40, 60, 80, 104, 200}) {
    const station::TableLayout layout = station::LayoutFor({row}, columns);
    const std::string line = station::FormatRow(row, layout);
    if (columns >= 60) {
      EXPECT_LT(line.size(), static_cast<size_t>(columns)) << line;
      EXPECT_LT(station::TableHeader(layout).size(), static_cast<size_t>(columns));
    }
    // The end of the slot stays, where the slots of one hub differ.
    EXPECT_EQ(line[0], '~') << line;
    EXPECT_EQ(line.substr(1, layout.slot - 1), row.slot.substr(row.slot.size() - layout.slot + 1))
        << line;
    EXPECT_NE(line.find("VODE_Efs"), std::string::npos) << "the reason shows";
  }
}

}  // namespace
