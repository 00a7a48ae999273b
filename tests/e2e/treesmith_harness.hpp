// Runs the built treesmith in a temporary working folder against diagsim serving a device root
// of the test's own, and reads back what both left behind.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/efstool/efs_tree.hpp"

namespace treesmith_e2e {

namespace fs = std::filesystem;

// A child process started with exec; the test waits for it only up to a generous bound so that
// a hung program fails the test instead of the suite.
class Child {
 public:
  // argv[0] is the program path; stdout goes to `stdout_file` (or a pipe when empty).
  // `in_child` runs in the child before the exec (async-signal-safe calls only).
  bool Start(const std::vector<std::string>& argv, const std::string& cwd,
             const std::vector<std::string>& extra_env, const std::string& stdout_file,
             void (*in_child)() = nullptr) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The child sees `extra_env` in place of any inherited value of the same name (another test
    // of this process may have set one).
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      bool replaced = false;
      for (const std::string& extra : extra_env) {
        const size_t name_end = extra.find('=');
        if (entry.compare(0, name_end + 1, extra, 0, name_end + 1) == 0) replaced = true;
      }
      if (!replaced) env_text.push_back(entry);
    }
    for (const std::string& e : extra_env) env_text.push_back(e);
    std::vector<char*> env;
    for (const std::string& e : env_text) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    int out_fd = -1;
    int pipe_fds[2] = {-1, -1};
    if (stdout_file.empty()) {
      if (pipe(pipe_fds) != 0) return false;
      out_fd = pipe_fds[1];
    } else {
      out_fd = open(stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out_fd < 0) return false;
    }
    const int null_in = open("/dev/null", O_RDONLY);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(null_in, 0);
      dup2(out_fd, 1);
      if (pipe_fds[0] >= 0) close(pipe_fds[0]);
      if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
      if (in_child != nullptr) in_child();
      execve(args[0], args.data(), env.data());
      _exit(127);
    }
    close(out_fd);
    close(null_in);
    read_fd_ = pipe_fds[0];
    return pid_ > 0;
  }

  // Reads the child's piped output until `text` appears or the bound passes.
  bool WaitForOutput(const std::string& text, int bound_ms = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
    while (output_.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{read_fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[512];
      const ssize_t n = read(read_fd_, buffer, sizeof buffer);
      if (n <= 0) return false;
      output_.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  // The exit code, or -1 when the child had to be killed or ended by a signal.
  int Wait(int bound_ms = 180000) {
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    if (read_fd_ >= 0) close(read_fd_);
    read_fd_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // What the child printed on its piped output so far (read by WaitForOutput).
  const std::string& output() const { return output_; }

  // Closes the reading end of the child's piped output, as `head -1` does when it has its line.
  void CloseOutput() {
    if (read_fd_ >= 0) close(read_fd_);
    read_fd_ = -1;
  }

  void Signal(int signal_number) {
    if (pid_ > 0) kill(pid_, signal_number);
  }

  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    if (read_fd_ >= 0) close(read_fd_);
  }

 private:
  pid_t pid_ = -1;
  int read_fd_ = -1;
  std::string output_;
};

class TreesmithRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/treesmith-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    ASSERT_TRUE(fs::exists(Treesmith())) << Treesmith();
    ASSERT_TRUE(fs::exists(Diagsim())) << Diagsim();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  static std::string Treesmith() { return std::string(TEST_BINARY_DIR) + "/efstool/treesmith"; }
  static std::string Diagsim() { return std::string(TEST_BINARY_DIR) + "/devicesim/diagsim"; }

  // A fresh working folder holding the example upload folder `upload`, a fresh device root, and
  // diagsim serving it with the example device tree loaded and `device_args` given.
  void Prepare(const std::string& name, const std::string& upload,
               const std::string& device_tree = efstool_test::ExamplePath("device-before"),
               const std::vector<std::string>& device_args = {}) {
    run_ = base_ + "/" + name;
    work_ = run_ + "/work";
    root_ = run_ + "/root";
    dump_ = run_ + "/dump";
    fs::create_directories(work_);
    fs::create_directories(root_);
    if (!upload.empty()) efstool_test::CopyExample(upload, work_);
    diagsim_ = std::make_unique<Child>();
    std::vector<std::string> argv = {Diagsim(),   "--root",     root_, "--efs-load",
                                     device_tree, "--efs-dump", dump_};
    argv.insert(argv.end(), device_args.begin(), device_args.end());
    ASSERT_TRUE(diagsim_->Start(argv, "", {}, ""));
    ASSERT_TRUE(diagsim_->WaitForOutput("diagsim: serving COM"));
  }

  // Runs treesmith with `args` in the working folder; its console goes to console.txt.
  int RunTreesmith(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {Treesmith()};
    argv.insert(argv.end(), args.begin(), args.end());
    Child tool;
    if (!tool.Start(argv, work_, {"DIAG_DEVICE_ROOT=" + root_}, run_ + "/console.txt")) return -1;
    return tool.Wait();
  }

  // Stops diagsim, which dumps its file system, and reads the dump.
  std::map<std::string, std::string> StopDeviceAndDump() {
    diagsim_->Signal(SIGTERM);
    EXPECT_EQ(diagsim_->Wait(), 0);
    return efstool_test::ReadTree(dump_);
  }

  std::string Read(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string Work(const std::string& name) const { return Read(work_ + "/" + name); }
  std::string Console() const { return Read(run_ + "/console.txt"); }

  std::string base_, run_, work_, root_, dump_;
  std::unique_ptr<Child> diagsim_;
};

}  // namespace treesmith_e2e
