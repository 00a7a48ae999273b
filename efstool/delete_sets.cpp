// Clearing the places the write sets are about to fill. Every operation is reported; a single
// file delete does not change the verdict, but a folder left holding files, or a folder that
// stays where it should have gone, does, and the download-marker delete is its mode's verdict.
// Each list is ordered so that subfolders go before the folder that holds them; a folder that
// is removed takes along what is below it that no list names (an older firmware's layout).
#include "efstool/delete_sets.hpp"

#include <iterator>
#include <string>
#include <vector>

namespace efstool {
namespace {

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
// Levels below a listed folder that its removal clears; a folder deeper down stays, and so does
// every folder above it, each reported.
constexpr int kDeepestBelow = 8;

const char* Verdict(bool ok) { return ok ? "PASS" : "FAIL"; }

bool ListFolder(RunContext& context, const char* folder) {
  context.Print("\nEFS directory of folder: '%s'\n", folder);
  context.found.count = 0;
  context.found.listed = 0;
  context.found.folder_count = 0;
  if (!context.api.EfsDirectory(context.handle, folder)) {
    context.Print("\nEFS DIR %s: FAIL\n", folder);
    context.log.Message("EFS DIR: FAIL, %s\n", folder);
    return false;
  }
  context.Print("\nEFS DIR %s: PASS\n", folder);
  context.log.Message("EFS DIR: PASS, %s\n", folder);
  context.Print("\n\n Found: %d files", context.found.count);
  return true;
}

bool FolderIsMissing(RunContext& context, const std::string& folder) {
  // A failed listing does not say why; only the folder above can tell a folder that is not
  // there from one that cannot be listed.
  const size_t slash = folder.rfind('/');
  const std::string parent = slash == std::string::npos ? "" : folder.substr(0, slash);
  context.missing_probe = parent.empty() ? "/" + folder : folder;
  context.probe_found = false;
  const bool listed = context.api.EfsDirectory(context.handle, parent.c_str());
  context.missing_probe.clear();
  if (listed) return !context.probe_found;
  return !parent.empty() && FolderIsMissing(context, parent);
}

// What a folder still held after it was cleared: its files as the last listing left them, and
// the first folder below it that stayed.
struct Remains {
  FolderFiles files = FolderFiles::kNoneLeft;
  int32_t files_listed = 0;
  std::string folder;
};

void ReportNotCleared(RunContext& context, const char* folder, const Remains& left) {
  context.Print("\nEFS Clear Folder %s: FAIL\n", folder);
  if (left.files == FolderFiles::kNotListed) {
    context.log.Message("EFS Clear Folder: FAIL, %s, it cannot be listed\n", folder);
  } else if (left.files == FolderFiles::kSomeStayed) {
    context.log.Message("EFS Clear Folder: FAIL, %s, %d files stayed\n", folder, left.files_listed);
  } else if (!left.folder.empty()) {
    context.log.Message("EFS Clear Folder: FAIL, %s, folder %s stayed\n", folder,
                        left.folder.c_str());
  } else {
    context.log.Message("EFS Clear Folder: FAIL, %s, the folder itself stayed\n", folder);
  }
}

// Removes `folder` with what is below it, deepest first; true when it is gone. A folder that is
// gone holds nothing, also when it was never there to be listed, and a removal whose answer went
// astray may have removed it all the same: only a folder that is still there stays.
bool RemoveTree(RunContext& context, const std::string& folder, int depth) {
  Remains left;
  left.files = ListAndDeleteFiles(context, folder.c_str());
  left.files_listed = context.found.listed;
  // The next listing reuses the table.
  std::vector<std::string> below;
  for (int32_t i = 0; i < context.found.folder_count; ++i)
    below.emplace_back(context.found.folders[static_cast<size_t>(i)].data());
  for (const std::string& subfolder : below) {
    const bool gone = depth < kDeepestBelow && RemoveTree(context, subfolder, depth + 1);
    if (!gone && left.folder.empty()) left.folder = subfolder;
  }
  const bool removed = context.api.EfsRmDir(context.handle, folder.c_str());
  context.Print("\nVODE_EfsRmDir: %s, %s\n", Verdict(removed), folder.c_str());
  context.log.Message("VODE_EfsRmDir: %s, %s\n\n", Verdict(removed), folder.c_str());
  if (removed || FolderIsMissing(context, folder)) return true;
  ReportNotCleared(context, folder.c_str(), left);
  return false;
}

bool RemoveFolders(RunContext& context, const char* name, const char* const* folders,
                   size_t count) {
  bool cleared = true;
  context.log.StepOpens(name);
  for (size_t i = 0; i < count; ++i) {
    if (!RemoveTree(context, folders[i], 0)) cleared = false;
  }
  context.log.StepCloses(name);
  return cleared;
}

bool EmptyFolder(RunContext& context, const char* name) {
  context.log.StepOpens(name);
  Remains left;
  left.files = ListAndDeleteFiles(context, kMmodeFolder);
  left.files_listed = context.found.listed;
  const bool cleared =
      left.files == FolderFiles::kNoneLeft ||
      (left.files == FolderFiles::kNotListed && FolderIsMissing(context, kMmodeFolder));
  if (!cleared) ReportNotCleared(context, kMmodeFolder, left);
  context.log.StepCloses(name);
  return cleared;
}

bool DeleteOneFile(RunContext& context, const char* path) {
  const bool deleted = context.api.EfsDelete(context.handle, path);
  context.Print("\nVODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
  context.log.Message("VODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
  return deleted;
}

}  // namespace

FolderFiles ListAndDeleteFiles(RunContext& context, const char* folder) {
  // One listing keeps at most FoundFiles::kSlots paths, so a fuller folder takes more passes.
  int32_t listed_before = -1;
  for (;;) {
    if (!ListFolder(context, folder)) return FolderFiles::kNotListed;
    // A pass that removed nothing will not do better the next time.
    if (listed_before >= 0 && context.found.listed >= listed_before)
      return FolderFiles::kSomeStayed;
    bool all_deleted = true;
    for (int32_t i = 0; i < context.found.count; ++i) {
      const char* path = context.found.paths[static_cast<size_t>(i)].data();
      const bool deleted = context.api.EfsDelete(context.handle, path);
      context.Print("\nVODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
      context.log.Message("VODE_EfsDelete: %s, %s\n", Verdict(deleted), path);
      if (!deleted) all_deleted = false;
    }
    // Every file the listing reported was kept and is gone: there is nothing to look for.
    if (all_deleted && context.found.count == context.found.listed) return FolderFiles::kNoneLeft;
    listed_before = context.found.listed;
  }
}

bool DeleteEFS(RunContext& context) {
  return RemoveFolders(context, "DeleteEFS", kEfsFolders, std::size(kEfsFolders));
}

void DeletePhoneEFS(RunContext& context) {
  context.log.StepOpens("DeletePhoneEFS");
  for (const char* file : kPhoneEfsFiles) DeleteOneFile(context, file);
  context.log.StepCloses("DeletePhoneEFS");
}

bool DeleteACQDB_pre(RunContext& context) {
  return RemoveFolders(context, "DeleteACQDB_pre", kAcqdbPreFolders, std::size(kAcqdbPreFolders));
}

bool DeleteACQDB(RunContext& context) {
  return RemoveFolders(context, "DeleteACQDB", kAcqdbFolders, std::size(kAcqdbFolders));
}

bool DeleteFGI(RunContext& context) {
  return RemoveFolders(context, "DeleteFGI", kFgiFolders, std::size(kFgiFolders));
}

bool DeleteMTU(RunContext& context) {
  return RemoveFolders(context, "DeleteMTU", kMtuFolders, std::size(kMtuFolders));
}

// Both empty the same folder; in a KVX run the second finds nothing left to delete.
bool DeleteSMS(RunContext& context) { return EmptyFolder(context, "DeleteSMS"); }

bool DeleteUE_USAGE(RunContext& context) { return EmptyFolder(context, "DeleteUE_USAGE"); }

bool DeleteDL_Processing(RunContext& context) {
  context.log.StepOpens("DeleteDL_Processing");
  const bool deleted = DeleteOneFile(context, kDownloadMarker);
  context.log.StepCloses("DeleteDL_Processing");
  return deleted;
}

}  // namespace efstool
