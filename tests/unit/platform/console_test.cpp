#include "platform/console.hpp"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

// Puts `fd` in place of standard input for the test's lifetime.
class StdinReplaced {
 public:
  explicit StdinReplaced(int fd) : saved_(dup(STDIN_FILENO)) { dup2(fd, STDIN_FILENO); }
  ~StdinReplaced() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

bool KeyWaitingSoon() {
  for (int i = 0; i < 1000; ++i) {
    if (platform::KeyWaiting()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(Keyboard, SingleKeyOnATerminalIsSeenAndDropped) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  {
    StdinReplaced in(slave);
    EXPECT_FALSE(platform::KeyWaiting());
    // One key, no line end: a terminal left line by line would hold it back.
    ASSERT_EQ(write(master, "q", 1), 1);
    EXPECT_TRUE(KeyWaitingSoon());
    EXPECT_TRUE(platform::KeyWaiting());  // polling does not take the key
    platform::ReadKey();
    EXPECT_FALSE(platform::KeyWaiting());
    platform::ReadKey();  // nothing waiting: returns instead of blocking
  }
  close(master);
  close(slave);
}

TEST(Keyboard, PipedInputIsNoKeyPress) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "x\n", 2), 2);
  {
    StdinReplaced in(fds[0]);
    EXPECT_FALSE(platform::KeyWaiting());
  }
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
