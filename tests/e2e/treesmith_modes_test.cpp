// The built treesmith against diagsim: per mode and letter case the right files, a verdict of
// exactly PASS or FAIL, banners in order, exit code 0, and the device's tree afterwards.
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

}  // namespace
}  // namespace treesmith_e2e
