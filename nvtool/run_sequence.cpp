#include "nvtool/run_sequence.hpp"

#include <cstdio>
#include <memory>
#include <vector>

#include "nvtool/nv_item.hpp"
#include "nvtool/nv_list.hpp"
#include "nvtool/wide_text.hpp"
#include "platform/usb_slots.hpp"

namespace nvtool {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

bool TovikApplicationExist(const Environment& env) {
  std::vector<std::wstring> names;
  if (!env.list_process_names(&names)) return false;
  const std::wstring server = Widen(kTovikServerName);
  for (const std::wstring& name : names) {
    if (name == server) return true;
  }
  return false;
}

bool WriteResultFile(const Environment& env, bool pass) {
  std::unique_ptr<platform::OutputFile> file = env.create_output_file(kResultFileName);
  if (!file) return false;
  const std::string verdict =
      pass ? common::itemsmith::kPassVerdict : common::itemsmith::kFailVerdict;
  const bool written = file->Write(verdict.data(), verdict.size()) && file->Write("\r\n", 2);
  const bool closed = file->Close();
  return written && closed;
}

NvWriter::NvWriter(const Environment& env, bool reset_on_exit)
    : env_(env),
      reset_on_exit_(reset_on_exit),
      out_(env),
      link_(*env.clock, env.make_com_port, out_),
      discovery_(*env.discovery, link_, out_, *env.clock) {}

bool NvWriter::Retry(const char* banner_format, const std::function<bool()>& attempt) {
  for (int retry = 0; retry < kRetryCount; ++retry) {
    Line(Format(banner_format, retry));
    if (attempt()) return true;
    Line("sleep 10sec +++");
    env_.clock->Pause(kRetryPauseMs);
    Line("sleep 10sec ---");
  }
  return false;
}

bool NvWriter::SearchBeforeEject() {
  Line("\r\n1. search com port before eject disk");
  Line("search com port before eject disk +++");
  port_found_ = discovery_.SearchComPort(&com_port_);
  Line("search com port before eject disk ---");
  if (port_found_) Line(Format("com port exist before eject disk _iComPort:%d", com_port_));
  return port_found_;
}

void NvWriter::EjectWithRetries() {
  const bool ejected = Retry("\r\n---- EjectDisk nRetry_now:%d ----", [this] {
    Line("\r\n2. com port not exist, do eject disk");
    Line("EjectDisk +++");
    const bool ok = discovery_.EjectDisk();
    Line("EjectDisk ---");
    return ok;
  });
  if (ejected) {
    Line("EjectDisk success");
    Line("sleep for reboot 10sec +++");
    env_.clock->Pause(kRetryPauseMs);
    Line("sleep for reboot 10sec ---");
  } else {
    // The port may still turn up on its own: the search after the eject decides.
    Line("EjectDisk fail");
  }
}

bool NvWriter::SearchAfterEject() {
  return Retry("\r\n---- search com port nRetry_now:%d ----", [this] {
    Line("\r\n4. search com port after eject disk");
    Line("search com port after eject disk +++");
    port_found_ = discovery_.SearchComPort(&com_port_);
    Line("search com port after eject disk ---");
    if (port_found_) {
      Line(Format("Normal Mode _iComPort:%d", com_port_));
      Line("\r\n");
    } else {
      Line(common::itemsmith::kFatalNoPortAfterEject);
    }
    return port_found_;
  });
}

bool NvWriter::SwitchOffline() {
  return Retry("\r\n---- Change to offline mode nRetry_now:%d ----", [this] {
    if (link_.ChangePhoneMode(kModeOffline)) {
      Line("Change to offline mode ok \r\n");
      return true;
    }
    Line(common::itemsmith::kFatalOffline);
    return false;
  });
}

RunOutcome NvWriter::WriteListedItems() {
  // Read as bytes on every system: a text-mode read would end the list at a Ctrl-Z on Windows.
  std::unique_ptr<std::FILE, FileCloser> list(env_.open_stream(kListFileName, "rb"));
  if (!list) {
    Line("\r\nopen KVX_ntitem file fail...\n\r\n");
    return RunOutcome::kListFileUnreadable;
  }
  Line("\r\n5. *** start to burn nv item *** \r\n");
  NvListReader reader(list.get());
  std::string line;
  NvEntry entry;
  for (;;) {
    switch (reader.Next(&line)) {
      case ListRead::kEnd:
        return RunOutcome::kPass;
      case ListRead::kError:
        // The end of the list is not known, so neither is what was meant to be written.
        Line("\r\nread KVX_ntitem file fail...\n\r\n");
        return RunOutcome::kListFileUnreadable;
      case ListRead::kNotText:
        Line(Format("\r\n---- %s line %d is no text: save the list as plain text ----",
                    kListFileName, reader.line_number()));
        Line("\r\n");
        return RunOutcome::kListFileUnreadable;
      case ListRead::kTooLong:
        Line(Format("\r\n---- %s line %d longer than %d characters ----", kListFileName,
                    reader.line_number(), static_cast<int>(kListLineMax)));
        Line("\r\n");
        return RunOutcome::kFail;
      case ListRead::kLine:
        break;
    }
    if (!ParseNvLine(line, out_, &entry)) continue;
    if (!SetNvItem(link_, out_, entry.item_id, entry.values)) {
      out_.WriteLogRaw("SetNvItem Fail \r\n");
      Line(Format(common::itemsmith::kFatalItemFormat, entry.tag.c_str()));
      Line("\r\n");
      return RunOutcome::kFail;
    }
  }
}

RunOutcome NvWriter::RunWriteSequence() {
  if (TovikApplicationExist(env_)) {
    Line(common::itemsmith::kFatalTovikRunning);
    return RunOutcome::kFail;
  }

  if (!SearchBeforeEject()) {
    EjectWithRetries();
    if (!SearchAfterEject()) return RunOutcome::kFail;
  }

  if (!SwitchOffline()) return RunOutcome::kFail;

  const RunOutcome written = WriteListedItems();
  if (written != RunOutcome::kPass) return written;

  if (reset_on_exit_) {
    if (!link_.ChangePhoneMode(kModeReset)) {
      Line(common::itemsmith::kFatalReset);
      return RunOutcome::kFail;
    }
    Line(common::itemsmith::kResetDone);
  }

  if (port_found_ && link_.IsOpen()) link_.Close();
  out_.CloseLog();
  return RunOutcome::kPass;
}

int RunItemsmith(int argument_count, const Environment& env) {
  env.show_console_window(false);
  const bool reset_on_exit = argument_count == 1;
  if (reset_on_exit) env.show_console_window(true);

  // First of all, so that no later failure, and no kill, can leave the previous device's
  // verdict standing for this one.
  const bool old_verdict_gone = env.remove_file(kResultFileName);
  NvWriter writer(env, reset_on_exit);
  if (writer.output().OpenLog(kLogFileName)) {
    writer.output().WriteLogLine("KVX_WriteNVItem version: 20120831 \r\n");
    // A pin that cannot name a slot hides every device; the log says so, or the run would read
    // as a device that never came.
    const platform::UsbPin pin = platform::ReadUsbPin();
    if (pin.state == platform::UsbPin::State::kRefused) {
      writer.output().WriteLogLine("[Error] " + pin.refusal + " ");
    }
  }
  if (!old_verdict_gone) {
    writer.output().WriteLogLine(
        Format("[Error] %s cannot be removed, no device is touched ", kResultFileName));
    return kExitVerdictFile;
  }
  const RunOutcome outcome = writer.RunWriteSequence();
  if (outcome == RunOutcome::kListFileUnreadable) return kExitListFileUnreadable;
  if (!WriteResultFile(env, outcome == RunOutcome::kPass)) {
    // Part of a verdict is no verdict.
    env.remove_file(kResultFileName);
    writer.output().WriteLogLine(
        Format("[Error] %s cannot be written, no verdict is left ", kResultFileName));
    return kExitVerdictFile;
  }
  return 0;
}

}  // namespace nvtool
