#include "platform/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.hpp"

extern char** environ;

namespace platform {
namespace {

class PosixChild final : public ChildProcess {
 public:
  explicit PosixChild(pid_t pid) : pid_(pid) {}
  ~PosixChild() override {
    if (!done_) Stop();
  }

  bool Finished(int* exit_code) override {
    if (!done_) {
      int status = 0;
      pid_t r;
      do {
        r = waitpid(pid_, &status, WNOHANG);
      } while (r < 0 && errno == EINTR);
      if (r == 0) return false;
      done_ = true;
      code_ = r < 0                 ? 1
              : WIFEXITED(status)   ? WEXITSTATUS(status)
              : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                    : 1;
    }
    *exit_code = code_;
    return true;
  }

  void Stop() override {
    if (done_) return;
    // The whole group: whatever the program started goes with it.
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    done_ = true;
    code_ = 128 + SIGKILL;
  }

 private:
  pid_t pid_;
  bool done_ = false;
  int code_ = 0;
};

// A byte in this pipe for every child that ended: the runner's wait can end at once, and an end
// that comes before the wait starts is kept for it. Made with the first child, never closed.
int g_ended[2] = {-1, -1};

extern "C" void OnChildEnded(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!::write(g_ended[1], &byte, 1);
  errno = saved;
}

void FollowChildEnds() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (pipe2(g_ended, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = OnChildEnded;
    sigemptyset(&action.sa_mask);
    // Restarted calls and no word of stopped children: the runner's other calls go on as before.
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);
  });
}

}  // namespace

bool AChildHasEnded() {
  if (g_ended[0] < 0) return false;
  bool ended = false;
  char bytes[64];
  while (::read(g_ended[0], bytes, sizeof bytes) > 0) ended = true;
  return ended;
}

void WaitForAChildToEnd(Clock& clock, uint32_t ms) {
  if (g_ended[0] < 0) {
    clock.Pause(ms);
    return;
  }
  clock.Wait(ms, [](uint32_t real_ms) {
    pollfd ended{g_ended[0], POLLIN, 0};
    // A signal ends the wait as well: the child's own, or a stop request the runner looks at.
    return poll(&ended, 1, real_ms > INT_MAX ? -1 : static_cast<int>(real_ms)) != 0;
  });
  AChildHasEnded();  // the news is taken
}

std::unique_ptr<ChildProcess> StartChild(const ChildSpec& launch, std::string* error) {
  FollowChildEnds();
  struct stat st {};
  if (stat(launch.working_folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "no working folder " + launch.working_folder;
    return nullptr;
  }
  if (access(launch.program.c_str(), X_OK) != 0) {
    *error = "cannot run " + launch.program + ": " + std::strerror(errno);
    return nullptr;
  }
  // The child changes into its working folder before the exec: a relative path is taken from
  // here, where it was checked, not from there.
  std::string program = launch.program;
  if (program.front() != '/') {
    char here[PATH_MAX];
    if (getcwd(here, sizeof here) == nullptr) {
      *error = std::string("cannot tell the current folder: ") + std::strerror(errno);
      return nullptr;
    }
    program = std::string(here) + "/" + program;
  }
  // Everything the child needs is built before the fork: between fork and exec only
  // async-signal-safe calls are made.
  std::vector<std::string> args{program};
  args.insert(args.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : launch.environment) {
      if (entry.compare(0, name.size() + 1, name + "=") == 0) replaced = true;
    }
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [name, value] : launch.environment) env.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int out =
      ::open(launch.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || in < 0) {
    *error = "cannot open " + launch.output_file + ": " + std::strerror(errno);
    if (out >= 0) ::close(out);
    if (in >= 0) ::close(in);
    return nullptr;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // A group of its own keeps the terminal's Ctrl-C away from the child (the runner decides
    // what a stop means) and lets the runner end everything the child started at once; the
    // parent-death signal ends the child when the runner itself is killed outright. A runner
    // that died before the signal was armed is caught by the parent check.
    if (setpgid(0, 0) != 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
      _exit(127);
    }
    // An ignored signal stays ignored across the exec: the program starts as from a shell,
    // not with the runner's own defence against a closed console.
    signal(SIGPIPE, SIG_DFL);
    if (dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
        dup2(out, STDERR_FILENO) < 0 || chdir(launch.working_folder.c_str()) != 0) {
      _exit(127);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  const int fork_error = errno;
  // Set from this side as well, so that a stop right after the start already finds the group.
  if (pid > 0) setpgid(pid, pid);
  ::close(out);
  ::close(in);
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(fork_error);
    return nullptr;
  }
  return std::make_unique<PosixChild>(pid);
}

std::string OwnProgramFolder() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string text(path, static_cast<size_t>(n));
  const size_t slash = text.find_last_of('/');
  return slash == std::string::npos ? "" : text.substr(0, slash == 0 ? 1 : slash);
}

bool ProgramRunnable(const std::string& file) {
  struct stat st {};
  return stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0;
}

std::string ProgramFile(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

}  // namespace platform
