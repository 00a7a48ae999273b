// Clearing the places the write sets are about to fill. Best effort: every operation is
// reported, none changes the verdict, except the download-marker delete, which is its mode's
// verdict. Each list is ordered so that subfolders go before the folder that holds them.
#include "efstool/treesmith.hpp"

namespace efstool {
namespace {

template <size_t N>
constexpr size_t CountOf(const char* const (&)[N]) {
  return N;
}

const char* const kEfsFolders[] = {
    "apps",          "db",         "ui/admin",  "ui/app_game", "ui/css_js",
    "ui/diagnostic", "ui/dynpage", "ui/image",  "ui/lang",     "ui/menu",
    "ui/security",   "ui/setup",   "ui/status", "ui/submenu",  "ui/wan",
    "ui/wireless",   "ui",         "var",       "data"};
const char* const kPhoneEfsFiles[] = {"sd/bst_tbl", "sd/rat_acq_order"};
const char* const kAcqdbPreFolders[] = {"nv/reg_files/modem/lte/cap", "nv/reg_files/modem/lte/csp",
                                        "nv/reg_files/modem/lte", "nv/reg_files/modem",
                                        "nv/reg_files"};
const char* const kAcqdbFolders[] = {"nv/reg_files/modem/lte/rrc/csp", "nv/reg_files/modem/lte/rrc",
                                     "nv/reg_files/modem/lte", "nv/reg_files/modem",
                                     "nv/reg_files"};
const char* const kFgiFolders[] = {"nv/item_files/modem/lte/rrc/cap", "nv/item_files/modem/lte/rrc",
                                   "nv/item_files/modem/lte"};
const char* const kMtuFolders[] = {"nv/item_files/data/3gpp", "nv/item_files/data"};
constexpr const char* kMmodeFolder = "nv/item_files/modem/mmode";
constexpr const char* kDownloadMarker = "/DL_Processing";

const char* Verdict(bool ok) { return ok ? "PASS" : "FAIL"; }

}  // namespace

void Treesmith::ListAndDeleteFiles(const char* folder) {
  Print("\nEFS directory of folder: '%s'\n", folder);
  found_.count = 0;
  if (!api_.EfsDirectory(handle_, folder)) {
    Print("\nEFS DIR %s: FAIL\n", folder);
    LogMessage("EFS DIR: FAIL, %s\n", folder);
    return;
  }
  Print("\nEFS DIR %s: PASS\n", folder);
  LogMessage("EFS DIR: PASS, %s\n", folder);
  Print("\n\n Found: %d files", found_.count);
  for (int32_t i = 0; i < found_.count; ++i) {
    const char* path = found_.paths[static_cast<size_t>(i)].data();
    const bool deleted = api_.EfsDelete(handle_, path);
    Print("\nVODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
    LogMessage("VODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
  }
}

void Treesmith::RemoveFolders(const char* name, const char* const* folders, size_t count) {
  LogMessage("===== %s + ===== \n", name);
  for (size_t i = 0; i < count; ++i) {
    ListAndDeleteFiles(folders[i]);
    const bool removed = api_.EfsRmDir(handle_, folders[i]);
    Print("\nVODE_EfsRmDir: %s, %s\n", Verdict(removed), folders[i]);
    LogMessage("VODE_EfsRmDir: %s, %s\n\n", Verdict(removed), folders[i]);
  }
  LogMessage("===== %s - ===== \n", name);
}

void Treesmith::EmptyFolder(const char* name) {
  LogMessage("===== %s + ===== \n", name);
  ListAndDeleteFiles(kMmodeFolder);
  LogMessage("===== %s - ===== \n", name);
}

bool Treesmith::DeleteOneFile(const char* path) {
  const bool deleted = api_.EfsDelete(handle_, path);
  Print("\nVODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
  LogMessage("VODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
  return deleted;
}

void Treesmith::DeleteEFS() { RemoveFolders("DeleteEFS", kEfsFolders, CountOf(kEfsFolders)); }

void Treesmith::DeletePhoneEFS() {
  LogMessage("===== DeletePhoneEFS + ===== \n");
  for (const char* file : kPhoneEfsFiles) DeleteOneFile(file);
  LogMessage("===== DeletePhoneEFS - ===== \n");
}

void Treesmith::DeleteACQDB_pre() {
  RemoveFolders("DeleteACQDB_pre", kAcqdbPreFolders, CountOf(kAcqdbPreFolders));
}

void Treesmith::DeleteACQDB() {
  RemoveFolders("DeleteACQDB", kAcqdbFolders, CountOf(kAcqdbFolders));
}

void Treesmith::DeleteFGI() { RemoveFolders("DeleteFGI", kFgiFolders, CountOf(kFgiFolders)); }

void Treesmith::DeleteMTU() { RemoveFolders("DeleteMTU", kMtuFolders, CountOf(kMtuFolders)); }

// Both empty the same folder; in a KVX run the second finds nothing left to delete.
void Treesmith::DeleteSMS() { EmptyFolder("DeleteSMS"); }

void Treesmith::DeleteUE_USAGE() { EmptyFolder("DeleteUE_USAGE"); }

bool Treesmith::DeleteDL_Processing() {
  LogMessage("===== DeleteDL_Processing + ===== \n");
  const bool deleted = DeleteOneFile(kDownloadMarker);
  LogMessage("===== DeleteDL_Processing - ===== \n");
  return deleted;
}

}  // namespace efstool
