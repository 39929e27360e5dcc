// The refused-report log: one line a minute per sender and reason, and no
// byte of a hostile name that a terminal would act on.
#include <gtest/gtest.h>

#include "http/refusal_log.h"

TEST(CollectorRefusalLog, OneLineAMinutePerSenderAndReason) {
  collector::RefusalLog log(3);
  struct Row {
    std::int64_t atMs;
    const char* reason;
    const char* keyHash;
    const char* address;
    bool written;
  } rows[] = {
      {0, "unknown key", "k1", "127.0.0.1", true},
      {59999, "unknown key", "k1", "127.0.0.9", false},  // the same key from elsewhere
      {1000, "malformed", "k1", "127.0.0.1", true},      // another reason
      {1000, "unknown key", "", "127.0.0.1", true},      // no key: by address
      {2000, "unknown key", "", "127.0.0.2", false},     // three tracked within the minute
      {60000, "unknown key", "k1", "127.0.0.1", true},   // a minute on
  };
  for (const Row& row : rows) {
    EXPECT_EQ(!log.refused(row.atMs, 401, row.reason, "P", row.keyHash, row.address).empty(),
              row.written)
        << row.atMs << " " << row.reason;
  }
}

TEST(CollectorRefusalLog, TheLineNamesThePlayerAsAQuotedString) {
  collector::RefusalLog log;
  EXPECT_EQ(log.refused(0, 403, "player_name does not belong to this key", "Bob\x1b[2J\n", "k",
                        "127.0.0.1"),
            "1970-01-01T00:00:00Z refused 403 player=\"Bob\\u001b[2J\\n\" from 127.0.0.1: "
            "player_name does not belong to this key\n");
}
