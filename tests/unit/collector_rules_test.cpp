// The collector's reading of one report and its plausibility rules, against
// bodies built by the plug-in's own code.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/keys.h"
#include "core/names.h"
#include "core/report.h"
#include "upload/report.h"

namespace {

const char* const known = "90112233445566772/101";

std::string pluginBody(const std::string& player, double miles, std::int32_t seconds,
                       const std::string& truck = "Unknown") {
  return buildReportBody(player, ReportSnapshot{known, miles, seconds, truck, "None"});
}

// A body of the six members with the trailer first; no seconds member when
// `seconds` is empty.
std::string raw(const std::string& seconds, const std::string& miles = "1.5",
                const std::string& server = known, const std::string& trailer = "\"R\"") {
  return "{\"player_name\":\"P\",\"truck\":\"T\",\"trailer\":" + trailer + ",\"server_id\":\"" +
         server + "\",\"miles_delta\":" + miles +
         (seconds.empty() ? "" : ",\"seconds_delta\":" + seconds) + "}";
}

TEST(CollectorReport, ParsesThePluginsBodiesAndRefusesEverythingElse) {
  using collector::BodyCheck;
  struct Row {
    const char* name;
    std::string text;
    BodyCheck check;
  } rows[] = {
      {"typical road", pluginBody("Night Owl", 3.106856, 60), BodyCheck::ok},
      {"escaped and UTF-8 texts", pluginBody("Zo\xC3\xAB \"Q\" \\", 0.0, 1, "a/b"), BodyCheck::ok},
      {"256-byte truck", pluginBody("P", 1.0, 60, std::string(256, 'T')), BodyCheck::ok},
      {"257-byte name", pluginBody(std::string(257, 'P'), 1.0, 60), BodyCheck::malformed},
      {"tab in a name", pluginBody("P\tQ", 1.0, 60), BodyCheck::malformed},
      {"escape in a trailer", raw("1", "1", known, "\"\\u001b[2J\""), BodyCheck::malformed},
      {"DEL in a truck", pluginBody("P", 1.0, 60, "T\x7f"), BodyCheck::malformed},
      {"largest seconds", pluginBody("P", 0.0, 2147483647), BodyCheck::ok},
      {"integer miles, members in another order", raw("0", "2"), BodyCheck::ok},
      {"seconds above 32 bits", raw("2147483648"), BodyCheck::malformed},
      {"fractional seconds", raw("60.5"), BodyCheck::malformed},
      {"negative seconds", raw("-1"), BodyCheck::malformed},
      {"negative miles", pluginBody("P", -0.5, 60), BodyCheck::malformed},
      {"miles as text", raw("1", "\"1\""), BodyCheck::malformed},
      {"member missing", raw(""), BodyCheck::malformed},
      {"seventh member", raw("1,\"x\":0"), BodyCheck::malformed},
      {"null trailer", raw("1", "1.5", known, "null"), BodyCheck::malformed},
      {"truncated", pluginBody("P", 1.0, 60).substr(0, 40), BodyCheck::malformed},
      {"array", "[" + pluginBody("P", 1.0, 60) + "]", BodyCheck::malformed},
      {"invalid UTF-8", pluginBody("\xFF", 1.0, 60), BodyCheck::notUtf8},
      {"Latin-1 name", pluginBody("M\xFCller", 1.0, 60), BodyCheck::notUtf8},
      {"overlong slash", pluginBody("\xC0\xAF", 1.0, 60), BodyCheck::notUtf8},
      {"surrogate", pluginBody("\xED\xA0\x80", 1.0, 60), BodyCheck::notUtf8},
      {"above U+10FFFF", pluginBody("\xF4\x90\x80\x80", 1.0, 60), BodyCheck::notUtf8},
      {"cut short", pluginBody("\xE2\x82", 1.0, 60), BodyCheck::notUtf8},
      {"four bytes", pluginBody("\xF0\x9F\x9A\x9A", 1.0, 60), BodyCheck::ok},
      {"unknown server", raw("1", "1", "90112233445566772/102"), BodyCheck::unknownServer},
      {"empty server", raw("1", "1", ""), BodyCheck::unknownServer},
      {"the most miles a report carries", raw("1", "10000"), BodyCheck::ok},
      {"miles above the bound", raw("1", "10000.000001"), BodyCheck::tooManyMiles},
      {"miles near the largest double", raw("1", "1.7e308"), BodyCheck::tooManyMiles},
  };
  for (const Row& row : rows) {
    collector::ReportBody body;
    EXPECT_EQ(collector::parseReportBody(row.text, body), row.check) << row.name;
  }
  collector::ReportBody body;
  ASSERT_EQ(collector::parseReportBody(pluginBody("Zo\xC3\xAB \"Q\"", 3.106856, 60, "W/900"), body),
            BodyCheck::ok);
  EXPECT_EQ(body.playerName + "|" + body.serverId + "|" + body.truck + "|" + body.trailer,
            "Zo\xC3\xAB \"Q\"|" + std::string(known) + "|W/900|None");
  EXPECT_EQ(std::make_pair(body.miles, body.seconds), std::make_pair(3.106856, std::int64_t{60}));
}

TEST(CollectorReport, PlausibilityRules) {
  const double mph = 110.0;
  struct Row {
    const char* name;
    double miles;
    std::int64_t seconds, wallMs;  // wallMs: since the key's previous report
    bool speed, wallTime;
  } rows[] = {
      // Sent every 10 s at 100 mph, carrying 0.99 s of miles beyond its whole
      // seconds, and 2 s sooner than the last interval since that post was slower.
      {"the plug-in's own reports in real time", 100.0 * 10.99 / 3600, 10, 8000, false, false},
      {"a long wait after failed posts", 60.0 * 600 / 3600, 600, 600500, false, false},
      {"above the speed limit", 120.0 * 60 / 3600, 60, 60000, true, false},
      {"exactly at the speed limit", 110.0 * 61 / 3600, 60, 60000, false, false},
      {"exactly 10 s more than the wall time", 0.0, 60, 50000, false, false},
      {"10 s and 1 ms more than the wall time", 0.0, 60, 49999, false, true},
      {"miles with no seconds, a fraction", 0.03, 0, 60000, false, false},
      {"miles with no seconds", 0.5, 0, 60000, true, false},
      {"11 s more than the wall time", 0.0, 60, 49000, false, true},
      {"9 s more than the wall time", 0.0, 60, 51000, false, false},
      {"above 10 s but within 10 %", 0.0, 3600, 3300000, false, false},
      {"above 10 s and 10 %", 0.0, 3600, 3250000, false, true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(collector::exceedsSpeed(row.miles, row.seconds, mph), row.speed) << row.name;
    EXPECT_EQ(collector::exceedsWallTime(row.seconds, row.wallMs), row.wallTime) << row.name;
  }
}

// Stored hashes must keep matching the keys players hold: SHA-256, lower-case hex.
TEST(CollectorKeys, HashIsSha256InLowerCaseHex) {
  EXPECT_EQ(collector::hashKey("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// A name is taken only when a report can carry it and the ini reads it back
// unchanged; the reason names the kind of fault.
TEST(CollectorNames, TakesOnlyNamesAReportCarriesUnchanged) {
  const std::string e = "\xC3\xA9";              // é, composed
  const std::string emoji = "\xF0\x9F\x9A\x9A";  // 4 bytes
  struct Row {
    const char* name;
    std::string text;
    std::string reason;  // a part of the refusal, or "" for taken
  } rows[] = {
      {"plain", "Night Owl", ""},
      {"composed", "Jos" + e, ""},
      {"decomposed", "Jose\xCC\x81", "composed form (NFC); composed, it is 'Jos" + e + "'"},
      {"right-to-left letters", "\xD7\xA9\xD7\xA8\xD7\x94", ""},
      {"64 characters of 4 bytes",
       [&] {
         std::string s;
         for (int i = 0; i < 64; ++i) s += emoji;
         return s;
       }(),
       ""},
      {"65 characters", std::string(65, 'a'), "longer than 64 characters"},
      {"64 characters", std::string(64, 'a'), ""},
      {"empty", "", "empty"},
      {"leading space", " Alice", "starts or ends with a space"},
      {"trailing no-break space", "Alice\xC2\xA0", "starts or ends with a space"},
      {"inner space", "Al ice", ""},
      {"newline", "Ali\nce", "control character (U+000A)"},
      {"escape", "\x1B[2JAlice", "control character (U+001B)"},
      {"C1 control", "Alice\xC2\x9B", "control character (U+009B)"},
      {"zero-width joiner",
       "Ali\xE2\x80\x8D"
       "ce",
       "invisible format character (U+200D)"},
      {"byte-order mark",
       "\xEF\xBB\xBF"
       "Alice",
       "invisible format character (U+FEFF)"},
      {"right-to-left override",
       "\xE2\x80\xAE"
       "ecilA",
       "bidirectional control character (U+202E)"},
      {"left-to-right isolate",
       "\xE2\x81\xA6"
       "Alice",
       "bidirectional control character (U+2066)"},
      {"line separator",
       "Ali\xE2\x80\xA8"
       "ce",
       "line or paragraph separator (U+2028)"},
      {"private use", "Alice\xEE\x80\x80", "private-use character (U+E000)"},
      {"unassigned", "Alice\xCD\xB8", "does not assign (U+0378)"},
      {"byte 0xFF", "Alice\xFF", "not UTF-8"},
      {"overlong slash", "Alice\xC0\xAF", "not UTF-8"},
      {"the plug-in's placeholder", "CHANGE_ME", "placeholder"},
  };
  for (const Row& row : rows) {
    const std::string problem = collector::playerNameProblem(row.text);
    if (row.reason.empty()) {
      EXPECT_EQ(problem, "") << row.name;
    } else {
      EXPECT_NE(problem.find(row.reason), std::string::npos) << row.name << ": " << problem;
    }
  }
}

TEST(CollectorNames, RefusesANameConfusableWithAnExistingOne) {
  const std::vector<std::string> existing = {"Alice", "BOB", "barn", "Zo\xC3\xAB", "\xFF\xFE"};
  struct Row {
    const char* name;
    std::string text;
    const char* confusedWith;
  } rows[] = {
      {"Cyrillic A", "\xD0\x90lice", "Alice"},
      {"capital I for l", "AIice", "Alice"},
      {"digit 0 for O", "B0B", "BOB"},
      {"m for rn", "bam", "barn"},
      {"Greek omicron", "Z\xCE\xBF\xC3\xAB", "Zo\xC3\xAB"},
      {"another case", "alice", ""},
      {"another name", "Alicia", ""},
      {"the same letters without the diaeresis", "Zoe", ""},
      {"beside a name that is not UTF-8", "\xC3\xBF\xC3\xBE", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(collector::confusableName(row.text, existing), row.confusedWith) << row.name;
  }
}

}  // namespace

// A new name beside "Night Owl" and "Wifi": refused when a reader could not
// see a character or could take it for one of them, whichever rule finds it.
TEST(CollectorNames, RefusesNamesThatLookLikeAnotherOrHideCharacters) {
  const std::vector<std::string> existing = {"Night Owl", "Wifi"};
  struct Row {
    const char* name;
    std::string text;
    std::string reason;  // a part of the refusal, an existing name, or "" for taken
  } rows[] = {
      {"combining grapheme joiner", "Night\xCD\x8F Owl", "default-ignorable) (U+034F)"},
      {"variation selector 16", "Night Owl\xEF\xB8\x8F", "default-ignorable) (U+FE0F)"},
      {"variation selector 17", "Night Owl\xF3\xA0\x84\x80", "default-ignorable) (U+E0100)"},
      {"Khmer inherent vowel", "Night\xE1\x9E\xB4 Owl", "default-ignorable) (U+17B4)"},
      {"Hangul filler", "Night\xE3\x85\xA4Owl", "Hangul filler, which shows as blank (U+3164)"},
      {"half-width Hangul filler", "Night\xEF\xBE\xA0Owl", "shows as blank (U+FFA0)"},
      {"Hangul choseong filler", "Night\xE1\x85\x9FOwl", "shows as blank (U+115F)"},
      {"Hangul jungseong filler", "Night\xE1\x85\xA0Owl", "shows as blank (U+1160)"},
      {"Braille blank", "Night\xE2\xA0\x80Owl", "Braille blank, which shows as a space (U+2800)"},
      {"replacement character", "Night Owl\xEF\xBF\xBD", "replacement character, left where"},
      {"a leading combining mark", "\xCC\x81Night Owl", "starts with a combining mark (U+0301)"},
      {"a combining low line", "Nigh\xCC\xB2t Owl", "Night Owl"},
      {"a small-capital N", "\xC9\xB4ight Owl", "Night Owl"},
      {"the ideographic space", "Night\xE3\x80\x80Owl", "Night Owl"},
      {"a doubled space", "Night  Owl", "Night Owl"},
      {"all full-width",
       "\xEF\xBC\xAE\xEF\xBD\x89\xEF\xBD\x87\xEF\xBD\x88\xEF\xBD\x94 "
       "\xEF\xBC\xAF\xEF\xBD\x97\xEF\xBD\x8C",
       "Night Owl"},
      {"a full-width N", "\xEF\xBC\xAEight Owl", "Night Owl"},
      {"the ligature fi", "Wi\xEF\xAC\x81", "Wifi"},
      {"accents", "Noche B\xC3\xBAho", ""},
      {"CJK with the ideographic space", "\xE5\xA4\x9C\xE3\x80\x80\xE6\xA2\x9F", ""},
      {"Hangul syllables", "\xEB\xB0\x95\xEC\xA7\x80\xEC\x84\xB1", ""},
      {"a Braille letter", "Night\xE2\xA0\x81Owl", ""},
      {"a vowel mark after the first letter", "\xE0\xB8\xAA\xE0\xB8\xB4\xE0\xB8\x97", ""},
      {"Devanagari with a virama", "\xE0\xA4\xA8\xE0\xA4\xAE\xE0\xA4\xB8\xE0\xA5\x8D", ""},
      {"small capitals beside no capitals like them", "\xC9\xB4ight Day", ""},
      {"no space at all", "NightOwl", ""},
      {"single spaces", "Night Owl Two", ""},
      {"full-width beside no name like it", "\xEF\xBC\xAE\xEF\xBD\x89 Owl", ""},
  };
  for (const Row& row : rows) {
    std::string refusal = collector::playerNameProblem(row.text);
    if (refusal.empty()) refusal = collector::confusableName(row.text, existing);
    if (row.reason.empty()) {
      EXPECT_EQ(refusal, "") << row.name;
    } else {
      EXPECT_NE(refusal.find(row.reason), std::string::npos) << row.name << ": " << refusal;
    }
  }
}
