// The built treesmith against diagsim: per mode and letter case the right files, a verdict of
// exactly PASS or FAIL, banners in order, exit code 0, and the device's tree afterwards.
#include <sys/resource.h>

#include "treesmith_harness.hpp"
#include "treesmith_banners.hpp"

namespace treesmith_e2e {
namespace {

using testsupport::Banners;
using testsupport::ExpectedBanners;

const std::vector<std::string> kKvxSteps = {
    "ConnectDevice",  "EnterOfflineMode", "DeleteEFS",       "DeletePhoneEFS",   "DeleteSMS",
    "DeleteUE_USAGE", "DeleteACQDB",      "DeleteFGI",       "DisconnectDevice", "ConnectDevice",
    "WriteAppsEFS",   "WriteEFS_generic", "WritePhoneEFS",   "WriteSMS",         "WriteUE_USAGE",
    "WriteACQDB",     "WriteFGI",         "DisconnectDevice"};
const std::vector<std::string> kVexaSteps = {
    "ConnectDevice", "EnterOfflineMode", "DeleteEFS",     "DeletePhoneEFS",   "DeleteACQDB_pre",
    "DeleteMTU",     "DeleteACQDB",      "DeleteFGI",     "DisconnectDevice", "ConnectDevice",
    "WriteAppsEFS",  "WriteEFS_VEXA",    "WritePhoneEFS", "WriteMTU",         "WriteACQDB",
    "WriteFGI",      "DisconnectDevice"};
const std::vector<std::string> kDeleteDlSteps = {"ConnectDevice", "EnterOfflineMode",
                                                 "DeleteDL_Processing", "DisconnectDevice"};

struct ModeCase {
  const char* name;
  std::vector<std::string> args;
  const char* upload;
  const char* log;
  const char* result;
  const char* other_log;
  const char* other_result;
  const char* mode_line;
  const std::vector<std::string>* steps;
  const char* expected_tree;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class TreesmithModes : public TreesmithRun, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(TreesmithModes, RunPassesAndLeavesTheExpectedTree) {
  const ModeCase& c = GetParam();
  Prepare(c.name, c.upload);
  // The other mode's files, left from an earlier run, must stay as they are.
  std::ofstream(work_ + "/" + c.other_log) << "earlier log";
  std::ofstream(work_ + "/" + c.other_result) << "FAIL";
  EXPECT_EQ(RunTreesmith(c.args), 0);

  EXPECT_EQ(Work(c.result), "PASS");
  EXPECT_EQ(Work(c.other_log), "earlier log");
  EXPECT_EQ(Work(c.other_result), "FAIL");
  const std::string log = Work(c.log);
  EXPECT_EQ(log.rfind(std::string("treesmith version: 20120903 \n") + c.mode_line, 0), 0u);
  EXPECT_EQ(Banners(log), ExpectedBanners(*c.steps));
  EXPECT_NE(log.find("Context creation: PASS\nCOM Port: 7\n"), std::string::npos);

  const std::string console = Console();
  EXPECT_NE(console.find("\n----------------\nVersion Report\n----------------\n"),
            std::string::npos);
  EXPECT_NE(console.find("\nVODE DLL Version: VODE V5.3.32,DIRECTMS"), std::string::npos);
  EXPECT_NE(console.find("\nCOM Port: 7\n"), std::string::npos);
  EXPECT_NE(console.find("Mobile Version report: PASS\n"), std::string::npos);
  EXPECT_NE(console.find("\nVODE_DIAG_CONTROL_F(  MODE_OFFLINE_D_F ): PASS"), std::string::npos);

  EXPECT_EQ(StopDeviceAndDump(),
            efstool_test::ReadTree(efstool_test::ExamplePath(c.expected_tree)));
}

INSTANTIATE_TEST_SUITE_P(AllModes, TreesmithModes,
                         ::testing::Values(ModeCase{"no_argument",
                                                    {},
                                                    "kvx",
                                                    "Kvx_treesmith.log",
                                                    "Kvx_treesmith_Result.txt",
                                                    "Kvx_treesmith_Delete_DL.log",
                                                    "Kvx_treesmith_Delete_DL_Result.txt",
                                                    "IMAGE_SKU_KVX \n",
                                                    &kKvxSteps,
                                                    "expected/kvx"},
                                           ModeCase{"vexa_upper",
                                                    {"--VEXA"},
                                                    "vexa",
                                                    "Kvx_treesmith.log",
                                                    "Kvx_treesmith_Result.txt",
                                                    "Kvx_treesmith_Delete_DL.log",
                                                    "Kvx_treesmith_Delete_DL_Result.txt",
                                                    "IMAGE_SKU_VEXA \n",
                                                    &kVexaSteps,
                                                    "expected/vexa"},
                                           ModeCase{"delete_dl_mixed",
                                                    {"--DeleteDLFile"},
                                                    "kvx",
                                                    "Kvx_treesmith_Delete_DL.log",
                                                    "Kvx_treesmith_Delete_DL_Result.txt",
                                                    "Kvx_treesmith.log",
                                                    "Kvx_treesmith_Result.txt",
                                                    "DeleteDLFile \n",
                                                    &kDeleteDlSteps,
                                                    "expected/deletedlfile"}),
                         [](const ::testing::TestParamInfo<ModeCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(TreesmithRun, ProductRunLeavesTheDeviceOffline) {
  // The second connection's report reads the operating mode after the offline switch.
  Prepare("offline", "kvx");
  RunTreesmith({});
  const std::string console = Console();
  const std::string online = "\n     Phone Operating Mode: ONLINE";
  const std::string offline = "\n     Phone Operating Mode: OFFLINE";
  const size_t first = console.find(online);
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(console.find(offline, first), std::string::npos);
  EXPECT_EQ(console.find(online, first + 1), std::string::npos);
}

TEST_F(TreesmithRun, KvxRunWithoutSmsFolderFails) {
  Prepare("no_sms", "kvx");
  fs::remove_all(work_ + "/SMS");
  EXPECT_EQ(RunTreesmith({}), 0);
  EXPECT_EQ(Work("Kvx_treesmith_Result.txt"), "FAIL");
  EXPECT_NE(Work("Kvx_treesmith.log").find("Find file in directory: FAIL, SMS\\*.*\n"),
            std::string::npos);
  const auto tree = StopDeviceAndDump();
  EXPECT_EQ(tree.count("nv/item_files/modem/mmode/sms_config"), 0u);
  EXPECT_EQ(tree.count("nv/item_files/modem/mmode/ue_usage_setting"), 1u);
}

// A device provisioned before, with stale files in the folder the KVX run empties, or in
// subfolders (an older firmware's layout) of the folders it removes.
TEST_F(TreesmithRun, ReprovisioningClearsWhatItMustOrFailsNamingIt) {
  struct Case {
    const char* name;
    int stale_files;
    std::string stale_name;                // one more, of this name, when not empty
    std::vector<std::string> stale_paths;  // below the device's root
    std::vector<std::string> device_args;
    const char* verdict;
    const char* log_line;
    std::vector<std::string> left;  // beside the expected tree, when its comparison is made
  };
  const Case cases[] = {
      {"1200_stale_files", 1200, "", {}, {}, "PASS", nullptr, {}},
      {"unreturnable_name",
       0,
       std::string(110, 'n'),
       {},
       {},
       "FAIL",
       "EFS Clear Folder: FAIL, nv/item_files/modem/mmode, it cannot be listed\n",
       {}},
      {"stale_subfolders",
       0,
       "",
       {"var/log/old.txt", "data/sub/stale.bin"},
       {},
       "PASS",
       nullptr,
       {}},
      {"kept_subfolder",
       0,
       "",
       {"var/log/old.txt"},
       {"--efs-keep-folder", "var/log"},
       "FAIL",
       "EFS Clear Folder: FAIL, var, folder var/log stayed\n",
       {"var/", "var/log/"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string device = base_ + "/" + c.name + "-device";
    fs::copy(efstool_test::ExamplePath("device-before"), device, fs::copy_options::recursive);
    const std::string mmode = device + "/nv/item_files/modem/mmode/";
    for (int i = 0; i < c.stale_files; ++i)
      std::ofstream(mmode + "stale_" + std::to_string(i)) << i;
    if (!c.stale_name.empty()) std::ofstream(mmode + c.stale_name) << "old";
    for (const std::string& path : c.stale_paths) {
      fs::create_directories(fs::path(device + "/" + path).parent_path());
      std::ofstream(device + "/" + path) << "stale";
    }
    Prepare(c.name, "kvx", device, c.device_args);
    EXPECT_EQ(RunTreesmith({}), 0);
    EXPECT_EQ(Work("Kvx_treesmith_Result.txt"), c.verdict);
    const auto tree = StopDeviceAndDump();
    if (c.log_line != nullptr) {
      EXPECT_NE(Work("Kvx_treesmith.log").find(c.log_line), std::string::npos);
    }
    if (c.log_line == nullptr || !c.left.empty()) {
      auto expected = efstool_test::ReadTree(efstool_test::ExamplePath("expected/kvx"));
      for (const std::string& folder : c.left) expected[folder] = "";
      EXPECT_EQ(tree, expected);
    }
  }
}

namespace {
void LimitFilesToThreeBytes() {
  const rlimit limit{3, 3};
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
}
}  // namespace

TEST_F(TreesmithRun, VerdictFileFaultsExitWithTwoAndClosedConsoleEndsNoRun) {
  // The previous result cannot be removed: nothing on the device changes.
  Prepare("stuck_result", "kvx");
  fs::create_directory(work_ + "/Kvx_treesmith_Result.txt");
  EXPECT_EQ(RunTreesmith({}), 2);
  EXPECT_NE(Console().find("Result file Kvx_treesmith_Result.txt cannot be removed"),
            std::string::npos);
  EXPECT_EQ(StopDeviceAndDump(),
            efstool_test::ReadTree(efstool_test::ExamplePath("device-before")));

  // A full disk: the verdict is not left cut short.
  Prepare("full_disk", "kvx");
  {
    Child tool;
    ASSERT_TRUE(tool.Start({Treesmith()}, work_, {"DIAG_DEVICE_ROOT=" + root_}, "",
                           LimitFilesToThreeBytes));
    tool.WaitForOutput("no verdict is left\n", 120000);
    EXPECT_EQ(tool.Wait(), 2);
    EXPECT_FALSE(fs::exists(work_ + "/Kvx_treesmith_Result.txt"));
  }
  StopDeviceAndDump();

  // The console's reader is gone from the start (a line script's `| head -1`).
  Prepare("closed_console", "kvx");
  {
    Child tool;
    ASSERT_TRUE(tool.Start({Treesmith()}, work_, {"DIAG_DEVICE_ROOT=" + root_}, ""));
    tool.CloseOutput();
    EXPECT_EQ(tool.Wait(), 0);
  }
  EXPECT_EQ(Work("Kvx_treesmith_Result.txt"), "PASS");
  EXPECT_EQ(StopDeviceAndDump(), efstool_test::ReadTree(efstool_test::ExamplePath("expected/kvx")));
}

}  // namespace
}  // namespace treesmith_e2e
