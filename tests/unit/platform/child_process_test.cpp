// The runner's wait for its runs: a child that ends cuts it short, whether it ends during the
// wait or just before it; while none ends, the wait lasts its whole time. Between two starts the
// runner may also ask, without waiting, whether one has ended.
#include "platform/child_process.hpp"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/clock.hpp"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

milliseconds WaitedFor(uint32_t ms) {
  const auto start = steady_clock::now();
  platform::WaitForAChildToEnd(platform::RealClock(), ms);
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
}

TEST(ChildEnds, AnEndCutsTheRunnersWaitShortAndNothingElseDoes) {
  char pattern[] = "/tmp/child-ends-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  struct Case {
    const char* script;
    int code;
  };
  // One that is over before the wait begins, and one that ends while it waits.
  for (const Case& c : {Case{"exit 3", 3}, Case{"sleep 0.3; exit 4", 4}}) {
    SCOPED_TRACE(c.script);
    platform::ChildSpec launch;
    launch.program = "/bin/sh";
    launch.arguments = {"-c", c.script};
    launch.working_folder = folder;
    launch.output_file = folder + "/console.txt";
    std::string error;
    const auto child = platform::StartChild(launch, &error);
    ASSERT_NE(child, nullptr) << error;
    EXPECT_LT(WaitedFor(60000), milliseconds(30000));
    int code = -1;
    for (int i = 0; i < 1000 && !child->Finished(&code); ++i) WaitedFor(10);
    EXPECT_EQ(code, c.code);
    // Its end was told once: the next wait lasts.
    EXPECT_GE(WaitedFor(200), milliseconds(150));
  }
  std::filesystem::remove_all(folder);
}

// The look between two starts: it learns of an end without waiting, and takes the news, so that
// neither it nor the next wait reports the same end again.
TEST(ChildEnds, AnEndIsToldAtOnceAndOnlyOnce) {
  char pattern[] = "/tmp/child-ends-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  platform::ChildSpec launch;
  launch.program = "/bin/sh";
  launch.arguments = {"-c", "exit 0"};
  launch.working_folder = folder;
  launch.output_file = folder + "/console.txt";
  std::string error;
  const auto child = platform::StartChild(launch, &error);
  ASSERT_NE(child, nullptr) << error;
  int code = -1;
  for (int i = 0; i < 3000 && !child->Finished(&code); ++i) platform::RealClock().Pause(10);
  ASSERT_EQ(code, 0);
  // The signal that tells of the end may be taken on another thread, a moment later.
  bool told = false;
  for (int i = 0; i < 300 && !(told = platform::AChildHasEnded()); ++i) {
    platform::RealClock().Pause(10);
  }
  EXPECT_TRUE(told);
  EXPECT_FALSE(platform::AChildHasEnded());
  EXPECT_GE(WaitedFor(200), milliseconds(150));
  std::filesystem::remove_all(folder);
}

}  // namespace
