// The cache of boards, charts and player views, over a real SQLite store that
// the test can hold in the middle of a computation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "board/cache.h"
#include "collector_test_report.h"
#include "store/joined.h"

namespace {

using namespace collector;

constexpr std::int64_t day0 = 20000 * msPerDay;

// A SQLite store whose board reads are counted and can be held until the
// test lets them go; `joined()` is that store with these reads.
class HeldStore : public BoardStore {
 public:
  explicit HeldStore(const std::string& name)
      : path_(testing::TempDir() + "vorn-cache-" + std::to_string(getpid()) + "-" + name + ".db") {
    std::string error;
    store_ = openStore("sqlite:" + path_, error);
    EXPECT_TRUE(store_) << error;
    store_->addPlayer("Ann", "Ann", 0, error);
    StoreRoles roles;
    roles.boards = this;
    joined_ = std::make_unique<JoinedStore>(roles, store_.get());
  }
  ~HeldStore() override {
    store_.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path_ + suffix).c_str());
  }
  // One report of Ann, `miles` counted or flagged, received at `ms`.
  void report(std::int64_t ms, double miles, bool flagged = false) {
    std::vector<AddOutcome> outcomes;
    std::string error;
    EXPECT_TRUE(store_->addReports({testReport("Ann", miles, ms, flagged)}, outcomes, error))
        << error;
  }
  void hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  // Waits until `count` board computations have begun.
  void awaitBoards(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return boards_ >= count; });
  }
  void awaitMarks(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return marks_ >= count; });
  }
  int boards() {
    std::lock_guard<std::mutex> lock(mutex_);
    return boards_;
  }
  int marks() {
    std::lock_guard<std::mutex> lock(mutex_);
    return marks_;
  }
  std::string daysRead() {
    std::lock_guard<std::mutex> lock(mutex_);
    return daysRead_;
  }
  // The boards read since the last call, as days from day0.
  std::string boardsRead() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string read;
    read.swap(boardsRead_);
    return read;
  }
  Store& real() { return *store_; }
  Store& joined() { return *joined_; }

  bool leaderboard(const Period& period, std::vector<LeaderboardRow>& rows,
                   std::string& error) override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++boards_;
      // Days from day0; an open end as nothing.
      const auto day = [](std::int64_t ms, std::int64_t open) {
        return ms == open ? std::string() : std::to_string((ms - day0) / msPerDay);
      };
      boardsRead_ += "[" + day(period.fromMs, Period{}.fromMs) + "," +
                     day(period.untilMs, Period{}.untilMs) + ")";
      changed_.notify_all();
      changed_.wait(lock, [&] { return !held_; });
    }
    return store_->leaderboard(period, rows, error);
  }
  bool communityDays(const Period& period, std::vector<DayTotals>& days,
                     std::string& error) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      daysRead_ += "[" + std::to_string((period.fromMs - day0) / msPerDay) + "," +
                   std::to_string((period.untilMs - day0) / msPerDay) + ")";
    }
    return store_->communityDays(period, days, error);
  }
  bool reviewMark(ReviewMark& mark, std::string& error) override {
    const bool read = store_->reviewMark(mark, error);
    std::lock_guard<std::mutex> lock(mutex_);
    ++marks_;
    changed_.notify_all();
    return read;
  }
  bool reviewedSince(std::int64_t sinceMs, std::vector<ReviewedReport>& reports,
                     std::string& error) override {
    return store_->reviewedSince(sinceMs, reports, error);
  }
  bool playerActivity(const std::string& name, const Period& days, PlayerView& view, bool& found,
                      std::string& error) override {
    return store_->playerActivity(name, days, view, found, error);
  }

 private:
  const std::string path_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<JoinedStore> joined_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  int boards_ = 0, marks_ = 0;
  std::string daysRead_, boardsRead_;
};

// Answers as "status:body", rendered as "miles of the board|miles of the days".
class Reader {
 public:
  explicit Reader(BoardCache& cache) : cache_(cache) {}

  void ask(Period board, std::optional<Period> days = {}, Share share = Share::tabs,
           std::string key = "", std::string stamp = "") {
    ViewRequest request;
    request.stamp = stamp;
    request.share = share;
    request.tabPeriod = share == Share::tabs;
    request.board = board;
    request.days = days;
    request.key =
        key.empty() ? std::to_string(board.fromMs) + " " + std::to_string(board.untilMs) : key;
    cache_.view(
        request,
        [this, key, stamp](const Sources& sources) {
          if (key.rfind("held", 0) == 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            answered_.wait(lock, [this] { return !held_; });
          }
          ++renders;
          {
            std::lock_guard<std::mutex> lock(mutex_);
            ++rendersOf_[key];
          }
          double miles = 0, dayMiles = 0;
          for (const LeaderboardRow& row : *sources.board) miles += row.miles;
          if (sources.days) {
            for (const DayTotals& day : *sources.days) dayMiles += day.miles;
          }
          return Rendered{200, "text/plain",
                          shortText(miles) + "|" + shortText(dayMiles) + stamp};
        },
        [this](BoardAnswer answer, std::shared_ptr<const Rendered> rendered) {
          std::lock_guard<std::mutex> lock(mutex_);
          answers_.push_back(answer == BoardAnswer::ok     ? rendered->body
                             : answer == BoardAnswer::busy ? "busy"
                                                           : "failed");
          answered_.notify_all();
        });
  }
  // Waits for the answers so far and hands them over.
  std::vector<std::string> answers(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    answered_.wait(lock, [&] { return answers_.size() >= count; });
    std::vector<std::string> out;
    out.swap(answers_);
    return out;
  }
  std::size_t answered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_.size();
  }
  std::atomic<int> renders{0};
  int rendersOf(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return rendersOf_[key];
  }
  // Renders of the keys that begin with "held" wait until `hold(false)`.
  void hold(bool held) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = held;
    answered_.notify_all();
  }

  std::string one(Period board, std::optional<Period> days = {}, Share share = Share::tabs,
                  std::string key = "", std::string stamp = "") {
    ask(board, days, share, key, stamp);
    return answers(1).at(0);
  }

 private:
  static std::string shortText(double value) { return std::to_string(static_cast<int>(value)); }
  BoardCache& cache_;
  std::mutex mutex_;
  std::condition_variable answered_;
  std::vector<std::string> answers_;
  std::map<std::string, int> rendersOf_;
  bool held_ = false;
};

BoardCache::Limits limitsOf(std::chrono::milliseconds reuse, std::int64_t nowMs = 0) {
  BoardCache::Limits limits;
  limits.reuse = reuse;
  limits.deadline = std::chrono::minutes(1);
  if (nowMs) limits.now = [nowMs] { return nowMs; };
  return limits;
}

// What is at hand is served at once, while at most one computation of its
// successor runs for all readers; nothing served is older than the reuse
// time plus one computation.
TEST(BoardCache, ServesWhatIsAtHandWhileOneSuccessorComputesWithinTheFreshnessBound) {
  HeldStore store("fresh");
  const auto reuse = std::chrono::milliseconds(1000);
  auto limits = limitsOf(reuse, day0 + msPerDay / 2);  // day 0 open
  // The cache's steady clock stands still but when the test moves it on.
  const auto start = std::chrono::steady_clock::now();
  std::atomic<std::chrono::steady_clock::duration> elapsed{};
  limits.steadyNow = [&] { return start + elapsed.load(); };
  BoardCache cache(store.joined(), limits);
  Reader reader(cache);
  const Period all, later{day0, Period{}.untilMs};
  store.report(day0 + 1000, 5);

  store.hold();
  for (int i = 0; i < 3; ++i) reader.ask(all);  // never computed: they wait, for one computation
  store.awaitBoards(1);
  EXPECT_EQ(reader.answered(), 0u);
  store.release();
  EXPECT_EQ(reader.answers(3), std::vector<std::string>(3, "5|0"));

  EXPECT_EQ(reader.one(all), "5|0");  // at hand, read while fresh
  const int first = store.boards();   // of one computation
  store.report(day0 + 2000, 7);
  store.hold();
  elapsed = elapsed.load() + reuse;
  store.awaitBoards(first + 1);  // its successor began when the reuse time was up
  EXPECT_EQ(reader.one(all), "5|0") << "served while the successor computes";
  EXPECT_EQ(reader.one(all), "5|0");
  EXPECT_EQ(store.boards(), first + 1) << "one successor for all readers";
  // Never past the bound, however long the successor takes: its readers wait.
  elapsed = elapsed.load() + 2 * limits.deadline - std::chrono::milliseconds(1);
  EXPECT_EQ(reader.one(all), "5|0") << "a millisecond within the bound";
  elapsed = elapsed.load() + std::chrono::milliseconds(1);
  reader.ask(all);
  EXPECT_EQ(reader.answered(), 0u) << "at the bound";
  store.release();
  EXPECT_EQ(reader.answers(1), std::vector<std::string>{"12|0"});
  EXPECT_EQ(reader.one(all), "12|0");

  // Readers of an answer not rendered yet from the values at hand wait for
  // one rendering, however many come while it waits for the thread.
  reader.hold(true);
  reader.ask(all, {}, Share::tabs, "held");
  for (int i = 0; i < 5; ++i) reader.ask(all, {}, Share::tabs, "new");
  reader.hold(false);
  EXPECT_EQ(reader.answers(6), std::vector<std::string>(6, "12|0"));
  EXPECT_EQ(reader.rendersOf("held") + reader.rendersOf("new"), 2);

  // A board nobody read within the reuse time is not served again: its
  // reader waits for the successor, which has the report made meanwhile.
  EXPECT_EQ(reader.one(later), "12|0");
  const int before = store.boards();
  elapsed = elapsed.load() + reuse + reuse / 2;
  // The board read while fresh has one successor, through its timer or this read.
  EXPECT_EQ(reader.one(all), "12|0");
  store.awaitBoards(before + 1);
  const int computed = store.boards();
  store.report(day0 + 3000, 1);
  EXPECT_EQ(reader.one(later), "13|0");
  EXPECT_EQ(store.boards(), computed + 1);

  // Once rendered, an answer's readers do not wait for the next rendering:
  // the previous one is served meanwhile, if it was rendered within the
  // reuse time, else they wait.
  const auto readUntil = [&](const std::string& key, const std::string& miles) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (reader.one(later, {}, Share::tabs, key) != miles) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << key;
    }
  };
  const auto renderedThen = [&](const char* miles) {
    readUntil("probe", miles);
    reader.hold(true);
    reader.ask(later, {}, Share::tabs, "held later");
  };
  const auto ms = std::chrono::milliseconds(1);
  elapsed = elapsed.load() + ms;  // "13|0" computed a millisecond ago
  EXPECT_EQ(reader.one(later, {}, Share::tabs, "held later"), "13|0");
  store.report(day0 + 4000, 2);
  elapsed = elapsed.load() + reuse - ms;  // the values' successor due, the answer's age reuse - 1
  renderedThen("15|0");
  const std::size_t atOnce = reader.answered();
  reader.hold(false);
  EXPECT_EQ(atOnce, 1u) << "within the reuse time";
  EXPECT_EQ(reader.answers(1), std::vector<std::string>{"13|0"});
  readUntil("held later", "15|0");
  store.report(day0 + 5000, 1);
  elapsed = elapsed.load() + reuse;
  renderedThen("16|0");
  const bool waited = reader.answered() == 0;
  reader.hold(false);
  EXPECT_TRUE(waited) << "at the reuse time";
  EXPECT_EQ(reader.answers(1), std::vector<std::string>{"16|0"});
}

// Closed days are read once and kept; a review (here straight through the
// store, as the `flags` command of another process makes it) drops only the
// days it touches, and the boards and charts that include them.
TEST(BoardCache, KeepsClosedDaysUntilAReviewTouchesThem) {
  HeldStore store("closed");
  store.report(day0 + 1000, 10, true);  // report 1, flagged, day 0
  store.report(day0 + msPerDay, 3);     // day 1
  const std::int64_t today = day0 + 10 * msPerDay + msPerDay / 2;
  BoardCache cache(store.joined(), limitsOf(std::chrono::milliseconds(0), today));
  Reader reader(cache);
  const Period day0Board{day0, day0 + msPerDay}, day1Board{day0 + msPerDay, day0 + 2 * msPerDay};
  const Period chart{day0, today + msPerDay};
  const auto all = [&] {
    return reader.one(day0Board, chart, Share::tabs, "0") + " " +
           reader.one(day1Board, chart, Share::tabs, "1");
  };
  EXPECT_EQ(all(), "0|3 3|3");
  // Reused for no time: today's part of the chart is read for each answer.
  EXPECT_EQ(store.daysRead(), "[0,10)[10,11)[10,11)") << "the closed days at once";
  const int boards = store.boards();
  EXPECT_EQ(all(), "0|3 3|3");
  EXPECT_EQ(store.boards(), boards) << "closed boards are kept";
  EXPECT_EQ(store.daysRead(), "[0,10)[10,11)[10,11)[10,11)[10,11)") << "only today is read";
  EXPECT_EQ(cache.closedDays(), 10u);

  std::string error;
  ASSERT_TRUE(store.real().reviewFlags({1}, true, today, error)) << error;
  for (;;) {
    const int marks = store.marks();
    if (all() == "10|13 3|13") break;
    store.awaitMarks(marks + 1);  // each answer has the mark read again
  }
  EXPECT_EQ(store.boards(), boards + 1) << "day 0's board alone";
  EXPECT_EQ(store.daysRead().find("[1,"), std::string::npos) << "day 1 is not read again";
  EXPECT_NE(store.daysRead().find("[0,1)"), std::string::npos) << "day 0 is";

  // A period whose last day is today is not closed: today's next report reaches it.
  const Period untilToday{day0 + 4 * msPerDay, day0 + 11 * msPerDay};
  EXPECT_EQ(reader.one(untilToday), "0|0");
  store.report(today, 4);
  EXPECT_EQ(reader.one(untilToday), "4|0");

  // A report that lands on a closed day, as one does when the machine's clock
  // was set back, touches that day as a review would; one on an open day
  // touches nothing kept.
  store.report(day0 + 2000, 5);
  cache.stored({day0 + 2000});
  // Served while its successor computes, as after a review: read until it comes.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (all() != "15|22 3|22") ASSERT_LT(std::chrono::steady_clock::now(), deadline);
  const int kept = store.boards();
  cache.stored({today});
  EXPECT_EQ(all(), "15|22 3|22");
  EXPECT_EQ(store.boards(), kept) << "nothing closed was touched";
}

// A board of closed and open days, the all-time board among them, is the
// kept board of its closed days and the open days read afresh; as a day
// closes, the kept board grows by that day alone. No report is missed or counted twice on either
// side of midnight or of the end of the time a day stays open after it.
TEST(BoardCache, SumsAnOpenPeriodFromItsKeptClosedDaysAndTheOpenDays) {
  const std::int64_t open = 10 * 60000;  // yesterday stays open ten minutes past midnight
  const struct {
    const char* name;
    std::int64_t nowMs;  // of the second computation; the first at day0 - 2 h
    const char* read;    // by the second computation, days from day0
  } rows[] = {
      {"before midnight", day0 - 1, "[-1,)"},
      {"at midnight", day0, "[-1,)"},
      {"yesterday's last open moment", day0 + open - 1, "[-1,)"},
      {"yesterday closed", day0 + open, "[-1,0)[0,)"},
  };
  for (const auto& row : rows) {
    HeldStore store("open" + std::to_string(&row - rows));
    store.report(day0 - 2 * msPerDay + 1000, 1);
    store.report(day0 - msPerDay + 1000, 10);
    std::atomic<std::int64_t> now{day0 - 2 * 3600000};
    auto limits = limitsOf(std::chrono::milliseconds(0));
    limits.now = [&now] { return now.load(); };
    BoardCache cache(store.joined(), limits);
    Reader reader(cache);
    const Period since{day0 - 2 * msPerDay, Period{}.untilMs};
    EXPECT_EQ(reader.one(since), "11|0") << row.name;
    EXPECT_EQ(store.boardsRead(), "[-2,-1)[-1,)") << row.name;
    EXPECT_EQ(reader.one(Period{}), "11|0") << row.name << ", all time";
    store.boardsRead();
    store.report(day0 - 1, 100);  // received before midnight, stored after
    store.report(day0, 1000);
    now = row.nowMs;
    EXPECT_EQ(reader.one(since), "1111|0") << row.name;
    EXPECT_EQ(store.boardsRead(), row.read) << row.name;
    EXPECT_EQ(reader.one(Period{}), "1111|0") << row.name << ", all time";
  }
}

// The values of each share stay within its room: what does not fit is answered
// and dropped (other periods) or pushes out the least recently read (tabs,
// players); many periods asked at once never turn the tabs away.
TEST(BoardCache, StaysWithinItsRoomAndKeepsTheTabsAnswered) {
  const std::int64_t today = day0 + 100 * msPerDay;
  const auto period = [&](int n) { return Period{day0 - n * msPerDay, day0}; };
  // Each view keeps two values, its board and its answer; it is kept when
  // asked again without a computation or a rendering.
  std::size_t viewBytes = 0;  // of one view of an empty board
  {
    HeldStore store("measure");
    BoardCache cache(store.joined(), limitsOf(std::chrono::minutes(1), today));
    Reader(cache).one(period(1), {}, Share::others, "v1");
    viewBytes = cache.room(Share::others).bytes;
  }
  const struct {
    const char* name;
    std::size_t entries, bytes;  // the room of the share
    Share share;
    bool kept[3];
  } rows[] = {
      {"other periods, two views fit", 4, 2 * viewBytes, Share::others, {true, true, false}},
      {"other periods, a byte short", 4, 2 * viewBytes - 1, Share::others, {true, false, false}},
      {"other periods, an entry short", 3, 2 * viewBytes, Share::others, {true, false, false}},
      {"tabs, the least recently read goes", 4, 2 * viewBytes, Share::tabs, {false, true, true}},
  };
  for (const auto& row : rows) {
    HeldStore store(std::string("room") + std::to_string(&row - rows));
    auto limits = limitsOf(std::chrono::minutes(1), today);
    // A quarter of the entries each; the tabs half of the bytes, the others a quarter.
    limits.maxEntries = 4 * row.entries;
    limits.maxBytes = (row.share == Share::tabs ? 2 : 4) * row.bytes;
    BoardCache cache(store.joined(), limits);
    Reader reader(cache);
    for (int n = 1; n <= 3; ++n) reader.one(period(n), {}, row.share, "v" + std::to_string(n));
    for (int n = 3; n >= 1; --n) {
      const int boards = store.boards(), renders = reader.renders;
      reader.one(period(n), {}, row.share, "v" + std::to_string(n));
      EXPECT_EQ(store.boards() == boards && reader.renders == renders, row.kept[n - 1])
          << row.name << ", view " << n;
    }
    EXPECT_LE(cache.room(row.share).entries, row.entries) << row.name;
    EXPECT_LE(cache.room(row.share).bytes, row.bytes) << row.name;
  }

  // Thousands of distinct periods at once, and the tabs between them.
  HeldStore store("crowd");
  store.report(day0 - 1000, 2);
  auto limits = limitsOf(std::chrono::minutes(1), today);
  limits.maxEntries = 64;
  limits.maxBytes = 64 * viewBytes;
  BoardCache cache(store.joined(), limits);
  Reader crowd(cache), tabs(cache);
  store.hold();
  tabs.ask(period(1));
  store.awaitBoards(1);
  for (int n = 2; n < 3002; ++n) crowd.ask(period(n), {}, Share::others, "c" + std::to_string(n));
  tabs.ask(period(2));  // waits behind one computation, not behind the crowd
  store.release();
  EXPECT_EQ(tabs.answers(2), std::vector<std::string>(2, "2|0"));
  std::size_t busy = 0;
  for (const std::string& answer : crowd.answers(3000)) busy += answer == "busy";
  EXPECT_GT(busy, 2900u) << "at most a queue of them is computed";
  for (const Share share : {Share::tabs, Share::players, Share::others}) {
    EXPECT_LE(cache.room(share).entries, cache.limit(share).entries);
    EXPECT_LE(cache.room(share).bytes, cache.limit(share).bytes);
  }
  EXPECT_EQ(tabs.one(period(1)), "2|0");
}

// An answer whose stamp moved on (the time changed what it says, or a list it
// shows) is rendered again in its place: never served, never kept beside it.
TEST(BoardCache, KeepsOneAnswerAQuestionWhateverItsStamps) {
  HeldStore store("stamps");
  store.report(day0 - 1000, 2);
  BoardCache cache(store.joined(), limitsOf(std::chrono::minutes(1), day0 + msPerDay));
  Reader reader(cache);
  const Period board{day0 - msPerDay, day0};
  EXPECT_EQ(reader.one(board, {}, Share::others, "q", " at 1"), "2|0 at 1");
  const BoardCache::Room one = cache.room(Share::others);
  for (int at = 2; at <= 50; ++at) {
    const std::string stamp = " at " + std::to_string(at);
    EXPECT_EQ(reader.one(board, {}, Share::others, "q", stamp), "2|0" + stamp);
    EXPECT_EQ(reader.one(board, {}, Share::others, "q", stamp), "2|0" + stamp);
  }
  EXPECT_EQ(reader.rendersOf("q"), 50) << "once a stamp, served again while it holds";
  EXPECT_EQ(store.boards(), 1);
  EXPECT_EQ(cache.room(Share::others).entries, one.entries);
  EXPECT_EQ(cache.room(Share::others).bytes, one.bytes);
  // Another question takes a place of its own.
  EXPECT_EQ(reader.one(board, {}, Share::others, "r", " at 50"), "2|0 at 50");
  EXPECT_EQ(cache.room(Share::others).entries, one.entries + 1);
}

}  // namespace
