// The SQLite backend of the store: one writer connection for every write,
// one reader for players, stored reports and the outbox, and a few readers
// of their own for the boards.
#include "store/sqlite.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "store/core.h"
#include "store/sqlite_db.h"
#include "store/sqlite_upkeep.h"

namespace collector {

using namespace seam;

namespace {

using sql::Query;

class SqliteRow final : public Row {
 public:
  explicit SqliteRow(const Statement& statement) : statement_(statement) {}
  std::int64_t integer(int column) const override { return statement_.integer(column); }
  double real(int column) const override { return statement_.real(column); }
  std::string text(int column) const override { return statement_.text(column); }

 private:
  const Statement& statement_;
};

using Prepared = std::vector<std::unique_ptr<Statement>>;

// The statement of `query` on `db`, prepared once into `kept`; null when
// SQLite needs none.
Statement* prepared(sqlite3* db, Prepared& kept, Query query) {
  const char* text = sql::textOf(query).sqlite;
  if (!text) return nullptr;
  auto& statement = kept[static_cast<std::size_t>(query)];
  if (!statement || !statement->ok()) statement = std::make_unique<Statement>(db, text);
  return statement.get();
}

// Binds the values and runs the statement, each row to `each`; SQLITE_DONE
// or the failure's code. The statement is reset after: none stays in the
// middle of its rows, which would keep a read transaction open across a
// commit, and no checkpoint could finish.
int step(Statement& statement, const std::vector<Value>& values, const EachRow& each) {
  statement.reset();
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::visit([&](const auto& value) { statement.bind(static_cast<int>(i) + 1, value); },
               values[i]);
  }
  int rc;
  while ((rc = statement.step()) == SQLITE_ROW) {
    if (each) each(SqliteRow(statement));
  }
  return rc;
}

// The calls of a session on one connection, under `mutex` when there is one.
template <class Base>
class SqliteCalls : public Base {
 public:
  SqliteCalls(sqlite3* db, Prepared* kept, std::mutex* mutex)
      : lock_(mutex ? std::unique_lock<std::mutex>(*mutex) : std::unique_lock<std::mutex>()),
        db_(db),
        kept_(kept ? *kept : own_) {}
  ~SqliteCalls() override { finish(); }

  // Ends the call's read transaction and finalizes its own statements.
  void finish() {
    own_.clear();
    if (!reading_) return;
    reading_ = false;
    std::string ignored;
    execute(db_, "COMMIT", ignored);
  }

  bool begin(std::string& error) override { return execute(db_, "BEGIN IMMEDIATE", error); }
  bool commit(std::string& error) override { return execute(db_, "COMMIT", error); }
  void rollBack() override {
    std::string ignored;
    execute(db_, "ROLLBACK", ignored);
  }
  bool snapshot(std::string& error) override { return reading_ = execute(db_, "BEGIN", error); }

  bool run(Query query, const std::vector<Value>& values, const EachRow& each,
           std::string& error) override {
    changed_ = 0;
    Statement* statement = prepared(db_, kept_, query);
    if (!statement) return true;
    const int rc = step(*statement, values, each);
    const bool done = rc == SQLITE_DONE;
    duplicate_ = !done && sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_UNIQUE;
    if (done) {
      changed_ = sqlite3_changes(db_);
    } else {
      error = statement->failure();
    }
    statement->reset();
    return done;
  }
  std::int64_t changed() const override { return changed_; }
  bool duplicate() const override { return duplicate_; }

  // Only a value of this row that the database refuses fails it alone; any
  // other failure (read-only, locked, disk full, I/O) fails the statement,
  // as does one after which SQLite rolled the transaction back already.
  Added add(Query query, std::vector<Value> values, const EachRow& each,
            std::string& error) override {
    Statement* statement = prepared(db_, kept_, query);
    if (!statement) return Added::ok;
    const int rc = step(*statement, values, each);
    const int code = rc & 0xff;
    const bool value = code == SQLITE_TOOBIG || code == SQLITE_MISMATCH ||
                       code == SQLITE_CONSTRAINT || code == SQLITE_RANGE;
    Added added = Added::ok;
    if (rc != SQLITE_DONE) {
      added = value && !sqlite3_get_autocommit(db_) ? Added::refused : Added::failed;
      error = statement->failure();
    }
    statement->reset();
    return added;
  }
  bool flush(Query, const EachRow&, std::string&) override { return true; }

 private:
  std::unique_lock<std::mutex> lock_;  // released last

 protected:
  sqlite3* const db_;

 private:
  Prepared own_ = Prepared(static_cast<std::size_t>(Query::count));
  Prepared& kept_;
  bool reading_ = false;
  bool duplicate_ = false;
  std::int64_t changed_ = 0;
};

class SqliteBackend;

// A session on the writer or the reader, each under its own lock; or on a
// board reader of the pool, given back after.
class SqliteSession final : public SqliteCalls<Session> {
 public:
  SqliteSession(std::mutex& mutex, sqlite3* db, Prepared* kept) : SqliteCalls(db, kept, &mutex) {}
  SqliteSession(SqliteBackend& pool, sqlite3* db)
      : SqliteCalls(db, nullptr, nullptr), pool_(&pool) {}
  ~SqliteSession() override;

 private:
  SqliteBackend* pool_ = nullptr;
};

// The intake's statements that are no SQL of the store's, prepared once on
// the writer.
struct Framing {
  explicit Framing(sqlite3* db)
      : begin(db, "BEGIN IMMEDIATE"),
        commit(db, "COMMIT"),
        dataVersion(db, "PRAGMA data_version") {}
  bool ok() const { return begin.ok() && commit.ok() && dataVersion.ok(); }
  Statement begin, commit, dataVersion;
};

class SqliteIntake;

class SqliteBackend final : public Backend {
 public:
  SqliteBackend(std::string path, sqlite3* writer, sqlite3* reader)
      : path_(std::move(path)), writer_(writer), reader_(reader), upkeep_(path_) {
    upkeep_.attach(writer_);
  }
  ~SqliteBackend() override {
    writerStatements_.clear();  // its statements before their connection
    framing_.reset();
    sqlite3_close(writer_);
    sqlite3_close(reader_);
    for (sqlite3* db : idleReaders_) sqlite3_close(db);
  }

  std::unique_ptr<Session> session(Use use, std::string& error) override {
    switch (use) {
      case Use::players:
        // The player's key may be among the kept holders.
        {
          auto session = std::make_unique<SqliteSession>(writeMutex_, writer_, &writerStatements_);
          forgetHolders();
          return session;
        }
      case Use::write:
        return std::make_unique<SqliteSession>(writeMutex_, writer_, &writerStatements_);
      case Use::read:
        return std::make_unique<SqliteSession>(readMutex_, reader_, nullptr);
      case Use::boards:
        break;
    }
    sqlite3* db = takeReader(error);
    if (!db) return nullptr;
    return std::make_unique<SqliteSession>(*this, db);
  }

  std::unique_ptr<IntakeSession> intake(std::string& error) override;

  // A write that stores nothing: the header's schema version written again,
  // within the writer's bounded wait for the write lock.
  // A commit is what it proves: a rolled back write would pass on a full
  // disk, where only appending to the WAL fails.
  bool healthy(std::string& why) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    why = upkeep_.fileProblem();
    if (!why.empty()) return false;
    const std::string write = "PRAGMA user_version = " + std::to_string(schemaVersion);
    if (execute(writer_, "BEGIN IMMEDIATE", why) && execute(writer_, write.c_str(), why) &&
        execute(writer_, "COMMIT", why)) {
      upkeep_.afterCommit(writer_);
      return true;
    }
    std::string ignored;
    execute(writer_, "ROLLBACK", ignored);
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
            {"vorn_sqlite_memory_bytes",
             "bytes SQLite's allocator holds now: page caches, statements, schemas",
             static_cast<double>(sqlite3_memory_used())},
            {"vorn_sqlite_kept_key_holders",
             "key holders kept between batches, their latest report included (at most 65536)",
             static_cast<double>(keptCount_)}};
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

 private:
  friend class SqliteIntake;

  static constexpr std::size_t maxReaders = 4;
  // At most this many key holders are kept between batches.
  static constexpr std::size_t maxKeptHolders = 65536;

  // A connection of its own for board reads, for one call. The intake's
  // writer and the reader of players and health are never among them.
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

  // Inside the intake's write transaction: forgets the kept key holders when
  // another connection (another process: a revoke, a player added, another
  // collector's reports) has committed since the previous one began.
  // Writes of this connection leave data_version alone; those that touch
  // players outside the intake forget the holders themselves.
  bool noticeOtherWriters() {
    Statement& read = framing_->dataVersion;
    const bool done = read.step() == SQLITE_ROW;
    const std::int64_t version = done ? read.integer(0) : -1;
    read.reset();
    if (!done || version != dataVersion_) forgetHolders();
    dataVersion_ = version;
    return done;
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

  std::string path_;
  sqlite3* writer_;
  sqlite3* reader_;  // players, export and the outbox
  std::mutex writeMutex_;
  std::mutex readMutex_;
  std::mutex readersMutex_;
  std::condition_variable readerFree_;
  std::vector<sqlite3*> idleReaders_;  // board reads
  std::size_t openReaders_ = 0;
  // Of the writer, under writeMutex_: its statements, prepared once; the
  // holders of keys seen lately, valid while data_version stays as read last.
  Prepared writerStatements_{static_cast<std::size_t>(Query::count)};
  std::unique_ptr<Framing> framing_;
  std::unordered_map<std::string, KeyHolder> keptHolders_;
  std::atomic<std::size_t> keptCount_{0};  // their number, for the metrics
  std::int64_t dataVersion_ = -1;
  SqliteUpkeep upkeep_;  // its descriptor closed after the destructor closed the connections
};

SqliteSession::~SqliteSession() {
  if (!pool_) return;
  finish();  // nothing of this call stays on the reader it gives back
  pool_->giveBackReader(db_);
}

// A batch on the writer, in its write transaction from the start.
class SqliteIntake final : public SqliteCalls<IntakeSession> {
 public:
  explicit SqliteIntake(SqliteBackend& backend)
      : SqliteCalls(backend.writer_, &backend.writerStatements_, &backend.writeMutex_),
        backend_(backend) {}

  bool start(std::string& error) {
    error = backend_.upkeep_.fileProblem();  // a commit into a removed file would store nothing
    if (!error.empty()) return false;
    if (!backend_.framing_) backend_.framing_ = std::make_unique<Framing>(db_);
    Framing& framing = *backend_.framing_;
    if (!framing.ok()) {
      error = sqlite3_errmsg(db_);
      backend_.framing_.reset();  // prepared again next time
      return false;
    }
    const bool begun = framing.begin.run();
    if (!begun) error = framing.begin.failure();
    framing.begin.reset();
    if (!begun) return false;
    if (backend_.noticeOtherWriters()) return true;
    error = framing.dataVersion.failure();
    rollBack();
    return false;
  }

  // The miles are read every time: a review on another connection changes
  // them, and keeps no holder.
  bool holders(const std::vector<std::string>& keyHashes, std::map<std::string, KeyHolder>& holders,
               std::map<std::int64_t, double>& miles, std::string& error) override {
    const EachRow each = [&miles](const Row& row) { miles[row.integer(0)] = row.real(2); };
    for (const std::string& keyHash : keyHashes) {
      const auto kept = backend_.keptHolders_.find(keyHash);
      if (kept != backend_.keptHolders_.end()) {
        holders[keyHash] = kept->second;
      } else if (!readHolder(keyHash, holders[keyHash])) {
        error = sqlite3_errmsg(db_);  // a read failed: the store, not this report
        return false;
      }
      const KeyHolder& holder = holders[keyHash];
      if (holder.known && !run(Query::playerMiles, {holder.id}, each, error)) return false;
    }
    return true;
  }

  bool commitBatch(const std::map<std::string, KeyHolder>& holders, std::size_t,
                   std::string& error) override {
    Statement& commit = backend_.framing_->commit;
    const bool done = commit.run();
    if (!done) error = sqlite3_errmsg(db_);
    commit.reset();
    if (!done) {
      rollBack();
      return false;
    }
    backend_.keepHolders(holders);
    backend_.upkeep_.afterCommit(db_);
    return true;
  }

  void rollBack() override {
    backend_.forgetHolders();
    SqliteCalls::rollBack();
  }

 private:
  // The player who holds a key hash, and its latest stored report.
  bool readHolder(const std::string& keyHash, KeyHolder& holder) {
    Statement& find = *prepared(db_, backend_.writerStatements_, Query::findPlayer);
    Statement& previous = *prepared(db_, backend_.writerStatements_, Query::lastReceivedOne);
    find.reset();
    find.bind(1, keyHash);
    const int found = find.step();
    bool done = found == SQLITE_DONE;
    if (found == SQLITE_ROW) {
      enum { id, name, revoked, createdMs };
      holder.known = true;
      holder.id = find.integer(id);
      holder.name = find.text(name);
      holder.revoked = find.integer(revoked) != 0;
      holder.createdMs = find.integer(createdMs);
      previous.reset();
      previous.bind(1, holder.id);
      done = holder.revoked || previous.step() == SQLITE_ROW;
      holder.reported = !holder.revoked && done && !previous.isNull(0);
      holder.lastReceivedMs = holder.reported ? previous.integer(0) : 0;
    }
    find.reset();
    previous.reset();
    return done;
  }

  SqliteBackend& backend_;
};

std::unique_ptr<IntakeSession> SqliteBackend::intake(std::string& error) {
  auto session = std::make_unique<SqliteIntake>(*this);
  if (!session->start(error)) return nullptr;
  return session;
}

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
  return std::make_unique<CoreStore>(std::make_unique<SqliteBackend>(path, writer, reader));
}

}  // namespace collector
