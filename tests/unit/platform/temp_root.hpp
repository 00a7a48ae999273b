// A throw-away device root for the adapter's tests: a temporary folder that DIAG_DEVICE_ROOT
// names while the object lives.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace platform_test {

class TempRoot {
 public:
  TempRoot() {
    char pattern[] = "/tmp/platform-root-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    path_ = made != nullptr ? made : "/nonexistent";
    setenv("DIAG_DEVICE_ROOT", path_.c_str(), 1);
  }
  ~TempRoot() {
    unsetenv("DIAG_DEVICE_ROOT");
    const std::string command = "rm -rf '" + path_ + "'";
    (void)!std::system(command.c_str());
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  std::string At(const std::string& relative) const { return path_ + "/" + relative; }

  void MakeDirs(const std::string& relative) const {
    std::string so_far = path_;
    size_t start = 0;
    while (start <= relative.size()) {
      size_t slash = relative.find('/', start);
      if (slash == std::string::npos) slash = relative.size();
      so_far += "/" + relative.substr(start, slash - start);
      mkdir(so_far.c_str(), 0755);
      start = slash + 1;
    }
  }
  void WriteFile(const std::string& relative, const std::string& content) const {
    const size_t slash = relative.find_last_of('/');
    if (slash != std::string::npos) MakeDirs(relative.substr(0, slash));
    std::FILE* f = std::fopen(At(relative).c_str(), "wb");
    ASSERT_NE(f, nullptr) << relative;
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
  }
  void Link(const std::string& relative, const std::string& target) const {
    const size_t slash = relative.find_last_of('/');
    if (slash != std::string::npos) MakeDirs(relative.substr(0, slash));
    ASSERT_EQ(symlink(target.c_str(), At(relative).c_str()), 0) << relative;
  }

 private:
  std::string path_;
};

}  // namespace platform_test
