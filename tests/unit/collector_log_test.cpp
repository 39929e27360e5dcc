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

// A report posted to another path: the path shown quoted and cut at its
// bound, and not part of the reason, so a sender trying paths writes a line
// a minute.
TEST(CollectorRefusalLog, AReportPostedElsewhereNamesThePathWithinItsBound) {
  collector::RefusalLog log;
  const std::size_t most = 128;  // as the operators' guide says
  const struct {
    std::int64_t atMs;
    std::string path;
    const char* address;
    std::string shown;  // empty: held back
  } rows[] = {
      {0, "/", "10.0.0.1", "to \"/\": wrong"},
      {59999, "/other", "10.0.0.1", ""},
      {60000, "/other", "10.0.0.1", "to \"/other\": wrong"},
      {0, "/\x1b[2J\xC3", "10.0.0.2", "to \"/\\u001b[2J\\ufffd\": wrong"},
      {0, std::string(most, 'p'), "10.0.0.3", "to \"" + std::string(most, 'p') + "\": wrong"},
      {0, std::string(most + 1, 'p'), "10.0.0.4",
       "to \"" + std::string(most, 'p') + "\"...: wrong"},
  };
  for (const auto& row : rows) {
    const std::string line = log.refused(row.atMs, 404, "wrong", "", "", row.address, row.path);
    const std::string shown = line.empty() ? "" : line.substr(line.find(" to ") + 1);
    EXPECT_EQ(shown, row.shown.empty() ? "" : row.shown + "\n") << row.atMs << " " << row.address;
  }
}

#include "core/log_limit.h"

// A failing store's log: one line per cause per interval, the next one with
// the count held back; causes past the bound share one line.
TEST(CollectorLogLimiter, OneLinePerCausePerIntervalWithTheCountHeldBack) {
  collector::LogLimiter limiter(10000);
  const struct {
    std::int64_t atMs;
    const char* cause;
    const char* written;
  } rows[] = {
      {0, "down", "down 0\n"},
      {1, "full", "full 1\n"},  // another cause
      {9999, "down", ""},
      {9999, "down", ""},
      {10000, "down", "down 10000 (2 more like it in the last 10 s held back)\n"},
      {19999, "down", ""},
      {30000, "down", "down 30000 (1 more like it in the last 20 s held back)\n"},
      {30001, "full", "full 30001\n"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(
        limiter.line(row.cause, std::string(row.cause) + " " + std::to_string(row.atMs), row.atMs),
        row.written)
        << row.atMs;
  }
  for (std::size_t i = 2; i < collector::LogLimiter::maxCauses; ++i) {
    limiter.line("cause " + std::to_string(i), "", 0);
  }
  EXPECT_EQ(limiter.line("one more", "x", 0), "x\n");
  EXPECT_EQ(limiter.line("and another", "y", 0), "") << "both beyond the bound share a line";
}

#include "core/text.h"

// Every character a terminal would obey rather than show (C0, DEL, C1 and the
// bidirectional controls), wherever the collector writes a client's text for a
// person: the refused-report log, the commands' tables, an export's cells.
TEST(CollectorText, NoControlCharacterReachesALogLineATableOrAnExport) {
  std::vector<std::string> controls;
  for (int c = 0; c < 0x20; ++c) controls.emplace_back(1, static_cast<char>(c));
  controls.emplace_back("\x7f");
  for (int c = 0x80; c < 0xA0; ++c) controls.push_back("\xC2" + std::string(1, static_cast<char>(c)));
  for (const char* bidi : {"\u061C", "\u200E", "\u200F", "\u202A", "\u202B", "\u202C", "\u202D",
                           "\u202E", "\u2066", "\u2067", "\u2068", "\u2069"}) {
    controls.emplace_back(bidi);
  }
  for (const std::string& control : controls) {
    const std::string text = "a" + control + "b";
    const std::string line =
        collector::RefusalLog().refused(0, 401, "unknown key", text, "k", "127.0.0.1");
    const std::string shown = line.substr(0, line.size() - 1);  // the line's own end
    EXPECT_EQ(shown.find(control), std::string::npos) << shown;
    EXPECT_EQ(collector::terminalSafe(text), "a\xEF\xBF\xBD" "b") << text;
    EXPECT_EQ(collector::csvField(text).find(control), std::string::npos) << text;
  }
  for (int c = 0x20; c < 0x7f; ++c) {  // what a terminal shows passes as it is
    const std::string text = "a" + std::string(1, static_cast<char>(c)) + "b";
    EXPECT_EQ(collector::terminalSafe(text), text);
  }
}
