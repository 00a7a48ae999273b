// treesmith: clears fixed folders of the device's embedded file system and uploads fixed local
// folder trees into it, leaving a one-word verdict in a result file.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/text_format.hpp"
#include "efstool/vode_api.hpp"
#include "platform/clock.hpp"
#include "platform/find_file.hpp"

namespace efstool {

// The console the steps print to and the key press that may end the wait for a phone.
class Console {
 public:
  virtual ~Console() = default;
  virtual void Write(const std::string& text) = 0;
  virtual bool KeyWaiting() = 0;
  virtual void ReadKey() = 0;
};
Console& RealConsole();

enum RunMode : int32_t { kRunModeKvx = 1, kRunModeVexa = 2, kRunModeDeleteDlFile = 10 };

// The previous result file cannot be removed (no device is touched), or this run's verdict
// cannot be written whole (nothing of it is left).
inline constexpr int kExitVerdictFile = 2;

// Windows' MAX_PATH: every local pattern, local file path and EFS path must fit, terminator
// included, or the file is refused instead of overflowing a fixed buffer downstream.
inline constexpr size_t kMaxPath = 260;

// Paths the directory handler keeps for the delete sets: files and links only.
struct FoundFiles {
  static constexpr int kSlots = 500;
  static constexpr size_t kSlotSize = 200;  // a path of at most 199 characters and its terminator
  std::vector<std::array<char, kSlotSize>> paths = std::vector<std::array<char, kSlotSize>>(kSlots);
  int32_t count = 0;
  int32_t listed = 0;  // files and links the listing reported, kept or not
};

// The longest path a folder listing returns (its record holds 131 characters): a file with a
// longer device path could never be found again to be deleted.
inline constexpr size_t kMaxListedPath = 131;

// What a list-and-delete left in a folder.
enum class FolderFiles { kNoneLeft, kNotListed, kSomeStayed };

// "ui/admin" becomes ui\admin; "db" stays db.
std::string ToLocalFolder(const std::string& efs_folder);

class Treesmith {
 public:
  Treesmith(const VodeApi& api, platform::Clock& clock, Console& console);
  ~Treesmith();
  Treesmith(const Treesmith&) = delete;
  Treesmith& operator=(const Treesmith&) = delete;

  // The whole run for the given arguments (only the first one is looked at); returns the exit
  // code: 0 with a verdict, kExitVerdictFile without one.
  int Run(const std::vector<std::wstring>& args);

  static RunMode ModeFor(const std::vector<std::wstring>& args);

  // Connection and reports.
  bool ConnectDevice();
  void PrintVersionReport();
  bool PrintPhoneStatus();
  void EnterOfflineMode();
  void DisconnectDevice();

  // Delete sets. Each folder set is true when no folder of it was left holding files.
  FolderFiles ListAndDeleteFiles(const char* folder);
  bool DeleteEFS();
  void DeletePhoneEFS();
  bool DeleteACQDB_pre();
  bool DeleteACQDB();
  bool DeleteFGI();
  bool DeleteMTU();
  bool DeleteSMS();
  bool DeleteUE_USAGE();
  bool DeleteDL_Processing();

  // Write sets.
  bool WriteEFS_generic();
  bool WriteEFS_VEXA();
  bool WriteAppsEFS();
  bool WriteACQDB();
  bool WriteFGI();
  bool WriteMTU();
  bool WriteSMS();
  bool WriteUE_USAGE();
  bool WritePhoneEFS();

  // Writes to the run log (or, at the end, the result file), flushed at once.
  void LogMessage(const char* format, ...) COMMON_PRINTF_FORMAT(2, 3);
  // Opens `name` ("w+", readable by others) as the file LogMessage writes to.
  void OpenOutput(const std::string& name);
  void CloseOutput();

  // The library's handlers. They reach the running tool through a process-wide pointer because
  // the library hands them only an integer context value.
  static bool OnEfs2Progress(const char* source, const char* destination, int operation,
                             int sub_option, int bytes_transferred, int file_size, int context);
  static bool OnEfs2DirEntry(const char* path, uint8_t type, uint16_t attribute_mask,
                             uint8_t buffer_option, uint8_t cleanup_option, int create_date,
                             int file_size, int context);
  static void OnTextLog(int record_size, const void* record, int context);
  static void OnAsyncMessage(uint16_t size, const uint8_t* bytes, int context);

  VODE_HANDLE handle() const { return handle_; }
  const FoundFiles& found_files() const { return found_; }
  const char* software_revision() const { return software_revision_.data(); }

 private:
  struct OutputFileHolder {
    std::FILE* stream = nullptr;
  };

  void Print(const char* format, ...) COMMON_PRINTF_FORMAT(2, 3);
  // PASS or FAIL, with no line end; false when it could not be written whole.
  static bool WriteResultFile(const char* name, bool verdict);
  // The two halves of an SKU run: the deletes (ending with the disconnection), the uploads.
  bool ClearDeviceFolders(RunMode mode);
  bool UploadFolders(RunMode mode);
  // Steps of the version report; each false ends the report early.
  bool ReportLibraryAndPort();
  bool WaitForPhone();
  bool ReportVersionNumber();
  void ReportBuildId();
  bool RemoveFolders(const char* name, const char* const* folders, size_t count);
  bool EmptyFolder(const char* name);
  bool ListFolder(const char* folder);
  bool FolderIsMissing(const std::string& folder);
  void ReportNotCleared(const char* folder, FolderFiles left);
  bool DeleteOneFile(const char* path);
  bool CreateFolder(const std::string& folder);
  bool WriteOneFile(const std::string& local_file, const std::string& name,
                    const std::string& efs_path);
  // VODE_EfsWrite, failed as well when the local file changed while it was sent.
  bool SendFile(const std::string& local_file, const std::string& efs_path);
  bool UploadFoundFiles(platform::FileSearch& search, platform::FoundFile entry,
                        const std::string& local_folder, const std::string& efs_prefix);
  bool UploadFolderList(const char* name, const char* const* folders, size_t count,
                        const char* fixed_local_folder);
  bool UploadFixedTarget(const char* name, const char* local_folder, const char* const* chain,
                         size_t chain_count, const char* efs_prefix);
  void FindFileFailed(const std::string& pattern);

  const VodeApi& api_;
  platform::Clock& clock_;
  Console& console_;
  std::unique_ptr<OutputFileHolder> output_;
  VODE_HANDLE handle_ = nullptr;
  FoundFiles found_;
  // While set, a listing only looks for this folder record (see FolderIsMissing).
  std::string missing_probe_;
  bool probe_found_ = false;
  std::array<char, 512> software_revision_{};
  std::array<char, 512> model_id_{};
};

// The program: the real library, the real clock and console unless tests hand in others.
int RunTreesmith(const std::vector<std::wstring>& args, platform::Clock& clock, Console& console,
                 const VodeApi& api = RealVodeApi());

}  // namespace efstool
