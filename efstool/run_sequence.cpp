// The program entry: one optional word picks the mode, every step of that mode runs in a
// fixed order whatever the earlier results, and the verdict lands in a one-word result file.
#include "efstool/treesmith.hpp"

#include <cstdio>
#include <cwctype>

#include "common/treesmith_contract.hpp"
#include "efstool/connection.hpp"
#include "efstool/delete_sets.hpp"
#include "efstool/write_sets.hpp"
#include "platform/files.hpp"
#include "platform/usb_slots.hpp"

namespace efstool {
namespace {

namespace contract = common::treesmith;

// `b` is one of the mode options, which are ASCII.
bool EqualsIgnoringCase(const std::wstring& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    const wint_t c = static_cast<unsigned char>(b[i]);
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(c)) return false;
  }
  return i == a.size() && b[i] == '\0';
}

bool FirstArgumentIs(const std::vector<std::wstring>& args, const char* word) {
  return !args.empty() && EqualsIgnoringCase(args[0], word);
}

void LogModeAndPin(RunLog& log, RunMode mode) {
  if (mode == kRunModeVexa) {
    log.Message("IMAGE_SKU_VEXA \n");
  } else if (mode == kRunModeDeleteDlFile) {
    log.Message("DeleteDLFile \n");
  } else {
    log.Message("IMAGE_SKU_KVX \n");
  }
  // A pin that cannot name a slot hides every device; the log says so, or the run would read as
  // a device that never came.
  const platform::UsbPin pin = platform::ReadUsbPin();
  if (pin.state == platform::UsbPin::State::kRefused) {
    log.Message("[Error] %s \n", pin.refusal.c_str());
  }
}

}  // namespace

Treesmith::Treesmith(const VodeApi& api, platform::Clock& clock, Console& console)
    : context_(api, clock, console) {}

RunMode Treesmith::ModeFor(const std::vector<std::wstring>& args) {
  if (FirstArgumentIs(args, contract::kVexaOption)) return kRunModeVexa;
  if (FirstArgumentIs(args, contract::kDeleteDlOption)) return kRunModeDeleteDlFile;
  return kRunModeKvx;
}

int Treesmith::Run(const std::vector<std::wstring>& args) {
  context_.api.UseClock(context_.clock);
  const bool delete_dl = FirstArgumentIs(args, contract::kDeleteDlOption);
  const contract::Files files = delete_dl ? contract::kDeleteDlFiles : contract::kProductFiles;
  const char* const result_file = files.result;
  // Until this run has its own verdict there is none: a run that is killed or hangs must not
  // leave the previous device's PASS behind. One that cannot be removed would stand for this
  // device whatever happens to it, so no device is touched.
  const bool old_verdict_gone = platform::RemoveFile(result_file);
  context_.log.Open(files.log);
  context_.log.Message("treesmith version: 20120903 \n");
  if (!old_verdict_gone) {
    context_.Print("\nResult file %s cannot be removed: no device is touched\n", result_file);
    context_.log.Message("Remove result file: FAIL, %s\n", result_file);
    context_.log.Close();
    return kExitVerdictFile;
  }

  const RunMode mode = ModeFor(args);
  LogModeAndPin(context_.log, mode);

  bool verdict = true;
  if (!ConnectDevice(context_)) verdict = false;
  EnterOfflineMode(context_);
  if (mode == kRunModeKvx || mode == kRunModeVexa) {
    if (!ClearDeviceFolders(mode)) verdict = false;
    if (!ConnectDevice(context_)) verdict = false;
    if (!UploadFolders(mode)) verdict = false;
  } else {
    // Without a context the delete fails by itself, so the first connection need not count.
    verdict = DeleteDL_Processing(context_);
  }

  DisconnectDevice(context_);
  context_.log.Close();

  if (!WriteResultFile(result_file, verdict)) {
    // Part of a verdict is no verdict.
    platform::RemoveFile(result_file);
    context_.Print("\nResult file %s cannot be written: no verdict is left\n", result_file);
    return kExitVerdictFile;
  }
  return 0;
}

bool Treesmith::WriteResultFile(const char* name, bool verdict) {
  std::FILE* stream = platform::OpenSharedStream(platform::NativePath(name), "w+");
  if (stream == nullptr) return false;
  const char* text = verdict ? contract::kPassVerdict : contract::kFailVerdict;
  const bool written = std::fputs(text, stream) >= 0 && std::fflush(stream) == 0;
  // A full disk may refuse the bytes only when the file is closed.
  const bool closed = std::fclose(stream) == 0;
  return written && closed;
}

bool Treesmith::ClearDeviceFolders(RunMode mode) {
  // Every delete set runs, whatever the ones before it gave.
  bool cleared = DeleteEFS(context_);
  DeletePhoneEFS(context_);
  if (mode == kRunModeVexa) {
    if (!DeleteACQDB_pre(context_)) cleared = false;
    if (!DeleteMTU(context_)) cleared = false;
  } else {
    if (!DeleteSMS(context_)) cleared = false;
    if (!DeleteUE_USAGE(context_)) cleared = false;
  }
  if (!DeleteACQDB(context_)) cleared = false;
  if (!DeleteFGI(context_)) cleared = false;
  DisconnectDevice(context_);
  return cleared;
}

bool Treesmith::UploadFolders(RunMode mode) {
  // Every write set runs, whatever the ones before it gave.
  bool verdict = WriteAppsEFS(context_);
  if (!(mode == kRunModeKvx ? WriteEFS_generic(context_) : WriteEFS_VEXA(context_)))
    verdict = false;
  if (!WritePhoneEFS(context_)) verdict = false;
  if (mode == kRunModeVexa) {
    if (!WriteMTU(context_)) verdict = false;
  } else {
    if (!WriteSMS(context_)) verdict = false;
    if (!WriteUE_USAGE(context_)) verdict = false;
  }
  if (!WriteACQDB(context_)) verdict = false;
  if (!WriteFGI(context_)) verdict = false;
  return verdict;
}

int RunTreesmith(const std::vector<std::wstring>& args, platform::Clock& clock, Console& console,
                 const VodeApi& api) {
  Treesmith tool(api, clock, console);
  return tool.Run(args);
}

}  // namespace efstool
