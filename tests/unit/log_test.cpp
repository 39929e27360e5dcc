#include <gtest/gtest.h>

#include "config/log.h"

namespace {

struct LineCase {
  platform::LocalTime time;
  std::string message;
  std::string expected;
};

TEST(LogLine, IsTimeTwoSpacesMessageAndLineEnd) {
  const LineCase cases[] = {
      {{9, 5, 3}, "abc", "09:05:03  abc\n"},
      {{0, 0, 0}, "midnight", "00:00:00  midnight\n"},
      {{23, 59, 59}, "x", "23:59:59  x\n"},
      {{12, 0, 0}, "", "12:00:00  \n"},
      {{1, 2, 3}, "two\nlines", "01:02:03  two\nlines\n"},
  };
  for (const LineCase& c : cases) EXPECT_EQ(formatLogLine(c.time, c.message), c.expected);
}

}  // namespace
