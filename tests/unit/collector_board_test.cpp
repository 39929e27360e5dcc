// The cache that computes boards for the routes.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "board/board.h"
#include "store/store.h"

namespace {

using namespace collector;

// Boards of two players; each computation waits until the test lets it go.
class HeldStore : public Store {
 public:
  std::promise<void> started, release;
  std::shared_future<void> released = release.get_future().share();
  int calls = 0;  // read after the cache's threads have answered

  bool leaderboard(const Period&, std::vector<LeaderboardRow>& rows, std::string&) override {
    if (++calls == 1) started.set_value();
    released.wait();
    rows.resize(2);
    rows[0].rank = 1, rows[1].rank = 2;
    rows[0].playerName = "Ann", rows[1].playerName = "Bob";
    return true;
  }
  bool playerActivity(const std::string& name, const Period&, PlayerView& view, bool& found,
                      std::string&) override {
    view.days.resize(name == "Nobody" ? 0 : 1);
    return found = !view.days.empty();
  }
  bool addPlayer(const std::string&, const std::string&, std::int64_t, std::string&) override {
    return false;
  }
  bool listPlayers(std::vector<PlayerInfo>&, std::string&) override { return false; }
  bool revokePlayer(const std::string&, std::int64_t, std::string&) override { return false; }
  bool addReports(const std::vector<IncomingReport>&, std::vector<AddOutcome>&,
                  std::string&) override {
    return false;
  }
  bool unreviewedFlags(std::int64_t, const std::string&, std::vector<StoredReport>&,
                       std::string&) override {
    return false;
  }
  bool reviewFlags(const std::vector<std::int64_t>&, bool, std::int64_t, std::string&) override {
    return false;
  }
  bool communityDays(const Period&, std::vector<DayTotals>&, std::string&) override {
    return false;
  }
  bool exportReports(const std::function<void(const StoredReport&)>&, std::string&) override {
    return false;
  }
  bool addEvent(Event&, std::int64_t, std::string&) override { return false; }
  bool listEvents(std::vector<Event>&, std::string&) override { return false; }
  bool removeEvent(std::int64_t, std::string&) override { return false; }
  bool eventBoard(const Event&, std::vector<LeaderboardRow>&, std::string&) override {
    return false;
  }
  bool healthy() override { return true; }
};

TEST(BoardCache, ComputesAPeriodOnceForAllItsRequestsAndRefusesBeyondItsQueue) {
  HeldStore store;
  const std::chrono::minutes long_(1);
  BoardCache cache(store, {long_, long_, 1, 1, 1024, {}});  // one thread, one computation waiting
  std::mutex mutex;
  std::condition_variable answered;
  std::vector<std::string> answers;
  const auto ask = [&](Period period, std::int64_t offset) {
    cache.board({period, 1, offset, ""}, [&, offset](BoardAnswer answer, const Board& board) {
      std::lock_guard<std::mutex> lock(mutex);
      answers.push_back(answer == BoardAnswer::busy
                            ? "busy"
                            : std::to_string(offset) + ":" +
                                  std::to_string(board.rows.empty() ? 0 : board.rows[0].rank));
      answered.notify_all();
    });
  };
  ask({}, 0);
  store.started.get_future().wait();  // the thread computes all time; nothing waits
  ask({}, 1);                         // shares that computation
  ask({0, msPerDay}, 0);              // waits for the thread
  ask({0, 2 * msPerDay}, 0);          // one too many
  EXPECT_EQ(answers, std::vector<std::string>{"busy"});
  store.release.set_value();
  std::unique_lock<std::mutex> lock(mutex);
  answered.wait(lock, [&] { return answers.size() == 4; });
  lock.unlock();
  ask({}, 1);  // reused
  lock.lock();
  answered.wait(lock, [&] { return answers.size() == 5; });
  EXPECT_EQ(answers, (std::vector<std::string>{"busy", "0:1", "1:2", "0:1", "1:2"}));
  lock.unlock();
  EXPECT_EQ(store.calls, 2);
  for (const char* name : {"Bob", "Nobody"}) {  // the row of the board, the rest of the store
    std::promise<std::string> seen;
    cache.player(name, {}, {}, [&](BoardAnswer answer, bool found, const PlayerView& view) {
      seen.set_value(std::to_string(answer == BoardAnswer::ok) + std::to_string(found) +
                     std::to_string(view.totals.rank) + std::to_string(view.days.size()));
    });
    EXPECT_EQ(seen.get_future().get(), name == std::string("Bob") ? "1121" : "1000") << name;
  }
}

}  // namespace
