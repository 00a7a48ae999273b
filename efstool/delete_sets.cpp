// Clearing the places the write sets are about to fill. Every operation is reported; a single
// delete or removal does not change the verdict, but a folder left holding files does, and the
// download-marker delete is its mode's verdict. Each list is ordered so that subfolders go
// before the folder that holds them.
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

bool Treesmith::ListFolder(const char* folder) {
  Print("\nEFS directory of folder: '%s'\n", folder);
  found_.count = 0;
  found_.listed = 0;
  if (!api_.EfsDirectory(handle_, folder)) {
    Print("\nEFS DIR %s: FAIL\n", folder);
    LogMessage("EFS DIR: FAIL, %s\n", folder);
    return false;
  }
  Print("\nEFS DIR %s: PASS\n", folder);
  LogMessage("EFS DIR: PASS, %s\n", folder);
  Print("\n\n Found: %d files", found_.count);
  return true;
}

FolderFiles Treesmith::ListAndDeleteFiles(const char* folder) {
  // One listing keeps at most FoundFiles::kSlots paths, so a fuller folder takes more passes.
  int32_t listed_before = -1;
  for (;;) {
    if (!ListFolder(folder)) return FolderFiles::kNotListed;
    // A pass that removed nothing will not do better the next time.
    if (listed_before >= 0 && found_.listed >= listed_before) return FolderFiles::kSomeStayed;
    bool all_deleted = true;
    for (int32_t i = 0; i < found_.count; ++i) {
      const char* path = found_.paths[static_cast<size_t>(i)].data();
      const bool deleted = api_.EfsDelete(handle_, path);
      Print("\nVODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
      LogMessage("VODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
      if (!deleted) all_deleted = false;
    }
    // Every file the listing reported was kept and is gone: there is nothing to look for.
    if (all_deleted && found_.count == found_.listed) return FolderFiles::kNoneLeft;
    listed_before = found_.listed;
  }
}

bool Treesmith::FolderIsMissing(const std::string& folder) {
  // A failed listing does not say why; only the folder above can tell a folder that is not
  // there from one that cannot be listed.
  const size_t slash = folder.rfind('/');
  const std::string parent = slash == std::string::npos ? "" : folder.substr(0, slash);
  missing_probe_ = parent.empty() ? "/" + folder : folder;
  probe_found_ = false;
  const bool listed = api_.EfsDirectory(handle_, parent.c_str());
  missing_probe_.clear();
  if (listed) return !probe_found_;
  return !parent.empty() && FolderIsMissing(parent);
}

void Treesmith::ReportNotCleared(const char* folder, FolderFiles left) {
  Print("\nEFS Clear Folder %s: FAIL\n", folder);
  if (left == FolderFiles::kNotListed) {
    LogMessage("EFS Clear Folder: FAIL, %s, it cannot be listed\n", folder);
  } else {
    LogMessage("EFS Clear Folder: FAIL, %s, %d files stayed\n", folder, found_.listed);
  }
}

bool Treesmith::RemoveFolders(const char* name, const char* const* folders, size_t count) {
  bool cleared = true;
  LogMessage("===== %s + ===== \n", name);
  for (size_t i = 0; i < count; ++i) {
    const FolderFiles left = ListAndDeleteFiles(folders[i]);
    const bool removed = api_.EfsRmDir(handle_, folders[i]);
    Print("\nVODE_EfsRmDir: %s, %s\n", Verdict(removed), folders[i]);
    LogMessage("VODE_EfsRmDir: %s, %s\n\n", Verdict(removed), folders[i]);
    // A folder that is gone holds nothing, also when it was never there to be listed.
    if (!removed && left != FolderFiles::kNoneLeft) {
      ReportNotCleared(folders[i], left);
      cleared = false;
    }
  }
  LogMessage("===== %s - ===== \n", name);
  return cleared;
}

bool Treesmith::EmptyFolder(const char* name) {
  LogMessage("===== %s + ===== \n", name);
  const FolderFiles left = ListAndDeleteFiles(kMmodeFolder);
  const bool cleared = left == FolderFiles::kNoneLeft ||
                       (left == FolderFiles::kNotListed && FolderIsMissing(kMmodeFolder));
  if (!cleared) ReportNotCleared(kMmodeFolder, left);
  LogMessage("===== %s - ===== \n", name);
  return cleared;
}

bool Treesmith::DeleteOneFile(const char* path) {
  const bool deleted = api_.EfsDelete(handle_, path);
  Print("\nVODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
  LogMessage("VODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
  return deleted;
}

bool Treesmith::DeleteEFS() {
  return RemoveFolders("DeleteEFS", kEfsFolders, CountOf(kEfsFolders));
}

void Treesmith::DeletePhoneEFS() {
  LogMessage("===== DeletePhoneEFS + ===== \n");
  for (const char* file : kPhoneEfsFiles) DeleteOneFile(file);
  LogMessage("===== DeletePhoneEFS - ===== \n");
}

bool Treesmith::DeleteACQDB_pre() {
  return RemoveFolders("DeleteACQDB_pre", kAcqdbPreFolders, CountOf(kAcqdbPreFolders));
}

bool Treesmith::DeleteACQDB() {
  return RemoveFolders("DeleteACQDB", kAcqdbFolders, CountOf(kAcqdbFolders));
}

bool Treesmith::DeleteFGI() {
  return RemoveFolders("DeleteFGI", kFgiFolders, CountOf(kFgiFolders));
}

bool Treesmith::DeleteMTU() {
  return RemoveFolders("DeleteMTU", kMtuFolders, CountOf(kMtuFolders));
}

// Both empty the same folder; in a KVX run the second finds nothing left to delete.
bool Treesmith::DeleteSMS() { return EmptyFolder("DeleteSMS"); }

bool Treesmith::DeleteUE_USAGE() { return EmptyFolder("DeleteUE_USAGE"); }

bool Treesmith::DeleteDL_Processing() {
  LogMessage("===== DeleteDL_Processing + ===== \n");
  const bool deleted = DeleteOneFile(kDownloadMarker);
  LogMessage("===== DeleteDL_Processing - ===== \n");
  return deleted;
}

}  // namespace efstool
