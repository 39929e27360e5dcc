#include "config/log.h"

#include <gtest/gtest.h>

namespace {

// Each expected line holds its message between the time's two spaces and the line end.
TEST(LogLine, IsTimeTwoSpacesMessageAndLineEnd) {
  const std::pair<platform::LocalTime, std::string> cases[] = {
      {{9, 5, 3}, "09:05:03  abc\n"},        {{0, 0, 0}, "00:00:00  midnight\n"},
      {{23, 59, 59}, "23:59:59  x\n"},       {{12, 0, 0}, "12:00:00  \n"},
      {{1, 2, 3}, "01:02:03  two\nlines\n"},
  };
  for (const auto& [time, line] : cases)
    EXPECT_EQ(formatLogLine(time, line.substr(10, line.size() - 11)), line);
}

}  // namespace
