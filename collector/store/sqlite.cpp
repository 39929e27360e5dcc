// The SQLite store: the queries, on one writer connection for the intake and
// players, one reader for players, export and health, and a few readers of
// their own for the boards.
#include "store/sqlite.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "store/sql.h"
#include "store/sqlite_db.h"
#include "store/sqlite_upkeep.h"

namespace collector {

namespace {

class SqliteStore : public Store {
 public:
  SqliteStore(std::string path, sqlite3* writer, sqlite3* reader)
      : path_(std::move(path)), writer_(writer), reader_(reader), upkeep_(path_) {
    upkeep_.attach(writer_);
  }
  ~SqliteStore() override {
    intake_.reset();  // its statements before their connection
    sqlite3_close(writer_);
    sqlite3_close(reader_);
    for (sqlite3* db : idleReaders_) sqlite3_close(db);
  }

  bool addPlayer(const std::string& name, const std::string& keyHash, std::int64_t nowMs,
                 std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    forgetHolders();
    Statement insert(writer_, sql::insertPlayer);
    insert.bind(1, name).bind(2, keyHash).bind(3, nowMs);
    if (insert.run()) return true;
    error = sqlite3_extended_errcode(writer_) == SQLITE_CONSTRAINT_UNIQUE
                ? duplicatePlayerError(name)
                : insert.failure();
    return false;
  }

  bool listPlayers(std::vector<PlayerInfo>& players, std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement select(reader_, sql::selectPlayers);
    players.clear();
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) players.push_back(sql::playerInfo(select));
    sql::sortPlayers(players);
    return finished(select, rc, error);
  }

  bool revokePlayer(const std::string& name, const std::function<std::int64_t()>& nowMs,
                    std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    forgetHolders();  // the player's key may be among them
    error.clear();
    if (!execute(writer_, "BEGIN IMMEDIATE", error)) return false;
    {
      Statement update(writer_, sql::revokePlayer);
      update.bind(1, name).bind(2, nowMs());
      if (!update.run()) {
        error = update.failure();
      } else if (sqlite3_changes(writer_) != 1) {
        error = noValidKeyError(name);
      }
    }
    if (error.empty() && execute(writer_, "COMMIT", error)) return true;
    std::string ignored;
    execute(writer_, "ROLLBACK", ignored);
    return false;
  }

  bool addReports(const std::vector<IncomingReport>& batch, std::vector<AddOutcome>& outcomes,
                  std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    outcomes.assign(batch.size(), AddOutcome::unknownKey);
    error = upkeep_.fileProblem();  // a commit into a removed file would store nothing
    if (!error.empty()) return false;
    if (!intake_) intake_ = std::make_unique<Intake>(writer_);
    Intake& intake = *intake_;
    if (!intake.ok()) {
      error = sqlite3_errmsg(writer_);
      intake_.reset();  // prepared again next time
      return false;
    }
    if (!intake.begin.run()) {
      error = intake.begin.failure();
      intake.begin.reset();
      return false;
    }
    intake.begin.reset();
    bool good = noticeOtherWriters(intake);
    if (!good) error = intake.dataVersion.failure();
    // Only a value of this report that the database refuses fails it alone;
    // any other failure (read-only, locked, disk full, I/O) fails the batch,
    // which is then rolled back, as is one that SQLite rolled back already.
    auto failedAlone = [&](std::size_t i, int rc) {
      const int code = rc & 0xff;
      const bool value = code == SQLITE_TOOBIG || code == SQLITE_MISMATCH ||
                         code == SQLITE_CONSTRAINT || code == SQLITE_RANGE;
      if (!value || sqlite3_get_autocommit(writer_)) return good = false;
      outcomes[i] = AddOutcome::failed;
      return true;
    };
    std::map<std::string, KeyHolder> holders;  // by key hash, of this batch
    TotalsDelta totals;
    std::int64_t latestMs = 0;  // of the stored reports: when their milestones were reached
    for (std::size_t i = 0; good && i < batch.size(); ++i) {
      const IncomingReport& report = batch[i];
      auto known = holders.find(report.keyHash);
      if (known == holders.end()) {
        KeyHolder holder;
        const auto kept = keptHolders_.find(report.keyHash);
        if (kept != keptHolders_.end()) {
          holder = kept->second;
        } else if (!readHolder(intake.findPlayer, intake.previous, report.keyHash, holder)) {
          error = sqlite3_errmsg(writer_);  // a read failed: the store, not this report
          good = false;
          break;
        }
        known = holders.emplace(report.keyHash, holder).first;
      }
      KeyHolder& holder = known->second;
      const ReportDecision decision = decideReport(report, holder);
      outcomes[i] = decision.outcome;
      if (decision.outcome != AddOutcome::stored && decision.outcome != AddOutcome::storedFlagged) {
        continue;
      }
      Statement& insert = intake.insert;
      insert.reset();
      insert.bind(1, holder.id).bind(2, report.receivedMs).bind(3, report.serverId);
      insert.bind(4, report.miles).bind(5, report.seconds).bind(6, report.truck);
      insert.bind(7, report.trailer).bind(8, decision.flag).bind(9, decision.flagLimit);
      if (const int rc = insert.step(); rc != SQLITE_DONE) {
        outcomes[i] = AddOutcome::unknownKey;
        if (failedAlone(i, rc)) continue;
        error = insert.failure();
        break;
      }
      noteStored(holder, report.receivedMs);
      addToTotals(totals, holder.id, report.receivedMs, report, decision.flag.empty());
      latestMs = std::max(latestMs, report.receivedMs);
    }
    // No statement may stay in the middle of its rows across the commit: it
    // would keep a read transaction open, and no checkpoint could finish.
    intake.findPlayer.reset();
    intake.previous.reset();
    intake.insert.reset();
    good = good && intake.totals.write(totals) && intake.milestones.record(totals, latestMs);
    if (good && intake.commit.run()) {
      intake.commit.reset();
      keepHolders(holders);
      upkeep_.afterCommit(writer_);
      return true;
    }
    if (error.empty()) error = sqlite3_errmsg(writer_);
    intake.commit.reset();
    forgetHolders();
    std::string ignored;
    execute(writer_, "ROLLBACK", ignored);
    return false;
  }

  bool leaderboard(const Period& period, std::vector<LeaderboardRow>& rows,
                   std::string& error) override {
    Reader reader(*this, error);
    return reader && reader.begin(error) && readBoard(reader.db, period, rows, error);
  }

  bool communityDays(const Period& period, std::vector<DayTotals>& days,
                     std::string& error) override {
    Reader reader(*this, error);
    if (!reader) return false;
    Statement select(reader.db, sql::communityDays);
    std::int64_t fromDay = 0, untilDay = 0;
    daysOf(period, fromDay, untilDay);
    select.bind(1, fromDay).bind(2, untilDay);
    std::vector<TotalsRow> rows;
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) rows.push_back(sql::communityRow(select));
    days = sumDays(rows);
    return finished(select, rc, error);
  }

  bool playerActivity(const std::string& name, const Period& daysPeriod, PlayerView& view,
                      bool& found, std::string& error) override {
    found = true;  // false only once the database said so
    Reader reader(*this, error);
    if (!reader || !reader.begin(error)) return false;
    Statement who(reader.db, sql::playerId);
    who.bind(1, name);
    const int rc = who.step();
    if (rc != SQLITE_ROW) {
      found = rc != SQLITE_DONE;
      error = found ? who.failure() : noSuchPlayerError(name);
      return false;
    }
    const std::int64_t playerId = who.integer(0);
    view = PlayerView();
    view.totals.playerName = name;
    Statement days(reader.db, sql::playerDays);
    std::int64_t fromDay = 0, untilDay = 0;
    daysOf(daysPeriod, fromDay, untilDay);
    days.bind(1, playerId).bind(2, fromDay).bind(3, untilDay);
    std::vector<TotalsRow> dayRows;
    if (!readTotals(days, true, dayRows, error)) return false;
    view.days = sumDays(dayRows);
    Statement last(reader.db, sql::playerLast);
    last.bind(1, playerId);
    int step;
    while ((step = last.step()) == SQLITE_ROW) view.lastReports.push_back(sql::storedReport(last));
    if (!finished(last, step, error)) return false;
    Statement flags(reader.db, sql::playerFlags);
    flags.bind(1, playerId);
    while ((step = flags.step()) == SQLITE_ROW) view.flags.push_back(sql::storedReport(flags));
    return finished(flags, step, error);
  }

  bool exportReports(const std::function<void(const StoredReport&)>& each,
                     std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement select(reader_, sql::exportAll);
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) each(sql::storedReport(select));
    return finished(select, rc, error);
  }

  bool reviewMark(ReviewMark& mark, std::string& error) override {
    Reader reader(*this, error);
    if (!reader) return false;
    Statement select(reader.db, sql::reviewMark);
    const int rc = select.step();
    if (rc == SQLITE_ROW) mark = {select.integer(0), select.integer(1)};
    return finished(select, rc == SQLITE_ROW ? select.step() : rc, error);
  }

  bool reviewedSince(std::int64_t sinceMs, std::vector<ReviewedReport>& reports,
                     std::string& error) override {
    Reader reader(*this, error);
    if (!reader) return false;
    Statement select(reader.db, sql::reviewedSince);
    select.bind(1, sinceMs);
    reports.clear();
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
      reports.push_back({select.integer(0), select.integer(1)});
    }
    return finished(select, rc, error);
  }

  bool unreviewedFlags(std::int64_t sinceMs, const std::string& player,
                       std::vector<StoredReport>& reports, std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement select(reader_, sql::unreviewed);
    select.bind(1, sinceMs).bind(2, player);
    reports.clear();
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) reports.push_back(sql::storedReport(select));
    return finished(select, rc, error);
  }

  bool reviewFlags(const std::vector<std::int64_t>& ids, bool accept, std::int64_t nowMs,
                   std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (!execute(writer_, "BEGIN IMMEDIATE", error)) return false;
    Statement review(writer_,
                     "UPDATE reports SET review = $1, reviewed_ms = $2 "
                     "WHERE id = $3 AND " COLLECTOR_AWAITING_REVIEW
                     " RETURNING player_id, received_ms, server_id, miles, seconds");
    enum { playerId, receivedMs, serverId, miles, seconds };
    bool good = review.ok();
    TotalsDelta totals;
    for (std::size_t i = 0; good && i < ids.size(); ++i) {
      review.reset();
      review.bind(1, std::string(accept ? "accepted" : "rejected")).bind(2, nowMs).bind(3, ids[i]);
      const int rc = review.step();
      if (rc == SQLITE_ROW) {
        const ReportBody report{
            "", review.text(serverId), review.real(miles), review.integer(seconds), "", ""};
        addReviewToTotals(totals, review.integer(playerId), review.integer(receivedMs), report,
                          accept);
        good = review.step() == SQLITE_DONE;
      } else {
        good = false;
        if (rc == SQLITE_DONE) {
          error = notAwaitingReviewError(ids[i]);
        }
      }
    }
    if (good && writeTotals(writer_, totals) && recordMilestones(writer_, totals, nowMs) &&
        execute(writer_, "COMMIT", error)) {
      return true;
    }
    if (error.empty()) error = sqlite3_errmsg(writer_);
    std::string ignored;
    execute(writer_, "ROLLBACK", ignored);
    return false;
  }

  bool addEvent(Event& event, std::int64_t nowMs, std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement insert(writer_, sql::insertEvent);
    insert.bind(1, event.name).bind(2, event.startMs).bind(3, event.endMs);
    insert.bind(4, joinServers(event.servers)).bind(5, event.description).bind(6, nowMs);
    if (insert.step() != SQLITE_ROW) {
      error = insert.failure();
      return false;
    }
    event.id = insert.integer(0);
    if (insert.run()) return true;
    error = insert.failure();
    return false;
  }

  bool listEvents(std::vector<Event>& events, std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement select(reader_, sql::selectEvents);
    events.clear();
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) events.push_back(sql::event(select));
    return finished(select, rc, error);
  }

  bool removeEvent(std::int64_t id, std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement remove(writer_, sql::deleteEvent);
    remove.bind(1, id);
    if (!remove.run()) {
      error = remove.failure();
      return false;
    }
    if (sqlite3_changes(writer_) != 1) {
      error = noSuchEventError(id);
      return false;
    }
    return true;
  }

  bool eventBoard(const Event& event, std::vector<LeaderboardRow>& rows,
                  std::string& error) override {
    Reader reader(*this, error);
    if (!reader) return false;
    // SQLite takes a bare column from the row of max(received_ms).
    Statement select(reader.db, COLLECTOR_EVENT_TOTALS("r.truck", "r.trailer"));
    select.bind(1, event.startMs).bind(2, event.endMs);
    std::vector<TotalsRow> totals;
    if (!readTotals(select, false, totals, error)) return false;
    rows = eventRows(event, totals);
    return true;
  }

  bool addAnnouncement(const std::string& key, const std::string& body, std::int64_t nowMs,
                       bool& added, std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement insert(writer_, sql::insertAnnouncement);
    insert.bind(1, key).bind(2, body).bind(3, nowMs);
    if (!insert.run()) {
      error = insert.failure();
      return false;
    }
    added = sqlite3_changes(writer_) == 1;
    return true;
  }

  bool hasAnnouncement(const std::string& key, bool& found, std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement select(reader_, sql::findAnnouncement);
    select.bind(1, key);
    const int rc = select.step();
    found = rc == SQLITE_ROW;
    return finished(select, found ? select.step() : rc, error);
  }

  bool claimAnnouncement(const std::string& webhook, std::int64_t sinceMs, std::int64_t nowMs,
                         std::int64_t leaseUntilMs, ClaimedAnnouncement& claimed, bool& found,
                         std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    found = false;
    Statement add(writer_, sql::addDeliveries);
    add.bind(1, webhook).bind(2, sinceMs).bind(3, nowMs);
    if (!add.run()) {
      error = add.failure();
      return false;
    }
    Statement claim(writer_, COLLECTOR_CLAIM_DELIVERY(""));
    claim.bind(1, webhook).bind(2, nowMs).bind(3, leaseUntilMs);
    const int rc = claim.step();
    if (rc != SQLITE_ROW) return finished(claim, rc, error);
    enum { id, announcement, attempts, createdMs };
    claimed.deliveryId = claim.integer(id);
    claimed.attempts = claim.integer(attempts);
    claimed.createdMs = claim.integer(createdMs);
    const std::int64_t announcementId = claim.integer(announcement);
    if (!finished(claim, claim.step(), error)) return false;
    Statement body(writer_, sql::announcementBody);
    body.bind(1, announcementId);
    const int read = body.step();
    if (read == SQLITE_ROW) claimed.body = body.text(0);
    found = read == SQLITE_ROW;
    return finished(body, found ? body.step() : read, error);
  }

  bool settleAnnouncement(std::int64_t deliveryId, Delivery outcome, std::int64_t atMs,
                          std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    const sql::SettledDelivery settled = sql::settled(outcome, atMs);
    Statement update(writer_, sql::settleDelivery);
    update.bind(1, deliveryId).bind(2, std::string(settled.state)).bind(3, settled.nextMs);
    update.bind(4, settled.doneMs);
    if (update.run()) return true;
    error = update.failure();
    return false;
  }

  bool announcementsWaiting(const std::string& webhook, std::int64_t& count,
                            std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement select(reader_, sql::waitingDeliveries);
    select.bind(1, webhook);
    const int rc = select.step();
    if (rc == SQLITE_ROW) count = select.integer(0);
    return finished(select, rc == SQLITE_ROW ? select.step() : rc, error);
  }

  bool pruneAnnouncements(std::int64_t beforeMs, std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (!execute(writer_, "BEGIN IMMEDIATE", error)) return false;
    Statement deliveries(writer_, sql::pruneDeliveries);
    Statement announcements(writer_, sql::pruneAnnouncements);
    deliveries.bind(1, beforeMs);
    announcements.bind(1, beforeMs);
    if (deliveries.run() && announcements.run()) {
      deliveries.reset();
      announcements.reset();
      if (execute(writer_, "COMMIT", error)) return true;
    }
    if (error.empty()) error = sqlite3_errmsg(writer_);
    deliveries.reset();
    announcements.reset();
    std::string ignored;
    execute(writer_, "ROLLBACK", ignored);
    return false;
  }

  // A write that stores nothing: the header's schema version written again,
  // within the writer's bounded wait for the write lock.
  bool healthy() override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (!upkeep_.fileProblem().empty()) return false;
    std::string error;
    const std::string write = "PRAGMA user_version = " + std::to_string(schemaVersion);
    if (execute(writer_, "BEGIN IMMEDIATE", error) && execute(writer_, write.c_str(), error) &&
        execute(writer_, "COMMIT", error)) {
      upkeep_.afterCommit(writer_);
      return true;
    }
    execute(writer_, "ROLLBACK", error);
    return false;
  }

  std::string cannotStore() override { return upkeep_.fileProblem(); }

  std::vector<Gauge> gauges() override {
    return {{"vorn_sqlite_wal_bytes", "bytes of the SQLite WAL file",
             static_cast<double>(upkeep_.walBytes())},
            {"vorn_sqlite_checkpoint_result",
             "SQLite result code of the latest checkpoint (0 done, 5 busy)",
             static_cast<double>(upkeep_.lastResult())},
            {"vorn_sqlite_checkpoint_frames_left",
             "WAL frames the latest checkpoint could not copy into the database",
             static_cast<double>(upkeep_.framesLeft())},
            {"vorn_sqlite_checkpoint_blocked",
             "1 while another connection's read snapshot keeps the WAL from being truncated",
             upkeep_.blocked() ? 1.0 : 0.0},
            {"vorn_sqlite_kept_key_holders",
             "key holders kept between batches, their latest report included (at most 65536)",
             static_cast<double>(keptCount_)}};
  }

 private:
  // The player who holds a key hash, and its latest stored report.
  static bool readHolder(Statement& findPlayer, Statement& previous, const std::string& keyHash,
                         KeyHolder& holder) {
    findPlayer.reset();
    findPlayer.bind(1, keyHash);
    const int found = findPlayer.step();
    if (found == SQLITE_DONE) return true;
    if (found != SQLITE_ROW) return false;
    enum { id, name, revoked, createdMs };
    holder.known = true;
    holder.id = findPlayer.integer(id);
    holder.name = findPlayer.text(name);
    holder.revoked = findPlayer.integer(revoked) != 0;
    holder.createdMs = findPlayer.integer(createdMs);
    if (holder.revoked) return true;
    previous.reset();
    previous.bind(1, holder.id);
    if (previous.step() != SQLITE_ROW) return false;
    holder.reported = !previous.isNull(0);
    holder.lastReceivedMs = previous.integer(0);
    return true;
  }

  // The intake's statements, prepared once on the writer.
  struct Intake {
    explicit Intake(sqlite3* db)
        : begin(db, "BEGIN IMMEDIATE"),
          commit(db, "COMMIT"),
          dataVersion(db, "PRAGMA data_version"),
          findPlayer(db,
                     "SELECT id, name, revoked_ms IS NOT NULL, created_ms FROM players "
                     "WHERE key_hash = $1"),
          previous(db, "SELECT max(received_ms) FROM reports WHERE player_id = $1"),
          insert(db,
                 "INSERT INTO reports(player_id, received_ms, server_id, miles, seconds, "
                 "truck, trailer, flag, flag_limit) VALUES($1, $2, $3, $4, $5, $6, $7, $8, "
                 "$9)"),
          totals(db),
          milestones(db) {}
    bool ok() const {
      return begin.ok() && commit.ok() && dataVersion.ok() && findPlayer.ok() && previous.ok() &&
             insert.ok() && totals.ok() && milestones.ok();
    }
    Statement begin, commit, dataVersion, findPlayer, previous, insert;
    TotalsWriter totals;
    MilestoneRecorder milestones;
  };

  // Inside the intake's write transaction: forgets the kept key holders when
  // another connection (another process: a revoke, a player added, another
  // collector's reports) has committed since the previous one began.
  // Writes of this connection leave data_version alone; those that touch
  // players or reports outside the intake forget the holders themselves.
  bool noticeOtherWriters(Intake& intake) {
    const bool read = intake.dataVersion.step() == SQLITE_ROW;
    const std::int64_t version = read ? intake.dataVersion.integer(0) : -1;
    intake.dataVersion.reset();
    if (!read || version != dataVersion_) forgetHolders();
    dataVersion_ = version;
    return read;
  }

  // After a commit: the batch's known key holders, their latest report
  // included, for the next batches.
  void keepHolders(const std::map<std::string, KeyHolder>& holders) {
    for (const auto& [keyHash, holder] : holders) {
      if (!holder.known) continue;  // unknown keys are not kept: nobody could fill the room
      if (keptHolders_.size() >= maxKeptHolders) keptHolders_.clear();
      keptHolders_[keyHash] = holder;
    }
    keptCount_ = keptHolders_.size();
  }

  void forgetHolders() {
    keptHolders_.clear();
    keptCount_ = 0;
  }

  static bool finished(const Statement& statement, int rc, std::string& error) {
    if (rc == SQLITE_DONE) return true;
    error = statement.failure();
    return false;
  }

  // The board of a period from the totals alone: all time from player_totals,
  // any other period from the player_days of its days.
  static bool readBoard(sqlite3* db, const Period& period, std::vector<LeaderboardRow>& rows,
                        std::string& error) {
    std::int64_t fromDay = 0, untilDay = 0;
    daysOf(period, fromDay, untilDay);
    const bool allTime = isAllTime(period);
    Statement select(db, allTime ? sql::boardAllTime : sql::boardDays);
    if (!allTime) select.bind(1, fromDay).bind(2, untilDay);
    std::vector<TotalsRow> totals;
    if (!readTotals(select, false, totals, error)) return false;
    BoardBuilder builder;
    for (const TotalsRow& row : totals) builder.add(row);
    rows = builder.finish();
    return true;
  }

  static bool readTotals(Statement& select, bool withDay, std::vector<TotalsRow>& rows,
                         std::string& error) {
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) rows.push_back(sql::totalsRow(select, withDay));
    return finished(select, rc, error);
  }

  // A connection of its own for board reads, taken for one call inside one
  // read transaction, so its queries see one snapshot. The intake's writer and
  // the health probe's reader are never among them.
  struct Reader {
    Reader(SqliteStore& store, std::string& error) : store(store) { db = store.takeReader(error); }
    ~Reader() {
      if (!db) return;
      if (inTransaction) {
        std::string ignored;
        execute(db, "COMMIT", ignored);
      }
      store.giveBackReader(db);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    explicit operator bool() const { return db != nullptr; }
    bool begin(std::string& error) { return inTransaction = execute(db, "BEGIN", error); }

    SqliteStore& store;
    sqlite3* db = nullptr;
    bool inTransaction = false;
  };

  static constexpr std::size_t maxReaders = 4;

  sqlite3* takeReader(std::string& error) {
    {
      std::unique_lock<std::mutex> lock(readersMutex_);
      readerFree_.wait(lock, [this] { return !idleReaders_.empty() || openReaders_ < maxReaders; });
      if (!idleReaders_.empty()) {
        sqlite3* db = idleReaders_.back();
        idleReaders_.pop_back();
        return db;
      }
      ++openReaders_;
    }
    sqlite3* db = openConnection(path_, error, SQLITE_OPEN_NOMUTEX);  // one reader at a time
    if (!db) giveBackReader(nullptr);
    return db;
  }

  void giveBackReader(sqlite3* db) {
    {
      std::lock_guard<std::mutex> lock(readersMutex_);
      if (db) {
        idleReaders_.push_back(db);
      } else {
        --openReaders_;
      }
    }
    readerFree_.notify_one();
  }

  // At most this many key holders are kept between batches.
  static constexpr std::size_t maxKeptHolders = 65536;

  std::string path_;
  sqlite3* writer_;
  sqlite3* reader_;  // players, export and health
  std::mutex writeMutex_;
  std::mutex readMutex_;
  std::mutex readersMutex_;
  std::condition_variable readerFree_;
  std::vector<sqlite3*> idleReaders_;  // board reads
  std::size_t openReaders_ = 0;
  // Of the writer, under writeMutex_: the intake's statements, the holders
  // of keys seen lately, valid while data_version stays as read last.
  std::unique_ptr<Intake> intake_;
  std::unordered_map<std::string, KeyHolder> keptHolders_;
  std::atomic<std::size_t> keptCount_{0};  // their number, for the metrics
  std::int64_t dataVersion_ = -1;
  SqliteUpkeep upkeep_;  // its descriptor closed after the destructor closed the connections
};

}  // namespace

std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "sqlite: needs a file path, as in sqlite:vorn-collector.db";
    return nullptr;
  }
  sqlite3* writer = openConnection(path, error);
  if (!writer) return nullptr;
  if (!createSchema(writer, path, error)) {
    if (error.compare(0, path.size(), path) != 0) error = path + ": " + error;
    sqlite3_close(writer);
    return nullptr;
  }
  sqlite3* reader = openConnection(path, error);
  if (!reader) {
    sqlite3_close(writer);
    return nullptr;
  }
  return std::make_unique<SqliteStore>(path, writer, reader);
}

}  // namespace collector
