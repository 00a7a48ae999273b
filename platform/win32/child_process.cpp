#include <windows.h>

#include <string>
#include <vector>

#include "platform/child_process.hpp"
#include "platform/clock.hpp"
#include "win32_support.hpp"

namespace platform {
namespace {

// One argument as the C runtime's command-line splitting gives it back: quoted, with the
// backslashes before a quote doubled.
void AppendQuoted(const std::wstring& argument, std::wstring* line) {
  if (!line->empty()) line->push_back(L' ');
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
    line->append(argument);
    return;
  }
  line->push_back(L'"');
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line->append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line->push_back(c);
  }
  line->append(2 * backslashes, L'\\');
  line->push_back(L'"');
}

bool SameName(const std::wstring& entry, const std::wstring& name) {
  if (entry.size() <= name.size() || entry[name.size()] != L'=') return false;
  return CompareStringOrdinal(entry.c_str(), static_cast<int>(name.size()), name.c_str(),
                              static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

class Win32Child final : public ChildProcess {
 public:
  Win32Child(HANDLE process, HANDLE job) : process_(process), job_(job) {}
  ~Win32Child() override {
    if (!done_) Stop();
    CloseHandle(process_);
    CloseHandle(job_);
  }

  bool Finished(int* exit_code) override {
    if (!done_) {
      if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return false;
      DWORD code = 1;
      GetExitCodeProcess(process_, &code);
      code_ = static_cast<int>(code);
      done_ = true;
    }
    *exit_code = code_;
    return true;
  }

  void Stop() override {
    if (done_) return;
    TerminateJobObject(job_, 1);
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10000);
    code_ = 1;
    done_ = true;
  }

 private:
  HANDLE process_;
  HANDLE job_;  // kills the child and what it started when the last handle closes
  bool done_ = false;
  int code_ = 0;
};

}  // namespace

std::unique_ptr<ChildProcess> StartChild(const ChildSpec& launch, std::string* error) {
  const std::wstring program = win32::WideFromAnsi(launch.program);
  std::wstring line;
  AppendQuoted(program, &line);
  for (const std::string& argument : launch.arguments)
    AppendQuoted(win32::WideFromAnsi(argument), &line);

  // The parent's environment with the child's own variables set on top.
  std::vector<std::pair<std::wstring, std::wstring>> added;
  for (const auto& [name, value] : launch.environment)
    added.emplace_back(win32::WideFromAnsi(name), win32::WideFromAnsi(value));
  std::wstring block;
  if (LPWCH strings = GetEnvironmentStringsW()) {
    for (const wchar_t* at = strings; *at != 0;) {
      const std::wstring entry(at);
      at += entry.size() + 1;
      bool replaced = false;
      for (const auto& variable : added) replaced = replaced || SameName(entry, variable.first);
      if (!replaced) block += entry + L'\0';
    }
    FreeEnvironmentStringsW(strings);
  }
  for (const auto& [name, value] : added) block += name + L"=" + value + L'\0';
  block += L'\0';

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out = CreateFileW(win32::WideFromAnsi(launch.output_file).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                          OPEN_EXISTING, 0, nullptr);
  if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) {
    *error =
        "cannot open " + launch.output_file + " (error " + std::to_string(GetLastError()) + ")";
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    return nullptr;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = out;
  // The job is the child's lifeline: only this process holds its handle, so when the runner
  // ends, however it ends, the system closes the handle and the job kills the child.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job == nullptr ||
      !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    *error = "cannot make a job object (error " + std::to_string(GetLastError()) + ")";
    if (job != nullptr) CloseHandle(job);
    CloseHandle(out);
    CloseHandle(in);
    return nullptr;
  }
  PROCESS_INFORMATION info{};
  std::vector<wchar_t> command(line.begin(), line.end());
  command.push_back(L'\0');
  const std::wstring folder = win32::WideFromAnsi(launch.working_folder);
  // Started suspended, so that it runs no instruction outside the job.
  const BOOL started =
      CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                     CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, &block[0],
                     folder.c_str(), &startup, &info);
  const DWORD start_error = GetLastError();
  CloseHandle(out);
  CloseHandle(in);
  if (!started) {
    CloseHandle(job);
    *error = "cannot run " + launch.program + " (error " + std::to_string(start_error) + ")";
    return nullptr;
  }
  if (!AssignProcessToJobObject(job, info.hProcess)) {
    const DWORD job_error = GetLastError();
    TerminateProcess(info.hProcess, 1);
    WaitForSingleObject(info.hProcess, 10000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    CloseHandle(job);
    *error = "cannot put " + launch.program + " into a job object (error " +
             std::to_string(job_error) + ")";
    return nullptr;
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  return std::make_unique<Win32Child>(info.hProcess, job);
}

std::string OwnProgramFolder() {
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return "";
  std::string text(path, n);
  const size_t slash = text.find_last_of("\\/");
  return slash == std::string::npos ? "" : text.substr(0, slash);
}

bool ProgramRunnable(const std::string& file) {
  const DWORD attributes = GetFileAttributesW(win32::WideFromAnsi(file).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string ProgramFile(const std::string& folder, const std::string& name) {
  return (folder.empty() ? name : folder + "\\" + name) + ".exe";
}

void WaitForAChildToEnd(Clock& clock, uint32_t ms) { clock.Pause(ms); }

bool AChildHasEnded() { return false; }

}  // namespace platform
