// The front's own decisions, each at the edges of its limits: what a head
// alone earns, the per-key rate at its window's edge, the group commit
// against a real SQLite store that fails and then recovers, and which
// readers get an answer gzipped.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/gzip.h"
#include "http/committer.h"
#include "http/head_check.h"
#include "http/message.h"
#include "http/rate_limit.h"
#include "store/store.h"

namespace {

using namespace collector;

TEST(CollectorHeadCheck, EachLimitOnBothSides) {
  const std::uint64_t most = maxBodyBytes;
  struct Row {
    const char* name;
    RequestHead head;
    int status;  // 0: the body is read
  } rows[] = {
      {"GET without a body", {false, false, false, false, {}}, 0},
      {"GET declaring the most a body may hold", {false, false, false, false, most}, 0},
      {"GET declaring a byte more", {false, false, false, false, most + 1}, 413},
      {"POST of the most a body may hold", {false, true, false, false, most}, 0},
      {"POST of a byte more", {false, true, false, false, most + 1}, 413},
      {"POST of an empty body", {false, true, false, false, 0}, 0},
      {"POST without a length", {false, true, false, false, {}}, 411},
      {"POST chunked", {false, true, false, true, {}}, 411},
      {"POST chunked with a length as well", {false, true, false, true, 9}, 411},
      {"POST content-coded", {false, true, true, false, 9}, 415},
      {"POST content-coded and too long: the coding is named",
       {false, true, true, false, most + 1},
       415},
      {"a head that went past its limit", {true, false, false, false, {}}, 431},
      {"a POST whose head went past its limit", {true, true, false, false, 9}, 431},
      {"HTTP/1.1 without Host", {false, false, false, false, {}, true, 0}, 400},
      {"HTTP/1.1 with two Host fields", {false, true, false, false, 9, true, 2}, 400},
      {"HTTP/1.0 without Host", {false, false, false, false, {}, false, 0}, 0},
  };
  for (const Row& row : rows) {
    const auto refusal = checkHead(row.head);
    EXPECT_EQ(refusal ? refusal->status : 0, row.status) << row.name;
  }
}

TEST(CollectorRateLimit, CountsWithinAMinuteToTheMillisecond) {
  RateLimit rate(2);
  struct Row {
    const char* name;
    const char* key;
    std::int64_t atMs;
    std::int64_t wait;  // seconds until it may, 0: taken
  } rows[] = {
      {"first", "a", 0, 0},
      {"second", "a", 1000, 0},
      {"third, at once: a whole minute to wait", "a", 1, 60},
      {"third, 1001 ms before the first leaves: 2 s, rounded up", "a", 58999, 2},
      {"third, 1000 ms before: 1 s", "a", 59000, 1},
      {"third, the last millisecond of the first's minute", "a", 59999, 1},
      {"another key is counted apart", "b", 59999, 0},
      {"third, the first's minute over", "a", 60000, 0},
      {"fourth, the last millisecond of the second's minute", "a", 60999, 1},
      {"fourth, the second's minute over", "a", 61000, 0},
  };
  for (const Row& row : rows) EXPECT_EQ(rate.take(row.key, row.atMs), row.wait) << row.name;

  // A report given back does not count; one given back twice frees no more.
  rate.giveBack("a", 61000);
  rate.giveBack("a", 61000);
  EXPECT_EQ(rate.take("a", 61001), 0);
  EXPECT_EQ(rate.take("a", 61002), 59);  // until the minute of the one at 60000 is over
  RateLimit unlimited(0);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(unlimited.take("a", 0), 0);
}

// The answers the committer gave, as they come in from its thread.
class Answers {
 public:
  Committer::Done expect() {
    return [this](bool stored, AddOutcome outcome) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++(stored ? (outcome == AddOutcome::stored ? stored_ : other_) : refused_);
      changed_.notify_all();
    };
  }
  // "stored/refused/other" once `count` answers are in, or what is in after a minute.
  std::string await(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::minutes(1),
                      [&] { return stored_ + refused_ + other_ >= count; });
    return std::to_string(stored_) + "/" + std::to_string(refused_) + "/" + std::to_string(other_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int stored_ = 0, refused_ = 0, other_ = 0;
};

// A SQLite store with one player, Ann, in a file of this process's own (the
// sanitizer builds of these tests may run at the same time), another
// connection to it, and a report of Ann's.
class CommitterStore : public testing::Test {
 protected:
  void SetUp() override {
    removeFiles();
    std::string error;
    store = openStore("sqlite:" + path, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->addPlayer("Ann", "ann-key", 0, error)) << error;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    sqlite3_busy_timeout(other, 60000);  // the store's own writes (a health probe) come between
    static_cast<ReportBody&>(report) = {"Ann", "s1", 0.5, 30, "T", "R"};
    report.keyHash = "ann-key";
    report.checkWallTime = false;
  }
  void TearDown() override {
    sqlite3_close(other);
    store.reset();
    removeFiles();
  }
  void removeFiles() {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  }
  // Runs SQL on the other connection.
  void sql(const char* text) {
    EXPECT_EQ(sqlite3_exec(other, text, nullptr, nullptr, nullptr), SQLITE_OK) << text;
  }

  const std::string path =
      testing::TempDir() + "vorn-committer-" + std::to_string(getpid()) + ".db";
  std::unique_ptr<Store> store;
  sqlite3* other = nullptr;
  IncomingReport report;
  Metrics metrics;
};

TEST(CollectorHealth, AnOutcomeStandsTwoSecondsThenAHealthzProbes) {
  // An outcome of 1 s stands; so does one of 1999 ms; from 2 s a /healthz
  // starts a probe that writes (twice or a tenth the time fails a row).
  for (const auto& [ageMs, stale] : {std::pair{std::int64_t{0}, false},
                                     {std::int64_t{199}, false},
                                     {std::int64_t{1999}, false},
                                     {std::int64_t{2000}, true},
                                     {std::int64_t{3999}, true}}) {
    EXPECT_EQ(Health::stale(5000, 5000 + ageMs), stale) << ageMs;
  }
}

TEST_F(CommitterStore, EveryWaitingReportIsAnsweredWhileTheStoreFailsAndAfter) {
  // Another connection makes every insert roll its whole transaction back,
  // as a full disk does, until it takes that away again.
  // More than one batch holds, added at once: several wait while one commits.
  const int many = static_cast<int>(Committer::maxBatch) * 2 + 1;

  Answers down, up, last;
  {
    Health health(*store);
    Committer committer(*store, metrics, health);
    sql("CREATE TRIGGER down BEFORE INSERT ON reports BEGIN SELECT RAISE(ROLLBACK, 'full'); END");
    for (int i = 0; i < many; ++i) committer.add(report, down.expect());
    EXPECT_EQ(down.await(many), "0/" + std::to_string(many) + "/0");
    EXPECT_NE(health.problem().find("the latest commit failed: full"), std::string::npos);

    sql("DROP TRIGGER down");
    for (int i = 0; i < many; ++i) committer.add(report, up.expect());
    EXPECT_EQ(up.await(many), std::to_string(many) + "/0/0");
    EXPECT_EQ(health.problem(), "");

    // Those still queued when the committer goes are committed and answered first.
    for (int i = 0; i < many; ++i) committer.add(report, last.expect());
  }
  EXPECT_EQ(last.await(0), std::to_string(many) + "/0/0");
  std::vector<LeaderboardRow> rows;
  std::string error;
  ASSERT_TRUE(store->leaderboard(Period{}, rows, error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].reports, 2 * many);
}

TEST_F(CommitterStore, GathersABatchOnlyWhileBusyAndNoLongerThanItsWindowOrItsLife) {
  const std::size_t busy = Committer::busyFrom;
  for (const auto& [batch, gathers] :
       {std::pair{std::size_t{1}, false}, {busy - 1, false}, {busy, true}, {busy + 1, true}}) {
    EXPECT_EQ(Committer::busyAfter(batch), gathers) << batch;
  }
  const int full = static_cast<int>(Committer::gatherTo);
  Health health(*store);
  // The committer tells the size of each batch it stored, and waits there
  // while the test holds it, before it answers and takes the next batch.
  std::mutex gate;
  std::condition_variable gateChanged;
  bool holding = false, held = false;
  std::size_t lastBatch = 0;
  const Committer::Stored sizes = [&](const std::vector<std::int64_t>& receivedMs) {
    std::unique_lock<std::mutex> lock(gate);
    lastBatch = receivedMs.size();
    held = true;
    gateChanged.notify_all();
    gateChanged.wait(lock, [&] { return !holding; });
  };
  const auto latestBatch = [&] {
    std::lock_guard<std::mutex> lock(gate);
    return lastBatch;
  };
  // The committer held after a lone report while `busy` more wait: it takes
  // them as one batch, which busies it.
  const auto makeBusy = [&](Committer& committer) {
    Answers answers;
    {
      std::lock_guard<std::mutex> lock(gate);
      holding = true;
      held = false;
    }
    committer.add(report, answers.expect());
    {
      std::unique_lock<std::mutex> lock(gate);
      gateChanged.wait(lock, [&] { return held; });
    }
    for (std::size_t i = 0; i < busy; ++i) committer.add(report, answers.expect());
    {
      std::lock_guard<std::mutex> lock(gate);
      holding = false;
    }
    gateChanged.notify_all();
    EXPECT_EQ(answers.await(static_cast<int>(busy) + 1), std::to_string(busy + 1) + "/0/0");
    EXPECT_EQ(latestBatch(), busy);
  };
  Answers lone, gathered, left, late;
  {
    // A window no test outlives: a wait for it shows as a missing answer.
    Committer committer(*store, metrics, health, std::chrono::hours(1), sizes);
    // Quiet: a lone report is committed at once.
    committer.add(report, lone.expect());
    EXPECT_EQ(lone.await(1), "1/0/0");
    EXPECT_EQ(latestBatch(), 1u);
    makeBusy(committer);
    // Busy: one report short of a batch waits; the last one fills it, and
    // all of them go in that one batch.
    const std::uint64_t gathersBefore = metrics.batchesGathered();
    for (int i = 0; i < full - 1; ++i) committer.add(report, gathered.expect());
    // Once it waits to gather, nothing of what waits is committed.
    const auto by = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (metrics.batchesGathered() == gathersBefore && std::chrono::steady_clock::now() < by) {
      std::this_thread::yield();
    }
    ASSERT_EQ(metrics.batchesGathered(), gathersBefore + 1);
    EXPECT_EQ(gathered.await(0), "0/0/0");
    committer.add(report, gathered.expect());
    EXPECT_EQ(gathered.await(full), std::to_string(full) + "/0/0");
    EXPECT_EQ(latestBatch(), Committer::gatherTo);
    // A committer that goes stops gathering and commits what it has.
    for (int i = 0; i < full - 1; ++i) committer.add(report, left.expect());
  }
  EXPECT_EQ(left.await(0), std::to_string(full - 1) + "/0/0");
  // Busy with the window of a millisecond: a lone report goes when it ends.
  Committer committer(*store, metrics, health, std::chrono::milliseconds(1), sizes);
  makeBusy(committer);
  committer.add(report, late.expect());
  EXPECT_EQ(late.await(1), "1/0/0");
}

// A JSON answer written directly is the library's, byte for byte; what
// needs escaping goes through the library.
TEST(CollectorJsonAnswer, PlainMessagesAsTheLibraryWritesThem) {
  const struct {
    int status;
    const char *message, *body;
  } rows[] = {
      {200, "stored", "{\"status\":\"stored\"}\n"},
      {299, "~ plain, printable ASCII !", "{\"status\":\"~ plain, printable ASCII !\"}\n"},
      {300, "", "{\"error\":\"\"}\n"},
      {404, "no player named 'A\"b'", "{\"error\":\"no player named 'A\\\"b'\"}\n"},
      {503, "a\\b\x7f\x1f\xc3\xa9", "{\"error\":\"a\\\\b\x7f\\u001f\xc3\xa9\"}\n"},
  };
  for (const auto& row : rows) {
    const HttpAnswer answer = jsonAnswer(row.status, row.message);
    EXPECT_EQ(answer.body, row.body) << row.message;
    EXPECT_EQ(answer.contentType, "application/json");
  }
}

// Whether a reader gets the kept gzip bytes: as RFC 9110 weighs codings.
TEST(CollectorGzip, TakenAsAcceptEncodingWeighsItAndOnlyForBodiesWorthIt) {
  const std::pair<const char*, bool> rows[] = {
      {"", false},
      {"gzip", true},
      {"gzip, deflate, br", true},
      {"br, GZip", true},
      {"x-gzip", true},
      {"deflate, br", false},
      {"gzips", false},
      {"gzip;q=0", false},
      {"gzip ; Q=0.000", false},
      {"gzip;q=0.001", true},
      {"*", true},
      {"*;q=0", false},
      {"gzip;q=0, *", false},
      {"*, gzip;q=0", false},
      {"br;q=0, *;q=0.1", true},
      {" , ,gzip", true},
  };
  for (const auto& [accept, takes] : rows) {
    HttpRequest request;
    if (*accept) request.headers["accept-encoding"] = accept;
    EXPECT_EQ(request.acceptsGzip(), takes) << '"' << accept << '"';
  }

  // Below the size worth it, nothing is kept; from it, bytes that inflate
  // back to the body.
  EXPECT_EQ(gzipped(std::string(gzipFromBytes - 1, 'a')), "");
  const std::string body = std::string(gzipFromBytes, 'a');
  const std::string kept = gzipped(body);
  ASSERT_GT(kept.size(), 2u);
  EXPECT_EQ(kept.substr(0, 2), "\x1f\x8b");  // the gzip format's magic
  z_stream stream{};
  ASSERT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
  std::string back(2 * body.size(), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(kept.data()));
  stream.avail_in = static_cast<uInt>(kept.size());
  stream.next_out = reinterpret_cast<Bytef*>(back.data());
  stream.avail_out = static_cast<uInt>(back.size());
  EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
  back.resize(stream.total_out);
  inflateEnd(&stream);
  EXPECT_EQ(back, body);
}

}  // namespace
