// The program entry: one optional word picks the mode, every step of that mode runs in a
// fixed order whatever the earlier results, and the verdict lands in a one-word result file.
#include <cstdarg>
#include <cstring>
#include <cwctype>

#include "efstool/active_tool.hpp"
#include "efstool/treesmith.hpp"
#include "platform/console.hpp"
#include "platform/files.hpp"
#include "platform/usb_slots.hpp"

namespace efstool {
namespace {

constexpr const char* kRunLog = "Kvx_treesmith.log";
constexpr const char* kRunResult = "Kvx_treesmith_Result.txt";
constexpr const char* kDeleteDlLog = "Kvx_treesmith_Delete_DL.log";
constexpr const char* kDeleteDlResult = "Kvx_treesmith_Delete_DL_Result.txt";

bool EqualsIgnoringCase(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != L'\0'; ++i) {
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) {
      return false;
    }
  }
  return i == a.size() && b[i] == L'\0';
}

bool FirstArgumentIs(const std::vector<std::wstring>& args, const wchar_t* word) {
  return !args.empty() && EqualsIgnoringCase(args[0], word);
}

class PlatformConsole final : public Console {
 public:
  PlatformConsole() { platform::KeepRunningWithoutConsole(); }
  void Write(const std::string& text) override { platform::ConsoleWrite(text); }
  bool KeyWaiting() override { return platform::KeyWaiting(); }
  void ReadKey() override { platform::ReadKey(); }
};

}  // namespace

Console& RealConsole() {
  static PlatformConsole console;
  return console;
}

Treesmith::Treesmith(const VodeApi& api, platform::Clock& clock, Console& console)
    : api_(api), clock_(clock), console_(console) {
  SetActiveTreesmith(this);
}

Treesmith::~Treesmith() {
  CloseOutput();
  SetActiveTreesmith(nullptr);
}

RunMode Treesmith::ModeFor(const std::vector<std::wstring>& args) {
  if (FirstArgumentIs(args, L"--VEXA")) return kRunModeVexa;
  if (FirstArgumentIs(args, L"--DeleteDLFile")) return kRunModeDeleteDlFile;
  return kRunModeKvx;
}

void Treesmith::OpenOutput(const std::string& name) {
  CloseOutput();
  output_ = std::make_unique<OutputFileHolder>();
  // A log that cannot be created leaves the holder empty and the run goes on without it.
  output_->stream = platform::OpenSharedStream(platform::NativePath(name), "w+");
}

void Treesmith::CloseOutput() {
  if (output_ && output_->stream) std::fclose(output_->stream);
  output_.reset();
}

void Treesmith::LogMessage(const char* format, ...) {
  char text[4096];
  std::memset(text, 0, sizeof text);
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (output_ && output_->stream) {
    std::fputs(text, output_->stream);
    std::fflush(output_->stream);
  }
}

void Treesmith::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = common::FormatV(format, args);
  va_end(args);
  console_.Write(text);
}

int Treesmith::Run(const std::vector<std::wstring>& args) {
  api_.UseClock(clock_);
  const bool delete_dl = FirstArgumentIs(args, L"--DeleteDLFile");
  const char* const result_file = delete_dl ? kDeleteDlResult : kRunResult;
  // Until this run has its own verdict there is none: a run that is killed or hangs must not
  // leave the previous device's PASS behind. One that cannot be removed would stand for this
  // device whatever happens to it, so no device is touched.
  const bool old_verdict_gone = platform::RemoveFile(result_file);
  OpenOutput(delete_dl ? kDeleteDlLog : kRunLog);
  LogMessage("treesmith version: 20120903 \n");
  if (!old_verdict_gone) {
    Print("\nResult file %s cannot be removed: no device is touched\n", result_file);
    LogMessage("Remove result file: FAIL, %s\n", result_file);
    CloseOutput();
    return kExitVerdictFile;
  }

  const RunMode mode = ModeFor(args);
  if (mode == kRunModeVexa) {
    LogMessage("IMAGE_SKU_VEXA \n");
  } else if (mode == kRunModeDeleteDlFile) {
    LogMessage("DeleteDLFile \n");
  } else {
    LogMessage("IMAGE_SKU_KVX \n");
  }
  // A pin that cannot name a slot hides every device; the log says so, or the run would read as
  // a device that never came.
  const platform::UsbPin pin = platform::ReadUsbPin();
  if (pin.state == platform::UsbPin::State::kRefused) {
    LogMessage("[Error] %s \n", pin.refusal.c_str());
  }

  bool verdict = true;
  if (!ConnectDevice()) verdict = false;
  EnterOfflineMode();
  if (mode == kRunModeKvx || mode == kRunModeVexa) {
    if (!ClearDeviceFolders(mode)) verdict = false;
    if (!ConnectDevice()) verdict = false;
    if (!UploadFolders(mode)) verdict = false;
  } else {
    // Without a context the delete fails by itself, so the first connection need not count.
    verdict = DeleteDL_Processing();
  }

  DisconnectDevice();
  CloseOutput();

  if (!WriteResultFile(result_file, verdict)) {
    // Part of a verdict is no verdict.
    platform::RemoveFile(result_file);
    Print("\nResult file %s cannot be written: no verdict is left\n", result_file);
    return kExitVerdictFile;
  }
  return 0;
}

bool Treesmith::WriteResultFile(const char* name, bool verdict) {
  std::FILE* stream = platform::OpenSharedStream(platform::NativePath(name), "w+");
  if (stream == nullptr) return false;
  const char* text = verdict ? "PASS" : "FAIL";
  const bool written = std::fputs(text, stream) >= 0 && std::fflush(stream) == 0;
  // A full disk may refuse the bytes only when the file is closed.
  const bool closed = std::fclose(stream) == 0;
  return written && closed;
}

bool Treesmith::ClearDeviceFolders(RunMode mode) {
  // Every delete set runs, whatever the ones before it gave.
  bool cleared = DeleteEFS();
  DeletePhoneEFS();
  if (mode == kRunModeVexa) {
    if (!DeleteACQDB_pre()) cleared = false;
    if (!DeleteMTU()) cleared = false;
  } else {
    if (!DeleteSMS()) cleared = false;
    if (!DeleteUE_USAGE()) cleared = false;
  }
  if (!DeleteACQDB()) cleared = false;
  if (!DeleteFGI()) cleared = false;
  DisconnectDevice();
  return cleared;
}

bool Treesmith::UploadFolders(RunMode mode) {
  // Every write set runs, whatever the ones before it gave.
  bool verdict = WriteAppsEFS();
  if (!(mode == kRunModeKvx ? WriteEFS_generic() : WriteEFS_VEXA())) verdict = false;
  if (!WritePhoneEFS()) verdict = false;
  if (mode == kRunModeVexa) {
    if (!WriteMTU()) verdict = false;
  } else {
    if (!WriteSMS()) verdict = false;
    if (!WriteUE_USAGE()) verdict = false;
  }
  if (!WriteACQDB()) verdict = false;
  if (!WriteFGI()) verdict = false;
  return verdict;
}

int RunTreesmith(const std::vector<std::wstring>& args, platform::Clock& clock, Console& console,
                 const VodeApi& api) {
  Treesmith tool(api, clock, console);
  return tool.Run(args);
}

}  // namespace efstool
