// What a SQLite database that a service keeps open for months needs beside
// its queries: a WAL kept small by checkpoints of its own (the copying on a
// thread of its own, so that no commit waits for it), and whether its file
// can still take a commit at all (removed, replaced, read-only).
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace collector {

class SqliteUpkeep {
 public:
  // A PASSIVE checkpoint after a commit that leaves this many frames or more
  // in the WAL (about 4 MiB of 4 KiB pages), run by the checkpointing thread
  // on its own connection while the writer goes on committing: on a large
  // database its copy into scattered pages and the file's sync take tens of
  // milliseconds, which would otherwise hold every report waiting to commit.
  // A checkpoint copies each page once however often commits rewrote it,
  // and a busy collector rewrites the same pages (the tables' tails, today's
  // totals) in every commit: the longer the stretch, the fewer bytes it
  // writes a report.
  static constexpr int passiveFrames = 1024;
  // Past this many frames (about 16 MiB) a TRUNCATE checkpoint on the
  // writer's own thread, which needs every other connection's snapshot to be
  // the latest and no checkpoint running on the checkpointing thread (either
  // makes it fail at once, and the next commit tries again); also the size
  // the WAL file is cut back to when it is reset (journal_size_limit).
  static constexpr int truncateFrames = 4096;
  // A TRUNCATE that failed is tried again after every commit, but the
  // operator is told only once it has failed for this long.
  static constexpr std::int64_t blockedAfterMs = 1000;
  // While it stays blocked, the log line again at most this often.
  static constexpr std::int64_t logEveryMs = 60000;
  // How long the writer waits for another process's write lock.
  static constexpr int lockWaitMs = 2000;

  explicit SqliteUpkeep(std::string path) : path_(std::move(path)) {}
  ~SqliteUpkeep();
  SqliteUpkeep(const SqliteUpkeep&) = delete;
  SqliteUpkeep& operator=(const SqliteUpkeep&) = delete;

  // Takes over the writer's checkpoints (no automatic ones), sets its
  // journal_size_limit and lock wait, remembers the file it opened, and
  // starts the checkpointing thread with a connection of its own (without
  // one, the writer checkpoints on its own thread).
  void attach(sqlite3* writer);
  // On the writer's thread after each of its transactions, none open.
  void afterCommit(sqlite3* writer);
  // Returns once no checkpoint asked for is waiting or running.
  void settle();
  // Why a commit cannot store anything now, or "". A few system calls.
  std::string fileProblem() const;

  // For the metrics.
  std::int64_t walBytes() const;
  std::int64_t framesLeft() const { return framesLeft_; }  // of the latest checkpoint
  int lastResult() const { return lastResult_; }           // its SQLite result code
  bool blocked() const { return blocked_; }

 private:
  static int walHook(void* self, sqlite3* db, const char* name, int frames);
  void checkpoint(sqlite3* db, int mode);
  void checkpointLoop();

  std::string path_;
  int fd_ = -1;  // the file the writer opened, for its link count
  bool readOnly_ = false;
  std::atomic<int> walFrames_{0};
  std::atomic<std::int64_t> framesLeft_{0};
  std::atomic<int> lastResult_{SQLITE_OK};
  std::atomic<bool> blocked_{false};
  std::int64_t failingSinceMs_ = 0;  // of the TRUNCATE checkpoints, 0 while they succeed
  std::int64_t loggedMs_ = 0;

  sqlite3* checkpointDb_ = nullptr;  // the checkpointing thread's connection
  std::mutex mutex_;
  std::condition_variable asked_;
  std::condition_variable settled_;
  bool wanted_ = false;   // a PASSIVE checkpoint is asked for
  bool running_ = false;  // one runs
  bool stopping_ = false;
  std::thread checkpointer_;
};

}  // namespace collector
