// The Windows COM time-out rules as the ports apply them to one read or write.
#include "platform/portable/comm_deadlines.hpp"

#include <gtest/gtest.h>

namespace {

using platform::CommTimeouts;
using platform::kMaxDword;

TEST(CommDeadlinesTest, ReadsEndAsTheWindowsRulesSay) {
  struct Case {
    const char* name;
    CommTimeouts timeouts;
    uint32_t count;
    bool immediate, return_on_any, has_total;
    uint32_t total_ms;
    bool has_interval;
    uint32_t interval_ms;
  };
  const Case cases[] = {
      {"only what is buffered", {kMaxDword, 0, 0, 0, 0}, 10, true, true, false, 0, false, 0},
      {"first bytes within a constant",
       {kMaxDword, kMaxDword, 500, 0, 0},
       4000,
       false,
       true,
       true,
       500,
       false,
       0},
      {"per byte and constant", {0, 2, 100, 0, 0}, 10, false, false, true, 120, false, 0},
      {"gap between bytes only", {20, 0, 0, 0, 0}, 10, false, false, false, 0, true, 20},
      {"no time-outs: the whole count", {0, 0, 0, 0, 0}, 10, false, false, false, 0, false, 0},
      {"total past the tick range",
       {0, kMaxDword - 1, kMaxDword - 1, 0, 0},
       4,
       false,
       false,
       true,
       kMaxDword - 1,
       false,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::ReadDeadline d = platform::ReadDeadlineFor(c.timeouts, c.count);
    EXPECT_EQ(d.immediate, c.immediate);
    EXPECT_EQ(d.return_on_any, c.return_on_any);
    EXPECT_EQ(d.has_total, c.has_total);
    if (c.has_total) {
      EXPECT_EQ(d.total_ms, c.total_ms);
    }
    EXPECT_EQ(d.has_interval, c.has_interval);
    EXPECT_EQ(d.interval_ms, c.interval_ms);
  }
}

TEST(CommDeadlinesTest, WritesAreBoundedByTheirTotalOnly) {
  EXPECT_EQ(platform::WriteDeadlineFor({0, 0, 0, 1, 50}, 100).total_ms, 150u);
  EXPECT_FALSE(platform::WriteDeadlineFor({kMaxDword, kMaxDword, 500, 0, 0}, 100).has_total);
  EXPECT_EQ(platform::WriteDeadlineFor({0, 0, 0, kMaxDword, kMaxDword}, 2).total_ms, kMaxDword - 1);
}

}  // namespace
