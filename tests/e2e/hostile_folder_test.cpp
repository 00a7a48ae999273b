// Both built programs against diagsim in working folders that hold what a line may really
// meet: lists and upload files that are folders, pipes or links to /dev/zero, a list saved
// with a byte order mark and long lines, file names that hold a backslash, a stale verdict.
// Each run ends, fails with the right lines, and the device holds nothing not meant for it.
#include <sys/stat.h>
#include <unistd.h>

#include "treesmith_harness.hpp"

namespace treesmith_e2e {
namespace {

class HostileFolder : public TreesmithRun {
 protected:
  static std::string Itemsmith() { return std::string(TEST_BINARY_DIR) + "/nvtool/itemsmith"; }

  void StartDevice(const std::vector<std::string>& options) {
    run_ = base_ + "/run";
    work_ = run_ + "/work";
    root_ = run_ + "/root";
    fs::create_directories(work_);
    fs::create_directories(root_);
    std::vector<std::string> argv = {Diagsim(), "--root", root_};
    argv.insert(argv.end(), options.begin(), options.end());
    diagsim_ = std::make_unique<Child>();
    ASSERT_TRUE(diagsim_->Start(argv, "", {}, ""));
    ASSERT_TRUE(diagsim_->WaitForOutput("diagsim: serving COM"));
  }

  // A program in the working folder; its exit code, or -1 when it had to be killed.
  int RunProgram(const std::string& program, const std::vector<std::string>& args, int bound_ms) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    Child tool;
    if (!tool.Start(argv, work_, {"DIAG_DEVICE_ROOT=" + root_}, run_ + "/console.txt")) return -1;
    return tool.Wait(bound_ms);
  }

  bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
  }
};

TEST_F(HostileFolder, ItemsmithWritesOnlyWhatTheListMeans) {
  StartDevice({"--nv-set", "11:1111", "--report"});
  const std::string list = work_ + "/KVX_nvitem.txt";
  const std::string result = work_ + "/KVX_WriteNVItem_result.txt";
  const std::string log = "KVX_WriteNVItem_log.txt";

  // Lists that cannot be read to their end: no verdict, not even the previous one.
  const std::pair<const char*, std::function<void()>> unreadable[] = {
      {"folder", [&] { fs::create_directory(list); }},
      {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", list); }},
      {"pipe", [&] { mkfifo(list.c_str(), 0600); }},
  };
  for (const auto& [name, make] : unreadable) {
    SCOPED_TRACE(name);
    fs::remove_all(list);
    make();
    std::ofstream(result) << "[WriteNVItem PASS]\r\n";
    EXPECT_EQ(RunProgram(Itemsmith(), {}, 60000), 1);
    EXPECT_FALSE(fs::exists(result));
    EXPECT_TRUE(EndsWith(Work(log), "\r\nopen KVX_ntitem file fail...\n\r\n\r\n")) << Work(log);
  }

  // Saved "as UTF-8" with CR LF, a 16-value line of 102 characters, a comment longer than a
  // line used to be, and a line no list has.
  fs::remove_all(list);
  std::string sixteen = "NV453:";
  for (int v = 1; v <= 16; ++v) {
    char value[8];
    std::snprintf(value, sizeof value, "%s0x%02x", v == 1 ? " " : ", ", v);
    sixteen += value;
  }
  std::ofstream(list, std::ios::binary) << "\xEF\xBB\xBFNV100:7\r\n"
                                        << sixteen << "\r\n"
                                        << "NV10:01<" << std::string(100, '-') << " was NV11:05\r\n"
                                        << "NV12:" << std::string(70000, 'c') << "\r\n"
                                        << "NV13:0d\r\n";
  EXPECT_EQ(RunProgram(Itemsmith(), {"reset"}, 60000), 0);
  EXPECT_EQ(Read(result), "[WriteNVItem FAIL]\r\n");
  EXPECT_NE(
      Work(log).find(
          "SetNvItem_10 ---\r\n\r\n---- KVX_nvitem.txt line 4 longer than 65536 characters ----"
          "\r\n\r\n\r\n"),
      std::string::npos)
      << Work(log);

  diagsim_->Signal(SIGTERM);
  ASSERT_TRUE(diagsim_->WaitForOutput("diagsim: stopped"));
  std::istringstream report(diagsim_->output());
  std::vector<std::string> items;
  for (std::string line; std::getline(report, line);) {
    if (line.rfind("diagsim: NV", 0) == 0) items.push_back(line);
  }
  const std::string zeros = " 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
  EXPECT_EQ(items, (std::vector<std::string>{
                       "diagsim: NV10 01 00" + zeros,
                       "diagsim: NV11 11 11" + zeros,
                       "diagsim: NV100 07 00" + zeros,
                       "diagsim: NV453 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10",
                   }));
  EXPECT_EQ(diagsim_->Wait(), 0);
}

TEST_F(HostileFolder, TreesmithUploadsOnlyRegularFilesUnderTheirOwnNames) {
  Prepare("hostile", "kvx");
  fs::remove(work_ + "/EFS_SD/rat_acq_order");
  fs::create_directory(work_ + "/EFS_SD/rat_acq_order");
  ASSERT_EQ(mkfifo((work_ + "/SMS/pipe").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", work_ + "/FGI/zero");
  std::ofstream(work_ + "/SMS/..\\FGI\\fgi") << "own bytes";
  fs::create_symlink("../FGI/fgi", work_ + "/ACQDB/linked");
  std::ofstream(work_ + "/Kvx_treesmith_Result.txt") << "PASS";
  std::ofstream(work_ + "/Kvx_treesmith_Delete_DL_Result.txt") << "PASS";
  std::ofstream(work_ + "/VODE_auto_start_log.txt") << "";

  EXPECT_EQ(RunTreesmith({}), 0);
  EXPECT_EQ(Work("Kvx_treesmith_Result.txt"), "FAIL");
  EXPECT_EQ(Work("Kvx_treesmith_Delete_DL_Result.txt"), "PASS");
  const std::string log = Work("Kvx_treesmith.log");
  for (const char* line : {"VODE_EfsWrite: FAIL, /nv/item_files/modem/mmode/..\\FGI\\fgi\n",
                           "VODE_EfsWrite: FAIL, /nv/item_files/modem/mmode/pipe\n",
                           "VODE_EfsWrite: PASS, /nv/item_files/modem/mmode/sms_config\n",
                           "VODE_EfsWrite: FAIL, sd/rat_acq_order\n",
                           "VODE_EfsWrite: PASS, nv/reg_files/modem/lte/rrc/csp/linked\n",
                           "VODE_EfsWrite: FAIL, nv/item_files/modem/lte/rrc/cap/zero\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  const std::string library_log = Work("VODE_Log.txt");
  for (const char* path : {"SMS\\pipe", "EFS_SD\\rat_acq_order", "FGI\\zero"}) {
    EXPECT_NE(library_log.find(std::string("VODE_EfsWrite() - ") + path + " is not a regular file"),
              std::string::npos)
        << path;
  }

  auto expected = efstool_test::ReadTree(efstool_test::ExamplePath("expected/kvx"));
  expected.erase("sd/rat_acq_order");
  expected["nv/reg_files/modem/lte/rrc/csp/linked"] = Work("FGI/fgi");
  EXPECT_EQ(StopDeviceAndDump(), expected);
}

TEST_F(HostileFolder, KilledTreesmithLeavesNoVerdict) {
  // No device: the first connection alone takes 50 s, time enough to kill the run in it.
  run_ = base_ + "/killed";
  work_ = run_ + "/work";
  root_ = run_ + "/root";
  fs::create_directories(work_);
  fs::create_directories(root_);
  std::ofstream(work_ + "/Kvx_treesmith_Result.txt") << "PASS";
  std::ofstream(work_ + "/Kvx_treesmith_Delete_DL_Result.txt") << "PASS";
  Child tool;
  ASSERT_TRUE(
      tool.Start({Treesmith()}, work_, {"DIAG_DEVICE_ROOT=" + root_}, run_ + "/console.txt"));
  for (int i = 0; i < 500 && Work("Kvx_treesmith.log").find("IMAGE_SKU_KVX") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  tool.Signal(SIGKILL);
  EXPECT_EQ(tool.Wait(), -1);
  EXPECT_NE(Work("Kvx_treesmith.log").find("IMAGE_SKU_KVX \n"), std::string::npos);
  EXPECT_FALSE(fs::exists(work_ + "/Kvx_treesmith_Result.txt"));
  EXPECT_EQ(Work("Kvx_treesmith_Delete_DL_Result.txt"), "PASS");
}

}  // namespace
}  // namespace treesmith_e2e
