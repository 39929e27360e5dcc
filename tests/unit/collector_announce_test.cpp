// Announcements: what a chat message may carry, the milestones, which week's
// results are due, the webhooks taken, and when a failed post is tried again
// (their recording and delivery: the store contract and test_collector's
// Announcements).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "announce/results.h"
#include "announce/retry.h"
#include "announce/webhook.h"
#include "core/announce.h"

namespace {

using namespace collector;

const std::string zwsp = "\xE2\x80\x8B";

TEST(CollectorAnnounce, ChatTextCannotFormatOrMention) {
  const struct {
    std::string text, safe;
  } rows[] = {
      {"Night Owl", "Night Owl"},
      {"Ünïcödé 運転手", "Ünïcödé 運転手"},
      {"*b* _i_ ~s~ `c` |sp| > q # h", R"(\*b\* \_i\_ \~s\~ \`c\` \|sp\| \> q \# h)"},
      {"[link](https://x.example)", R"(\[link\]\(https:)" + zwsp + R"(//x.example\))"},
      {R"(back\slash)", R"(back\\slash)"},
      {"@everyone", "@" + zwsp + "everyone"},
      {"@here", "@" + zwsp + "here"},
      {"<@123> <@!123> <@&456>",
       "<@" + zwsp + "123\\> <@" + zwsp + "!123\\> <@" + zwsp + "&456\\>"},
      {"<#789>", R"(<\#789\>)"},
      {"a\x01\tb\nc\x7f"
       "d",
       "abcd"},
      {"c1\xC2\x85\xC2\x9F"
       "end",
       "c1end"},  // C1 controls
      {"\xE2\x80\xAE"
       "rtl\xE2\x81\xA6\xD8\x9C",
       "rtl"},                                                           // bidirectional controls
      {"\xC2\xA0nbsp \xE2\x80\x8Dzwj", "\xC2\xA0nbsp \xE2\x80\x8Dzwj"},  // not controls
      {"Hook \xE2\x80\xA6 https://evil.example/p0",
       "Hook \xE2\x80\xA6 https:" + zwsp + "//evil.example/p0"},  // neither linked nor previewed
      {"http://a HTTP://b", "http:" + zwsp + "//a HTTP:" + zwsp + "//b"},
      {"https:/\x01/a", "https:" + zwsp + "//a"},  // a dropped control makes no link
      {"1:2 a:/b c//d", "1:2 a:/b c//d"},
  };
  for (const auto& row : rows) EXPECT_EQ(chatSafe(row.text), row.safe) << row.text;
}

TEST(CollectorAnnounce, AMilestoneIsPassedOnceAtItsMile) {
  const struct {
    double before, after;
    std::vector<std::int64_t> passed;
  } rows[] = {
      {999.999998, 999.999999, {}},
      {999.999999, 1000, {1000}},
      {1000, 1000.5, {}},
      {999.9999994, 999.9999996, {1000}},  // whole millionths, as the totals add them
      {4999, 10000, {5000, 10000}},
      {0, 100000, {1000, 5000, 10000, 50000, 100000}},
      {100000, 1e9, {}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(milestonesPassed(row.before, row.after), row.passed)
        << row.before << " " << row.after;
  }
}

TEST(CollectorAnnounce, TheWeekBeforeIsAnIsoWeekAcrossYearEnds) {
  const struct {
    std::int64_t ms;
    IsoWeek week;
  } rows[] = {
      {1796601600000, {2026, 49, 20787}},  // Monday 2026-12-07 00:00
      {1796601599999, {2026, 48, 20780}},  // the Sunday before, its last millisecond
      {1799020800000, {2026, 53, 20815}},  // 2027-01-04: 2026 has 53 weeks
      {1767614400000, {2026, 1, 20451}},   // 2026-01-05: week 1 began on 2025-12-29
      {1767528000000, {2025, 52, 20444}},
  };
  for (const auto& row : rows) {
    const IsoWeek week = weekBefore(row.ms);
    EXPECT_EQ(std::make_tuple(week.year, week.week, week.firstDay),
              std::make_tuple(row.week.year, row.week.week, row.week.firstDay))
        << row.ms;
  }
}

// Results are due once settled: a week from Monday 00:10, an event ten
// minutes after its end, and no event that ended more than a week ago.
TEST(CollectorAnnounce, ResultsAreDueOnceSettledAndEventsForAWeek) {
  const std::int64_t monday = 1796601600000;  // 2026-12-07 00:00
  EXPECT_EQ(weekToAnnounce(monday + resultsSettleMs).week, 49);
  EXPECT_EQ(weekToAnnounce(monday + resultsSettleMs - 1).week, 48);
  const std::int64_t end = monday;
  const struct {
    std::int64_t nowMs;
    bool due;
  } rows[] = {
      {end + resultsSettleMs - 1, false},
      {end + resultsSettleMs, true},
      {end + eventsLookBackMs, true},
      {end + eventsLookBackMs + 1, false},
  };
  for (const auto& row : rows) EXPECT_EQ(eventResultsDue(end, row.nowMs), row.due) << row.nowMs;
}

// A month's results are due on the 1st of the next at 00:10 UTC, across a
// year's end and in a short month alike.
TEST(CollectorAnnounce, AMonthIsDueOnTheFirstOfTheNextOnceSettled) {
  const std::int64_t december = 1796083200000;  // 2026-12-01 00:00
  const struct {
    std::int64_t nowMs;
    CalendarMonth month;
  } rows[] = {
      {december + resultsSettleMs - 1, {2026, 10, 20727, 20758}},
      {december + resultsSettleMs, {2026, 11, 20758, 20788}},
      {1798761600000 + resultsSettleMs - 1, {2026, 11, 20758, 20788}},  // 2027-01-01
      {1798761600000 + resultsSettleMs, {2026, 12, 20788, 20819}},
      {1803859200000 + resultsSettleMs, {2027, 2, 20850, 20878}},  // 2027-03-01: 28 days
  };
  for (const auto& row : rows) {
    const CalendarMonth month = monthToAnnounce(row.nowMs);
    EXPECT_EQ(
        std::make_tuple(month.year, month.month, month.firstDay, month.untilDay),
        std::make_tuple(row.month.year, row.month.month, row.month.firstDay, row.month.untilDay))
        << row.nowMs;
  }
}

// Not recorded again a week after the month's end, when the outbox may have
// forgotten it (the 31st of the next month) while it is still the last ended.
TEST(CollectorAnnounce, AMonthIsDueForAWeekOnly) {
  const CalendarMonth november{2026, 11, 20758, 20788};
  const std::int64_t end = 1796083200000;  // 2026-12-01 00:00
  EXPECT_FALSE(monthResultsDue(november, end + resultsSettleMs - 1));
  EXPECT_TRUE(monthResultsDue(november, end + monthsLookBackMs));
  EXPECT_FALSE(monthResultsDue(november, end + monthsLookBackMs + 1));
  EXPECT_FALSE(monthResultsDue(november, end + 30 * msPerDay));  // 2026-12-31, pruned by then
  EXPECT_EQ(monthToAnnounce(end + 30 * msPerDay).month, 11);
}

// With the collector's public URL each results post ends with its page, in
// the brackets that keep a chat from previewing it; without one, no link.
TEST(CollectorAnnounce, ResultsLinkToTheirBoardOrEventOnlyWithAPublicUrl) {
  const std::vector<Standing> top = {{"Ann", 12, 1, 3600}};
  const std::string url = "https://vorn.example/hub";
  const CalendarMonth november{2026, 11, 20758, 20788};
  const struct {
    std::string post;
    const char* ends;
  } rows[] = {
      {weekMessage(2026, 49, 20787, top, boardUrl(url, 20787, 20793)),
       "12.0 mi, 1.0 h\n<https://vorn.example/hub/?since=2026-11-30&until=2026-12-06>"},
      {weekMessage(2026, 49, 20787, top, boardUrl("", 20787, 20793)), "12.0 mi, 1.0 h"},
      {monthMessage(november, top, boardUrl(url, november.firstDay, november.untilDay - 1)),
       "12.0 mi, 1.0 h\n<https://vorn.example/hub/?since=2026-11-01&until=2026-11-30>"},
      {monthMessage(november, top, boardUrl("", november.firstDay, november.untilDay - 1)),
       "12.0 mi, 1.0 h"},
      {eventMessage("Convoy", 1, top, eventUrl(url, 7)),
       "12.0 mi, 1.0 h\n<https://vorn.example/hub/events/7>"},
      {eventMessage("Convoy", 1, top, eventUrl("", 7)), "12.0 mi, 1.0 h"},
      {milestoneMessage("Ann & Bo", 1000, url),
       "counted miles.\n<https://vorn.example/hub/players/Ann%20%26%20Bo>"},
      {milestoneMessage("Ann & Bo", 1000, ""), "**Ann & Bo** has driven 1,000 counted miles."},
  };
  for (const auto& row : rows) {
    const std::string& post = row.post;
    EXPECT_EQ(post.substr(post.size() - std::min(post.size(), std::strlen(row.ends))), row.ends)
        << post;
  }
  EXPECT_EQ(monthMessage(november, top).substr(0, 47),
            "**November 2026** (2026-11-01 to 2026-11-30), t");
}

// The results count the players the board places: counted miles, to a
// millionth of a mile; flagged reports alone place no one.
TEST(CollectorAnnounce, ResultsCountOnlyThePlayersWithAPlace) {
  const auto row = [](const char* name, double miles, std::int64_t flagged) {
    LeaderboardRow line;
    line.playerName = name;
    line.miles = miles;
    line.reports = miles > 0 ? 1 : 0;
    line.flaggedReports = flagged;
    return line;
  };
  std::int64_t drivers = 0;
  const auto top =
      topOf({row("Ann", 12, 0), row("Bo", 0.000001, 1), row("Cy", 0, 3), row("Dee", 0, 0)}, drivers);
  EXPECT_EQ(drivers, 2);
  ASSERT_EQ(top.size(), 2u);
  EXPECT_EQ(top[1].name, "Bo");
}

TEST(CollectorAnnounce, ThePublicUrlIsHttpsOrLoopbackHttp) {
  const struct {
    const char* url;
    bool taken;
  } rows[] = {
      {"https://vorn.example", true},
      {"https://vorn.example:8443/hub", true},
      {"http://127.0.0.1:8787", true},
      {"http://127.1.2.3", true},
      {"http://localhost:8787", true},
      {"http://[::1]:8787", true},
      {"http://vorn.example", false},
      {"http://localhost.evil.example", false},
      {"http://127.0.0.1.evil.example", false},
      {"http://128.0.0.1", false},
      {"ftp://vorn.example", false},
      {"https://", false},
      {"https://user@vorn.example", false},
      {"https://vorn.example/?a=b", false},
      {"https://vorn.example/#top", false},
      {"https://vorn example", false},
      {"https://vorn.example/<b>", false},
  };
  for (const auto& row : rows) EXPECT_EQ(publicUrlProblem(row.url).empty(), row.taken) << row.url;
}

// A plain http:// webhook only on this machine: elsewhere its token would
// travel in clear.
TEST(CollectorAnnounce, AWebhookIsAnHttpUrlAndItsProblemNeverShowsIt) {
  const struct {
    const char* url;
    const char* logName;  // nullptr: refused
  } rows[] = {
      {"https://chat.example/api/webhooks/1/SECRET", "webhook 3 (chat.example)"},
      {"HTTP://127.0.0.1:8080/hook/SECRET", "webhook 3 (127.0.0.1)"},
      {"http://127.255.0.9/hook/SECRET", "webhook 3 (127.255.0.9)"},
      {"http://LocalHost:8080/hook/SECRET", "webhook 3 (localhost)"},
      {"http://[::1]:8080/hook/SECRET", "webhook 3 ([::1])"},
      {"http://chat.example/api/webhooks/1/SECRET", nullptr},
      {"http://128.0.0.1/hook/SECRET", nullptr},
      {"http://126.255.255.255/hook/SECRET", nullptr},
      {"http://127.0.0.1.chat.example/hook/SECRET", nullptr},
      {"http://localhost.chat.example/hook/SECRET", nullptr},
      {"http://[::2]/hook/SECRET", nullptr},
      {"chat.example/api/webhooks/1/SECRET", nullptr},  // curl would guess a scheme
      {"ftp://chat.example/SECRET", nullptr},
      {"file:///SECRET", nullptr},
      {"https:///SECRET", nullptr},
      {"SECRET", nullptr},
  };
  for (const auto& row : rows) {
    Webhook webhook;
    std::string problem;
    EXPECT_EQ(checkWebhook(row.url, 3, webhook, problem), row.logName != nullptr) << row.url;
    if (row.logName) {
      EXPECT_EQ(webhook.name, row.logName);
      EXPECT_EQ(webhook.hash.size(), 64u);
    } else {
      EXPECT_EQ(problem.rfind("webhook 3 ", 0), 0u) << problem;
      EXPECT_EQ(problem.find("SECRET"), std::string::npos) << problem;
    }
  }
}

TEST(CollectorAnnounce, RetriesGrowHonourRetryAfterAndEndAfterADay) {
  const struct {
    const char* value;
    std::int64_t ms;  // -1: not taken
  } retryAfter[] = {{"1", 1000},       {"0", 1000},
                    {"0.999", 1000},   {"1.0001", 1001},
                    {"2.5", 2500},     {"3600", 3600000},
                    {"3601", 3600000}, {"99999999999", 3600000},
                    {"", -1},          {"-1", -1},
                    {"1.", -1},        {" 1", -1},
                    {"1e3", -1},
                    // an HTTP date, from now (07:27:30)
                    {"Wed, 21 Oct 2026 07:28:00 GMT", 30000},
                    {"Wed, 21 Oct 2026 07:27:32 GMT", 2000},
                    {"Wed, 21 Oct 2026 07:27:31 GMT", 1000},
                    {"Wed, 21 Oct 2026 07:27:00 GMT", 1000},
                    {"Wed, 21 Oct 2026 08:27:29 GMT", 3599000},
                    {"Wed, 21 Oct 2026 08:27:31 GMT", 3600000},
                    {"Wed, 21 Oct 2026 07:28:00 UTC", -1},
                    {"Thu, 21 Oct 2026 07:28:00 GMT", -1},  // not that date's weekday
                    {"Sat, 31 Oct 2026 07:28:00 GMT", 3600000},
                    {"Sun, 31 Feb 2026 07:28:00 GMT", -1},
                    {"Wed, 21 Oct 2026 24:00:00 GMT", -1},
                    {"Wed, 21 oct 2026 07:28:00 GMT", -1},
                    {"Wed, 21 Oct 2026 07:28:00 GMT ", -1},
                    {"Wed, 21 Oct 2026 07:28 GMT", -1},
                    {"Wednesday, 21-Oct-26 07:28:00 GMT", -1},
                    // by its value, not its width
                    {"00000000", 1000}, {"0000000002.5", 2500},
                    {"000000003600", 3600000}, {"000000003601", 3600000},
                    {"9999999", 3600000}, {"0000000000000000000000000001", 1000}};
  const std::int64_t now = 1792567650000;  // 2026-10-21 07:27:30 UTC
  for (const auto& row : retryAfter) {
    std::int64_t ms = -1;
    EXPECT_EQ(parseRetryAfter(row.value, now, ms), row.ms >= 0) << row.value;
    if (row.ms >= 0) {
      EXPECT_EQ(ms, row.ms) << row.value;
    }
  }
  // The bounds as the operators' guide gives them, not as the code names
  // them: a bound doubled or cut tenfold fails a row.
  const std::int64_t made = 1000000, day = 86400000, goneAfter = 3;
  const struct {
    std::int64_t attempts, now;
    long status;  // 0: no answer
    std::int64_t retryAfter, next;  // next -1: given up
  } tries[] = {
      {1, made, 0, 0, made + 5000},
      {2, made, 500, 0, made + 10000},
      {8, made, 0, 0, made + 600000},  // 640 s: held at 10 min
      {50, made, 0, 0, made + 600000},
      {3, made, 429, 1000, made + 1000},
      {9, made + day - 600000, 0, 0, made + day},
      {9, made + day - 599999, 0, 0, -1},
      {1, made + day - 1000, 429, 1000, made + day},
      {1, made + day - 999, 429, 1000, -1},
      // A webhook deleted or wrong: a few tries, not a day's.
      {goneAfter - 1, made, 404, 0, made + 10000},
      {goneAfter, made, 404, 0, -1},
      {goneAfter, made, 401, 0, -1},
      {goneAfter, made, 403, 0, -1},
      {goneAfter, made, 410, 0, -1},
      {goneAfter, made, 400, 0, made + 20000},
      {goneAfter, made, 500, 0, made + 20000},
  };
  for (const auto& row : tries) {
    std::int64_t next = 0;
    const bool again = nextTry(made, row.attempts, row.now, row.status, row.retryAfter, next);
    EXPECT_EQ(again, row.next >= 0) << row.attempts << " " << row.now;
    if (again) {
      EXPECT_EQ(next, row.next) << row.attempts;
    }
  }
}

TEST(CollectorAnnounce, TheBodyPingsNoOneAndCarriesTheSafeText) {
  const std::vector<Standing> top = {{"@everyone *Ann*", 1234.56, 3, 45000}, {"Bob", 7, 1, 59}};
  const auto body = nlohmann::json::parse(webhookBody(weekMessage(2026, 49, 20787, top) + "\n" +
                                                      eventMessage("Convoy [1]", 12, {}) + "\n" +
                                                      milestoneMessage("<@1>", 10000)));
  EXPECT_EQ(body["allowed_mentions"], nlohmann::json::parse(R"({"parse": []})"));
  EXPECT_EQ(body["content"],
            "**Week 49 of 2026** (2026-11-30 to 2026-12-06), the top drivers:\n"
            "1. @" +
                zwsp +
                "everyone \\*Ann\\*: 1,234.6 mi, 12.5 h\n"
                "2. Bob: 7.0 mi, 0.0 h\n"
                "**Convoy \\[1\\]** has ended: 12 players drove.\n"
                "**<@" +
                zwsp + "1\\>** has driven 10,000 counted miles.");
}

}  // namespace
