#include "efstool/write_sets.hpp"

#include <iterator>
#include <memory>

#include "platform/files.hpp"
#include "platform/find_file.hpp"

namespace efstool {
namespace {

// Windows' MAX_PATH: every local pattern, local file path and EFS path must fit, terminator
// included, or the file is refused instead of overflowing a fixed buffer downstream.
constexpr size_t kMaxPath = 260;

// The longest path a folder listing returns (its record holds 131 characters): a file with a
// longer device path could never be found again to be deleted.
constexpr size_t kMaxListedPath = 131;

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

void FindFileFailed(RunContext& context, const std::string& pattern) {
  context.log.Message("Find file in directory: FAIL, %s\n", pattern.c_str());
}

bool CreateFolder(RunContext& context, const std::string& folder) {
  if (context.api.EfsMkDir(context.handle, folder.c_str())) {
    context.Print("\nEFS Create Folder %s: PASS\n", folder.c_str());
    context.log.Message("\nEFS Create Folder: PASS, %s\n", folder.c_str());
    return true;
  }
  context.Print("\nEFS Create Folder %s: FAIL\n", folder.c_str());
  context.log.Message("\nEFS Create Folder: FAIL, %s\n", folder.c_str());
  return false;
}

bool SendFile(RunContext& context, const std::string& local_file, const std::string& efs_path) {
  platform::FileStamp before, after;
  if (!platform::LocalFileStamp(local_file, &before) ||
      !context.api.EfsWrite(context.handle, local_file.c_str(), efs_path.c_str())) {
    return false;
  }
  // The library sends the size it found at the start; a file that grew or was rewritten on
  // the way would land on the device cut short or mixed.
  if (!platform::LocalFileStamp(local_file, &after) || after != before) {
    context.log.Message("Local file changed while it was sent: %s\n", local_file.c_str());
    return false;
  }
  return true;
}

bool WriteOneFile(RunContext& context, const std::string& local_file, const std::string& name,
                  const std::string& efs_path) {
  context.Print("\n Found file %s", name.c_str());
  // A name that is no single name, or a path that would not fit the fixed path buffers, is
  // refused rather than taken apart or cut short, which would write the wrong file or to the
  // wrong place.
  bool written = false;
  if (!Listable(efs_path)) {
    context.log.Message("EFS path longer than %d characters, no listing could return it: %s\n",
                        static_cast<int>(kMaxListedPath), efs_path.c_str());
  } else {
    written = IsOneName(name) && FitsPath(local_file) && SendFile(context, local_file, efs_path);
  }
  context.Print("\nVODE_EfsWrite(%s): %s", name.c_str(), Verdict(written));
  context.log.Message("VODE_EfsWrite: %s, %s\n", Verdict(written), efs_path.c_str());
  return written;
}

bool IsFolder(const platform::FoundFile& entry) {
  return (entry.attributes & platform::kFileAttributeDirectory) != 0;
}

// Every file of `local_folder` written below `efs_prefix`, after the device folders `create`
// (the first `create_count` of them) were made; subfolders are passed over. Nothing is created
// for a local folder that cannot be searched. A folder that cannot be created still gets its
// files attempted, and a failed file does not stop the others.
bool UploadFolder(RunContext& context, const std::string& local_folder, const char* const* create,
                  size_t create_count, const std::string& efs_prefix) {
  const std::string pattern = SearchPattern(local_folder);
  platform::FoundFile entry;
  std::unique_ptr<platform::FileSearch> search = platform::FindFirstFile(pattern, &entry);
  if (!search) {
    FindFileFailed(context, pattern);
    return false;
  }
  bool result = true;
  for (size_t i = 0; i < create_count; ++i) {
    if (!CreateFolder(context, create[i])) result = false;
  }
  do {
    if (IsFolder(entry)) {
      context.Print("\n Not Found file %s", entry.name.c_str());
      continue;
    }
    if (!WriteOneFile(context, local_folder + "\\" + entry.name, entry.name,
                      efs_prefix + entry.name)) {
      result = false;
    }
  } while (search->Next(&entry));
  return result;
}

// Each device folder from the local folder of the same name, or from `fixed_local_folder`.
bool UploadFolderList(RunContext& context, const char* name, const char* const* folders,
                      size_t count, const char* fixed_local_folder) {
  bool result = true;
  context.log.Message("===== %s + ===== \n", name);
  for (size_t i = 0; i < count; ++i) {
    const std::string efs_folder = folders[i];
    const std::string local_folder =
        fixed_local_folder != nullptr ? fixed_local_folder : ToLocalFolder(efs_folder);
    if (!UploadFolder(context, local_folder, &folders[i], 1, efs_folder + "/")) result = false;
  }
  context.log.Message("===== %s - ===== \n", name);
  return result;
}

// One local folder into one device folder, made with the folders above it (`chain`).
bool UploadFixedTarget(RunContext& context, const char* name, const char* local_folder,
                       const char* const* chain, size_t chain_count, const char* efs_prefix) {
  context.log.Message("===== %s + ===== \n", name);
  const bool result = UploadFolder(context, local_folder, chain, chain_count, efs_prefix);
  context.log.Message("===== %s - ===== \n", name);
  return result;
}

}  // namespace

std::string ToLocalFolder(const std::string& efs_folder) {
  std::string local = efs_folder;
  const size_t slash = local.find('/');
  if (slash != std::string::npos) local[slash] = '\\';
  return local;
}

bool WriteEFS_generic(RunContext& context) {
  return UploadFolderList(context, "WriteEFS_generic", kKvxFolders, std::size(kKvxFolders),
                          nullptr);
}

bool WriteEFS_VEXA(RunContext& context) {
  return UploadFolderList(context, "WriteEFS_VEXA", kVexaFolders, std::size(kVexaFolders), nullptr);
}

bool WriteAppsEFS(RunContext& context) {
  return UploadFolderList(context, "WriteAppsEFS", kAppsFolders, std::size(kAppsFolders), "apps");
}

bool WriteACQDB(RunContext& context) {
  return UploadFixedTarget(context, "WriteACQDB", "ACQDB", kAcqdbChain, std::size(kAcqdbChain),
                           "nv/reg_files/modem/lte/rrc/csp/");
}

bool WriteFGI(RunContext& context) {
  return UploadFixedTarget(context, "WriteFGI", "FGI", kFgiChain, std::size(kFgiChain),
                           "nv/item_files/modem/lte/rrc/cap/");
}

bool WriteMTU(RunContext& context) {
  return UploadFixedTarget(context, "WriteMTU", "MTU", kMtuChain, std::size(kMtuChain),
                           "nv/item_files/data/3gpp/");
}

// The mmode folder is only emptied by the delete sets, so it is there to write into.
bool WriteSMS(RunContext& context) {
  return UploadFixedTarget(context, "WriteSMS", "SMS", nullptr, 0, "/nv/item_files/modem/mmode/");
}

bool WriteUE_USAGE(RunContext& context) {
  return UploadFixedTarget(context, "WriteUE_USAGE", "UE_USAGE", nullptr, 0,
                           "/nv/item_files/modem/mmode/");
}

bool WritePhoneEFS(RunContext& context) {
  static const char kLocalFile[] = "EFS_SD\\rat_acq_order";
  static const char kEfsFile[] = "sd/rat_acq_order";
  context.log.Message("===== WritePhoneEFS + ===== \n");
  const bool written = SendFile(context, kLocalFile, kEfsFile);
  context.Print("\nVODE_EfsWrite(%s): %s", kEfsFile, Verdict(written));
  context.log.Message("VODE_EfsWrite: %s, %s\n", Verdict(written), kEfsFile);
  context.log.Message("===== WritePhoneEFS - ===== \n");
  return written;
}

}  // namespace efstool
