#include "efstool/write_sets.hpp"

#include <iterator>
#include <memory>

#include "common/treesmith_contract.hpp"
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

namespace contract = common::treesmith;

const char* const kAppsFolders[] = {contract::kAppsFolder};
// The device folders above each fixed target, made first, the target last.
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
  context.log.StepOpens(name);
  for (size_t i = 0; i < count; ++i) {
    const std::string efs_folder = folders[i];
    const std::string local_folder =
        fixed_local_folder != nullptr ? fixed_local_folder : ToLocalFolder(efs_folder);
    if (!UploadFolder(context, local_folder, &folders[i], 1, efs_folder + "/")) result = false;
  }
  context.log.StepCloses(name);
  return result;
}

// One local folder into one device folder, made with the folders above it (`chain`).
bool UploadFixedTarget(RunContext& context, const char* name, const contract::FixedUpload& upload,
                       const char* const* chain, size_t chain_count) {
  context.log.StepOpens(name);
  const bool result = UploadFolder(context, upload.local, chain, chain_count, upload.device);
  context.log.StepCloses(name);
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
  return UploadFolderList(context, "WriteEFS_generic", contract::kKvxWebFolders,
                          std::size(contract::kKvxWebFolders), nullptr);
}

bool WriteEFS_VEXA(RunContext& context) {
  return UploadFolderList(context, "WriteEFS_VEXA", contract::kVexaWebFolders,
                          std::size(contract::kVexaWebFolders), nullptr);
}

bool WriteAppsEFS(RunContext& context) {
  return UploadFolderList(context, "WriteAppsEFS", kAppsFolders, std::size(kAppsFolders),
                          contract::kAppsFolder);
}

bool WriteACQDB(RunContext& context) {
  return UploadFixedTarget(context, "WriteACQDB", contract::kAcqdb, kAcqdbChain,
                           std::size(kAcqdbChain));
}

bool WriteFGI(RunContext& context) {
  return UploadFixedTarget(context, "WriteFGI", contract::kFgi, kFgiChain, std::size(kFgiChain));
}

bool WriteMTU(RunContext& context) {
  return UploadFixedTarget(context, "WriteMTU", contract::kMtu, kMtuChain, std::size(kMtuChain));
}

// The mmode folder is only emptied by the delete sets, so it is there to write into.
bool WriteSMS(RunContext& context) {
  return UploadFixedTarget(context, "WriteSMS", contract::kSms, nullptr, 0);
}

bool WriteUE_USAGE(RunContext& context) {
  return UploadFixedTarget(context, "WriteUE_USAGE", contract::kUeUsage, nullptr, 0);
}

bool WritePhoneEFS(RunContext& context) {
  const char* const kLocalFile = contract::kPhoneFile.local;
  const char* const kEfsFile = contract::kPhoneFile.device;
  context.log.StepOpens("WritePhoneEFS");
  const bool written = SendFile(context, kLocalFile, kEfsFile);
  context.Print("\nVODE_EfsWrite(%s): %s", kEfsFile, Verdict(written));
  context.log.Message("VODE_EfsWrite: %s, %s\n", Verdict(written), kEfsFile);
  context.log.StepCloses("WritePhoneEFS");
  return written;
}

}  // namespace efstool
