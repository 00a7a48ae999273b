// The delete sets and the write sets against the scripted library and real local folders.
#include <fstream>
#include <functional>

#include "tool_fixture.hpp"

namespace efstool_test {
namespace {

using DeleteSetsTest = ToolTest;
using WriteSetsTest = ToolTest;

TEST_F(DeleteSetsTest, FoldersGoSubfoldersFirstAndUiAfterItsFourteen) {
  efstool::ConnectDevice(Context());
  efstool::DeleteEFS(Context());
  const std::vector<std::string> expected = {
      "apps",          "db",         "ui/admin",  "ui/app_game", "ui/css_js",
      "ui/diagnostic", "ui/dynpage", "ui/image",  "ui/lang",     "ui/menu",
      "ui/security",   "ui/setup",   "ui/status", "ui/submenu",  "ui/wan",
      "ui/wireless",   "ui",         "var",       "data"};
  EXPECT_EQ(Fake().CallsStartingWith("RmDir "), expected);
  EXPECT_EQ(Fake().CallsStartingWith("Dir "), expected);
  // Each folder is listed right before its own removal.
  const auto& calls = Fake().calls;
  for (size_t i = 0; i + 1 < calls.size(); ++i) {
    if (calls[i].rfind("RmDir ", 0) == 0) {
      EXPECT_EQ(calls[i - 1], "Dir " + calls[i].substr(6));
    }
  }
  EXPECT_NE(Log().find("EFS DIR: FAIL, ui\nVODE_EfsRmDir: PASS, ui\n\nEFS DIR: FAIL, var\n"),
            std::string::npos);
}

TEST_F(DeleteSetsTest, ListedFilesAndLinksAreDeletedFoldersNever) {
  Fake().folders["db"] = {{"a.cfg", 1}, {"sub", 0}, {"alias", 2}};
  efstool::ConnectDevice(Context());
  console_.printed.clear();
  efstool::ListAndDeleteFiles(Context(), "db");
  EXPECT_EQ(Fake().CallsStartingWith("Delete "),
            (std::vector<std::string>{"db/a.cfg", "db/alias"}));
  EXPECT_NE(console_.printed.find("\nEFS DIR db: PASS\n"), std::string::npos);
  EXPECT_NE(console_.printed.find("\n\n Found: 2 files"), std::string::npos);
  EXPECT_NE(console_.printed.find("\nVODE_EfsDelete: PASS, db/alias\n"), std::string::npos);
  EXPECT_NE(Log().find("EFS DIR: PASS, db\nVODE_EfsDelete: PASS, db/a.cfg\n"
                       "VODE_EfsDelete: PASS, db/alias\n"),
            std::string::npos);
}

TEST_F(DeleteSetsTest, FailedListingDeletesNothing) {
  efstool::ConnectDevice(Context());
  efstool::ListAndDeleteFiles(Context(), "nowhere");
  EXPECT_TRUE(Fake().CallsStartingWith("Delete ").empty());
  EXPECT_NE(Log().find("EFS DIR: FAIL, nowhere\n"), std::string::npos);
  EXPECT_NE(console_.printed.find("\nEFS DIR nowhere: FAIL\n"), std::string::npos);
}

TEST_F(DeleteSetsTest, FolderOf1200FilesIsEmptiedInPasses) {
  auto& entries = Fake().folders["nv/item_files/modem/mmode"];
  for (int i = 0; i < 1200; ++i) entries.push_back({"f" + std::to_string(i), 1});
  efstool::ConnectDevice(Context());
  EXPECT_TRUE(efstool::DeleteSMS(Context()));
  EXPECT_EQ(Fake().CallsStartingWith("Delete ").size(), 1200u);
  EXPECT_TRUE(Fake().folders["nv/item_files/modem/mmode"].empty());
  EXPECT_EQ(Fake().CallsStartingWith("Dir ").size(), 3u) << "500, 500, then the last 200";
}

TEST_F(DeleteSetsTest, FolderLeftHoldingAnythingFailsItsSet) {
  const std::string mmode = "nv/item_files/modem/mmode";
  struct Case {
    const char* name;
    std::function<void(FakeVode&)> arrange;
    bool removal;  // DeleteEFS, or else DeleteSMS
    bool cleared;
    std::string line;  // the log line naming what stayed, when it did
  };
  const Case cases[] = {
      {"a file that cannot be deleted",
       [&](FakeVode& f) {
         f.folders[mmode] = {{"old_sms_setting", 1}, {"kept", 1}};
         f.refused_deletes = {mmode + "/kept"};
       },
       false, false, "EFS Clear Folder: FAIL, " + mmode + ", 1 files stayed\n"},
      {"a folder that cannot be listed",
       [&](FakeVode& f) {
         f.folders[mmode] = {{"old_sms_setting", 1}};
         f.unlistable = {mmode};
       },
       false, false, "EFS Clear Folder: FAIL, " + mmode + ", it cannot be listed\n"},
      {"no such folder", [&](FakeVode& f) { f.folders["nv/item_files/data"] = {}; }, false, true,
       ""},
      {"nothing of the device there", [](FakeVode&) {}, false, true, ""},
      {"unlisted and not removed",
       [](FakeVode& f) {
         f.folders["var"] = {{"x", 1}};
         f.unlistable = {"var"};
         f.refused_rmdirs = {"var"};
       },
       true, false,
       "VODE_EfsRmDir: FAIL, var\n\nEFS Clear Folder: FAIL, var, it cannot be listed\n"},
      {"unlisted but removed",
       [](FakeVode& f) {
         f.folders["var"] = {{"x", 1}};
         f.unlistable = {"var"};
       },
       true, true, ""},
      {"a file stays in a folder that stays",
       [](FakeVode& f) {
         f.folders["data"] = {{"x", 1}};
         f.refused_deletes = {"data/x"};
         f.refused_rmdirs = {"data"};
       },
       true, false, "EFS Clear Folder: FAIL, data, 1 files stayed\n"},
      {"emptied folder that stays",
       [](FakeVode& f) {
         f.folders["data"] = {{"x", 1}};
         f.refused_rmdirs = {"data"};
       },
       true, false,
       "VODE_EfsRmDir: FAIL, data\n\nEFS Clear Folder: FAIL, data, the folder itself stayed\n"},
      {"stale subfolders go with their folders",
       [](FakeVode& f) {
         f.folders["var/log"] = {{"old.txt", 1}};
         f.folders["data/sub"] = {{"stale.bin", 1}};
       },
       true, true, ""},
      {"a subfolder that stays",
       [](FakeVode& f) {
         f.folders["var/log"] = {{"old.txt", 1}};
         f.refused_rmdirs = {"var/log"};
       },
       true, false,
       "VODE_EfsRmDir: FAIL, var/log\n\nEFS Clear Folder: FAIL, var/log, the folder itself "
       "stayed\n"
       "VODE_EfsRmDir: FAIL, var\n\nEFS Clear Folder: FAIL, var, folder var/log stayed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetFake();
    c.arrange(Fake());
    efstool::ConnectDevice(Context());
    const size_t log_before = Log().size();
    EXPECT_EQ(c.removal ? efstool::DeleteEFS(Context()) : efstool::DeleteSMS(Context()), c.cleared);
    const std::string log = Log().substr(log_before);
    if (c.line.empty()) {
      EXPECT_EQ(log.find("EFS Clear Folder"), std::string::npos) << log;
    } else {
      EXPECT_NE(log.find(c.line), std::string::npos) << log;
    }
  }
}

// Below a folder it removes, the run follows folders eight levels down, deepest first, and never
// into the entries a device may list for a folder itself or its parent.
TEST_F(DeleteSetsTest, SubfoldersGoDeepestFirstEightLevelsDown) {
  std::vector<std::string> chain = {"data"};
  for (int level = 1; level <= 9; ++level)
    chain.push_back(chain.back() + "/" + std::to_string(level));
  Fake().folders[chain.back()] = {{"f", 1}};
  Fake().folders["var"] = {{".", 0}, {"..", 0}, {"session.tmp", 1}};
  efstool::ConnectDevice(Context());
  EXPECT_FALSE(efstool::DeleteEFS(Context()));

  std::vector<std::string> removals = Fake().CallsStartingWith("RmDir ");
  ASSERT_GE(removals.size(), 10u);
  EXPECT_EQ(removals[removals.size() - 10], "var");
  removals.erase(removals.begin(), removals.end() - 9);
  EXPECT_EQ(removals, std::vector<std::string>(chain.rbegin() + 1, chain.rend()))
      << "data's folders from the eighth level up";
  EXPECT_EQ(Fake().CallsStartingWith("Dir " + chain[8]).size(), 1u);
  EXPECT_TRUE(Fake().CallsStartingWith("Dir " + chain[9]).empty());
  EXPECT_TRUE(Fake().CallsStartingWith("Dir var/.").empty());
  EXPECT_EQ(Fake().CallsStartingWith("Delete "), (std::vector<std::string>{"var/session.tmp"}));
  EXPECT_NE(
      Log().find("EFS Clear Folder: FAIL, " + chain[8] + ", folder " + chain[9] + " stayed\n"),
      std::string::npos)
      << Log();
  EXPECT_NE(Log().find("EFS Clear Folder: FAIL, data, folder data/1 stayed\n"), std::string::npos);
}

TEST_F(DeleteSetsTest, SmsAndUeUsageEmptyTheSameFolderAndKeepIt) {
  Fake().folders["nv/item_files/modem/mmode"] = {{"sms_cfg", 1}, {"ue_usage", 1}};
  efstool::ConnectDevice(Context());
  efstool::DeleteSMS(Context());
  efstool::DeleteUE_USAGE(Context());
  EXPECT_EQ(Fake().CallsStartingWith("Delete ").size(), 2u);
  EXPECT_TRUE(Fake().CallsStartingWith("RmDir ").empty());
  EXPECT_NE(console_.printed.find("\n\n Found: 0 files"), std::string::npos);
  EXPECT_NE(Log().find("===== DeleteUE_USAGE + ===== \nEFS DIR: PASS, nv/item_files/modem/mmode\n"
                       "===== DeleteUE_USAGE - ===== \n"),
            std::string::npos);
}

TEST_F(DeleteSetsTest, FileDeletesLogOneLineEnd) {
  Fake().refused_deletes = {"sd/bst_tbl"};
  efstool::ConnectDevice(Context());
  efstool::DeletePhoneEFS(Context());
  EXPECT_TRUE(efstool::DeleteDL_Processing(Context()));
  EXPECT_NE(Log().find("===== DeletePhoneEFS + ===== \nVODE_EfsDelete: FAIL, sd/bst_tbl\n"
                       "VODE_EfsDelete: PASS, sd/rat_acq_order\n===== DeletePhoneEFS - ===== \n"
                       "===== DeleteDL_Processing + ===== \nVODE_EfsDelete: PASS, /DL_Processing\n"
                       "===== DeleteDL_Processing - ===== \n"),
            std::string::npos);
}

TEST_F(DeleteSetsTest, WithoutContextEverythingFails) {
  Fake().connect_failures = -1;
  efstool::ConnectDevice(Context());
  efstool::DeleteEFS(Context());
  EXPECT_FALSE(efstool::DeleteDL_Processing(Context()));
  EXPECT_NE(Log().find("EFS DIR: FAIL, apps\nVODE_EfsRmDir: FAIL, apps\n\n"), std::string::npos);
}

TEST(ToLocalFolderTest, FirstSlashBecomesBackslash) {
  EXPECT_EQ(efstool::ToLocalFolder("ui/admin"), "ui\\admin");
  EXPECT_EQ(efstool::ToLocalFolder("db"), "db");
  EXPECT_EQ(efstool::ToLocalFolder("a/b/c"), "a\\b/c");
}

TEST_F(WriteSetsTest, FolderListCreatesThenWritesOneLevelDeep) {
  MakeLocalFile("ui\\admin\\index.htm");
  MakeLocalFile("ui\\admin\\img\\x.gif");
  MakeLocalFile("ui\\admin\\img\\deeper\\y.gif");
  efstool::ConnectDevice(Context());
  EXPECT_FALSE(efstool::WriteEFS_VEXA(Context()));  // most local folders are missing
  EXPECT_EQ(Fake().CallsStartingWith("MkDir "), (std::vector<std::string>{"ui", "ui/admin"}));
  EXPECT_EQ(Fake().CallsStartingWith("Write "),
            std::vector<std::string>{"ui\\admin\\index.htm>ui/admin/index.htm"});
  EXPECT_NE(console_.printed.find("\n Not Found file .\n Not Found file ..\n Not Found file img"
                                  "\n Found file index.htm\nVODE_EfsWrite(index.htm): PASS"),
            std::string::npos);
  const std::string log = Log();
  EXPECT_NE(log.find("===== WriteEFS_VEXA + ===== \nFind file in directory: FAIL, db\\*.*\n"
                     "\nEFS Create Folder: PASS, ui\n\nEFS Create Folder: PASS, ui/admin\n"
                     "VODE_EfsWrite: PASS, ui/admin/index.htm\n"
                     "Find file in directory: FAIL, ui\\app_game\\*.*\n"),
            std::string::npos);
  EXPECT_EQ(log.find("x.gif"), std::string::npos);
}

TEST_F(WriteSetsTest, RefusedFolderStillGetsItsFiles) {
  MakeLocalFile("apps\\a.bin");
  MakeLocalFile("apps\\b.bin");
  Fake().refused_mkdirs = {"apps"};
  Fake().refused_writes = {"apps/a.bin"};
  efstool::ConnectDevice(Context());
  EXPECT_FALSE(efstool::WriteAppsEFS(Context()));
  EXPECT_EQ(Fake().CallsStartingWith("Write ").size(), 2u);
  EXPECT_NE(console_.printed.find("\nEFS Create Folder apps: FAIL\n"), std::string::npos);
  EXPECT_NE(Log().find("\nEFS Create Folder: FAIL, apps\nVODE_EfsWrite: FAIL, apps/a.bin\n"
                       "VODE_EfsWrite: PASS, apps/b.bin\n"),
            std::string::npos);
  EXPECT_NE(console_.printed.find("\nVODE_EfsWrite(a.bin): FAIL"), std::string::npos);
}

TEST_F(WriteSetsTest, EmptyLocalFolderIsCreatedAndPasses) {
  MakeLocalFolder("MTU");
  efstool::ConnectDevice(Context());
  EXPECT_TRUE(efstool::WriteMTU(Context()));
  EXPECT_EQ(Fake().CallsStartingWith("MkDir "),
            (std::vector<std::string>{"nv/item_files/data", "nv/item_files/data/3gpp"}));
  EXPECT_TRUE(Fake().CallsStartingWith("Write ").empty());
}

TEST_F(WriteSetsTest, MissingFixedTargetFolderCreatesNothing) {
  efstool::ConnectDevice(Context());
  EXPECT_FALSE(efstool::WriteACQDB(Context()));
  EXPECT_FALSE(efstool::WriteFGI(Context()));
  EXPECT_TRUE(Fake().CallsStartingWith("MkDir ").empty());
  EXPECT_EQ(Log().substr(Log().find("===== WriteACQDB + ")),
            "===== WriteACQDB + ===== \nFind file in directory: FAIL, ACQDB\\*.*\n"
            "===== WriteACQDB - ===== \n===== WriteFGI + ===== \n"
            "Find file in directory: FAIL, FGI\\*.*\n===== WriteFGI - ===== \n");
}

TEST_F(WriteSetsTest, FixedTargetsGetTheirChainAndFullPaths) {
  MakeLocalFile("ACQDB\\acq.db");
  MakeLocalFile("FGI\\fgi.bin");
  MakeLocalFile("SMS\\sms.cfg");
  MakeLocalFile("UE_USAGE\\usage.cfg");
  MakeLocalFile("EFS_SD\\rat_acq_order");
  Fake().refused_mkdirs = {"nv/reg_files/modem"};
  efstool::ConnectDevice(Context());
  EXPECT_FALSE(efstool::WriteACQDB(Context()));
  EXPECT_TRUE(efstool::WriteFGI(Context()));
  EXPECT_TRUE(efstool::WriteSMS(Context()));
  EXPECT_TRUE(efstool::WriteUE_USAGE(Context()));
  EXPECT_TRUE(efstool::WritePhoneEFS(Context()));
  EXPECT_EQ(
      Fake().CallsStartingWith("MkDir "),
      (std::vector<std::string>{"nv/reg_files", "nv/reg_files/modem", "nv/reg_files/modem/lte",
                                "nv/reg_files/modem/lte/rrc", "nv/reg_files/modem/lte/rrc/csp",
                                "nv/item_files/modem/lte", "nv/item_files/modem/lte/rrc",
                                "nv/item_files/modem/lte/rrc/cap"}));
  EXPECT_EQ(Fake().CallsStartingWith("Write "),
            (std::vector<std::string>{"ACQDB\\acq.db>nv/reg_files/modem/lte/rrc/csp/acq.db",
                                      "FGI\\fgi.bin>nv/item_files/modem/lte/rrc/cap/fgi.bin",
                                      "SMS\\sms.cfg>/nv/item_files/modem/mmode/sms.cfg",
                                      "UE_USAGE\\usage.cfg>/nv/item_files/modem/mmode/usage.cfg",
                                      "EFS_SD\\rat_acq_order>sd/rat_acq_order"}));
  EXPECT_NE(console_.printed.find("\nVODE_EfsWrite(sd/rat_acq_order): PASS"), std::string::npos);
}

TEST_F(WriteSetsTest, DevicePathsNoListingReturnsAreRefusedWithTheirReason) {
  // A listing returns at most 131 characters: "apps/" and 126 more, the mmode folder without its
  // leading slash and 105 more.
  const std::string fits(126, 'f');
  const std::string too_long(127, 'g');
  MakeLocalFile("apps\\" + fits);
  MakeLocalFile("apps\\" + too_long);
  MakeLocalFile("SMS\\" + std::string(105, 's'));
  MakeLocalFile("SMS\\" + std::string(106, 't'));
  efstool::ConnectDevice(Context());
  EXPECT_FALSE(efstool::WriteAppsEFS(Context()));
  EXPECT_FALSE(efstool::WriteSMS(Context()));
  const std::string sms_fits = "/nv/item_files/modem/mmode/" + std::string(105, 's');
  EXPECT_EQ(Fake().CallsStartingWith("Write "),
            (std::vector<std::string>{"apps\\" + fits + ">apps/" + fits,
                                      "SMS\\" + std::string(105, 's') + ">" + sms_fits}));
  EXPECT_NE(Log().find("EFS path longer than 131 characters, no listing could return it: apps/" +
                       too_long + "\nVODE_EfsWrite: FAIL, apps/" + too_long + "\n"),
            std::string::npos);
  EXPECT_NE(console_.printed.find("\nVODE_EfsWrite(" + too_long + "): FAIL"), std::string::npos);
  EXPECT_NE(Log().find("VODE_EfsWrite: FAIL, /nv/item_files/modem/mmode/" + std::string(106, 't')),
            std::string::npos);
}

TEST_F(WriteSetsTest, FileThatChangesWhileSentFails) {
  MakeLocalFile("FGI\\grows.bin", std::string(512, 'a'));
  MakeLocalFile("FGI\\steady.bin", std::string(512, 'b'));
  Fake().on_write = [](const std::string& local) {
    if (local.find("grows") != std::string::npos)
      std::ofstream("FGI/grows.bin", std::ios::app) << "more";
  };
  efstool::ConnectDevice(Context());
  EXPECT_FALSE(efstool::WriteFGI(Context()));
  const std::string log = Log();
  EXPECT_NE(log.find("Local file changed while it was sent: FGI\\grows.bin\n"
                     "VODE_EfsWrite: FAIL, nv/item_files/modem/lte/rrc/cap/grows.bin\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("VODE_EfsWrite: PASS, nv/item_files/modem/lte/rrc/cap/steady.bin\n"),
            std::string::npos);
}

TEST_F(WriteSetsTest, NameHoldingABackslashIsRefusedNotTakenApart) {
  MakeLocalFile("FGI\\fgi", "bytes of another folder");
  MakeLocalFolder("SMS");
  std::ofstream("SMS/..\\FGI\\fgi") << "own bytes";  // one name on Linux
  MakeLocalFile("SMS\\sms.cfg");
  efstool::ConnectDevice(Context());
  EXPECT_FALSE(efstool::WriteSMS(Context()));
  EXPECT_EQ(Fake().CallsStartingWith("Write "),
            std::vector<std::string>{"SMS\\sms.cfg>/nv/item_files/modem/mmode/sms.cfg"});
  EXPECT_NE(Log().find("VODE_EfsWrite: FAIL, /nv/item_files/modem/mmode/..\\FGI\\fgi\n"),
            std::string::npos);
  EXPECT_NE(console_.printed.find("\nVODE_EfsWrite(..\\FGI\\fgi): FAIL"), std::string::npos);
}

TEST_F(WriteSetsTest, WithoutContextEveryWriteFails) {
  MakeLocalFile("apps\\a.bin");
  MakeLocalFile("EFS_SD\\rat_acq_order");
  Fake().connect_failures = -1;
  efstool::ConnectDevice(Context());
  EXPECT_FALSE(efstool::WriteAppsEFS(Context()));
  EXPECT_FALSE(efstool::WritePhoneEFS(Context()));
  EXPECT_NE(Log().find("\nEFS Create Folder: FAIL, apps\nVODE_EfsWrite: FAIL, apps/a.bin\n"),
            std::string::npos);
}

}  // namespace
}  // namespace efstool_test
