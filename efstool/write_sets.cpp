// Copying the local upload folders into the device's file system, one level deep. Each set
// succeeds only if its local folder was found and every folder creation and file write it
// attempted succeeded.
#include "efstool/treesmith.hpp"
#include "platform/files.hpp"
#include "platform/find_file.hpp"

namespace efstool {
namespace {

template <size_t N>
constexpr size_t CountOf(const char* const (&)[N]) {
  return N;
}

const char* const kKvxFolders[] = {
    "db",         "ui",      "ui/admin",   "ui/app_game", "ui/css_js", "ui/diagnostic",
    "ui/image",   "ui/lang", "ui/menu",    "ui/security", "ui/setup",  "ui/status",
    "ui/submenu", "ui/wan",  "ui/wireless"};
const char* const kVexaFolders[] = {"db",        "ui",        "ui/admin",   "ui/app_game",
                                    "ui/css_js", "ui/image",  "ui/lang",    "ui/menu",
                                    "ui/setup",  "ui/status", "ui/wireless"};
const char* const kAppsFolders[] = {"apps"};
const char* const kAcqdbChain[] = {"nv/reg_files", "nv/reg_files/modem", "nv/reg_files/modem/lte",
                                   "nv/reg_files/modem/lte/rrc", "nv/reg_files/modem/lte/rrc/csp"};
const char* const kFgiChain[] = {"nv/item_files/modem/lte", "nv/item_files/modem/lte/rrc",
                                 "nv/item_files/modem/lte/rrc/cap"};
const char* const kMtuChain[] = {"nv/item_files/data", "nv/item_files/data/3gpp"};

const char* Verdict(bool ok) { return ok ? "PASS" : "FAIL"; }

bool FitsPath(const std::string& path) { return path.size() < kMaxPath; }

// The delete sets list folders by paths without a leading slash.
bool Listable(const std::string& efs_path) {
  const size_t leading = !efs_path.empty() && efs_path[0] == '/' ? 1 : 0;
  return efs_path.size() - leading <= kMaxListedPath;
}

// A listed name is one name. Where a name may hold the tool's separator (a Linux file called
// ..\FGI\fgi), the local path built from it would name another file, and Windows could not
// name it at all.
bool IsOneName(const std::string& name) { return name.find('\\') == std::string::npos; }

std::string SearchPattern(const std::string& local_folder) { return local_folder + "\\*.*"; }

}  // namespace

std::string ToLocalFolder(const std::string& efs_folder) {
  std::string local = efs_folder;
  const size_t slash = local.find('/');
  if (slash != std::string::npos) local[slash] = '\\';
  return local;
}

void Treesmith::FindFileFailed(const std::string& pattern) {
  LogMessage("Find file in directory: FAIL, %s\n", pattern.c_str());
}

bool Treesmith::CreateFolder(const std::string& folder) {
  if (api_.EfsMkDir(handle_, folder.c_str())) {
    Print("\nEFS Create Folder %s: PASS\n", folder.c_str());
    LogMessage("\nEFS Create Folder: PASS, %s\n", folder.c_str());
    return true;
  }
  Print("\nEFS Create Folder %s: FAIL\n", folder.c_str());
  LogMessage("\nEFS Create Folder: FAIL, %s\n", folder.c_str());
  return false;
}

bool Treesmith::SendFile(const std::string& local_file, const std::string& efs_path) {
  platform::FileStamp before, after;
  if (!platform::LocalFileStamp(local_file, &before) ||
      !api_.EfsWrite(handle_, local_file.c_str(), efs_path.c_str())) {
    return false;
  }
  // The library sends the size it found at the start; a file that grew or was rewritten on
  // the way would land on the device cut short or mixed.
  if (!platform::LocalFileStamp(local_file, &after) || after != before) {
    LogMessage("Local file changed while it was sent: %s\n", local_file.c_str());
    return false;
  }
  return true;
}

bool Treesmith::WriteOneFile(const std::string& local_file, const std::string& name,
                             const std::string& efs_path) {
  Print("\n Found file %s", name.c_str());
  // A name that is no single name, or a path that would not fit the fixed path buffers, is
  // refused rather than taken apart or cut short, which would write the wrong file or to the
  // wrong place.
  bool written = false;
  if (!Listable(efs_path)) {
    LogMessage("EFS path longer than %d characters, no listing could return it: %s\n",
               static_cast<int>(kMaxListedPath), efs_path.c_str());
  } else {
    written = IsOneName(name) && FitsPath(local_file) && SendFile(local_file, efs_path);
  }
  Print("\nVODE_EfsWrite(%s): %s", name.c_str(), Verdict(written));
  LogMessage("VODE_EfsWrite: %s, %s\n", Verdict(written), efs_path.c_str());
  return written;
}

namespace {

bool IsFolder(const platform::FoundFile& entry) {
  return (entry.attributes & platform::kFileAttributeDirectory) != 0;
}

}  // namespace

// Every file the search finds, from `entry` on, written below `efs_prefix`; folders are passed
// over. A failed file does not stop the others.
bool Treesmith::UploadFoundFiles(platform::FileSearch& search, platform::FoundFile entry,
                                 const std::string& local_folder, const std::string& efs_prefix) {
  bool result = true;
  do {
    if (IsFolder(entry)) {
      Print("\n Not Found file %s", entry.name.c_str());
      continue;
    }
    if (!WriteOneFile(local_folder + "\\" + entry.name, entry.name, efs_prefix + entry.name)) {
      result = false;
    }
  } while (search.Next(&entry));
  return result;
}

bool Treesmith::UploadFolderList(const char* name, const char* const* folders, size_t count,
                                 const char* fixed_local_folder) {
  bool result = true;
  LogMessage("===== %s + ===== \n", name);
  for (size_t i = 0; i < count; ++i) {
    const std::string efs_folder = folders[i];
    const std::string local_folder =
        fixed_local_folder != nullptr ? fixed_local_folder : ToLocalFolder(efs_folder);
    const std::string pattern = SearchPattern(local_folder);
    platform::FoundFile entry;
    std::unique_ptr<platform::FileSearch> search = platform::FindFirstFile(pattern, &entry);
    if (!search) {
      FindFileFailed(pattern);
      result = false;
      continue;
    }
    // A folder that cannot be created still gets its files attempted.
    if (!CreateFolder(efs_folder)) result = false;
    if (!UploadFoundFiles(*search, entry, local_folder, efs_folder + "/")) result = false;
  }
  LogMessage("===== %s - ===== \n", name);
  return result;
}

bool Treesmith::UploadFixedTarget(const char* name, const char* local_folder,
                                  const char* const* chain, size_t chain_count,
                                  const char* efs_prefix) {
  bool result = true;
  LogMessage("===== %s + ===== \n", name);
  const std::string pattern = SearchPattern(local_folder);
  platform::FoundFile entry;
  std::unique_ptr<platform::FileSearch> search = platform::FindFirstFile(pattern, &entry);
  if (!search) {
    // Nothing is created for a set that has nothing to upload.
    FindFileFailed(pattern);
    result = false;
  } else {
    for (size_t i = 0; i < chain_count; ++i) {
      if (!CreateFolder(chain[i])) result = false;
    }
    if (!UploadFoundFiles(*search, entry, local_folder, efs_prefix)) result = false;
  }
  LogMessage("===== %s - ===== \n", name);
  return result;
}

bool Treesmith::WriteEFS_generic() {
  return UploadFolderList("WriteEFS_generic", kKvxFolders, CountOf(kKvxFolders), nullptr);
}

bool Treesmith::WriteEFS_VEXA() {
  return UploadFolderList("WriteEFS_VEXA", kVexaFolders, CountOf(kVexaFolders), nullptr);
}

bool Treesmith::WriteAppsEFS() {
  return UploadFolderList("WriteAppsEFS", kAppsFolders, CountOf(kAppsFolders), "apps");
}

bool Treesmith::WriteACQDB() {
  return UploadFixedTarget("WriteACQDB", "ACQDB", kAcqdbChain, CountOf(kAcqdbChain),
                           "nv/reg_files/modem/lte/rrc/csp/");
}

bool Treesmith::WriteFGI() {
  return UploadFixedTarget("WriteFGI", "FGI", kFgiChain, CountOf(kFgiChain),
                           "nv/item_files/modem/lte/rrc/cap/");
}

bool Treesmith::WriteMTU() {
  return UploadFixedTarget("WriteMTU", "MTU", kMtuChain, CountOf(kMtuChain),
                           "nv/item_files/data/3gpp/");
}

// The mmode folder is only emptied by the delete sets, so it is there to write into.
bool Treesmith::WriteSMS() {
  return UploadFixedTarget("WriteSMS", "SMS", nullptr, 0, "/nv/item_files/modem/mmode/");
}

bool Treesmith::WriteUE_USAGE() {
  return UploadFixedTarget("WriteUE_USAGE", "UE_USAGE", nullptr, 0, "/nv/item_files/modem/mmode/");
}

bool Treesmith::WritePhoneEFS() {
  static const char kLocalFile[] = "EFS_SD\\rat_acq_order";
  static const char kEfsFile[] = "sd/rat_acq_order";
  LogMessage("===== WritePhoneEFS + ===== \n");
  const bool written = SendFile(kLocalFile, kEfsFile);
  Print("\nVODE_EfsWrite(%s): %s", kEfsFile, Verdict(written));
  LogMessage("VODE_EfsWrite: %s, %s\n", Verdict(written), kEfsFile);
  LogMessage("===== WritePhoneEFS - ===== \n");
  return written;
}

}  // namespace efstool
