#include "store/sqlite_upkeep.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "core/clock.h"
#include "core/threads.h"
#include "store/sqlite_db.h"

namespace collector {

SqliteUpkeep::~SqliteUpkeep() {
  if (checkpointer_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    asked_.notify_all();
    checkpointer_.join();
  }
  sqlite3_close(checkpointDb_);
  // Only once every connection to the file is closed: closing any descriptor
  // of a file drops the process's POSIX locks on it, SQLite's among them.
  if (fd_ >= 0) ::close(fd_);
}

void SqliteUpkeep::attach(sqlite3* writer) {
  sqlite3_wal_hook(writer, &SqliteUpkeep::walHook, this);
  sqlite3_busy_timeout(writer, lockWaitMs);
  const std::string limit =
      "PRAGMA journal_size_limit = " + std::to_string(std::int64_t{truncateFrames} * 4096);
  sqlite3_exec(writer, limit.c_str(), nullptr, nullptr, nullptr);
  readOnly_ = sqlite3_db_readonly(writer, "main") == 1;
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  const std::string problem = fileProblem();
  if (!problem.empty()) std::cerr << "store: " << problem << std::endl;
  if (readOnly_) return;
  std::string error;
  checkpointDb_ = openConnection(path_, error);
  if (!checkpointDb_) {
    std::cerr << "store: checkpoints on the writer's thread: " << error << std::endl;
    return;
  }
  // The store opens before the service blocks the stop signals for the
  // threads it starts.
  checkpointer_ = quietThread([this] { checkpointLoop(); });
}

void SqliteUpkeep::checkpointLoop() {
  nameThisThread("vorn-checkpoint");
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    asked_.wait(lock, [&] { return stopping_ || wanted_; });
    if (stopping_) return;
    wanted_ = false;
    running_ = true;
    lock.unlock();
    checkpoint(checkpointDb_, SQLITE_CHECKPOINT_PASSIVE);
    lock.lock();
    running_ = false;
    settled_.notify_all();
  }
}

void SqliteUpkeep::settle() {
  std::unique_lock<std::mutex> lock(mutex_);
  settled_.wait(lock, [&] { return stopping_ || (!wanted_ && !running_); });
}

int SqliteUpkeep::walHook(void* self, sqlite3*, const char*, int frames) {
  static_cast<SqliteUpkeep*>(self)->walFrames_ = frames;
  return SQLITE_OK;
}

void SqliteUpkeep::afterCommit(sqlite3* writer) {
  const int frames = walFrames_;
  if (frames >= truncateFrames || failingSinceMs_ != 0) {
    checkpoint(writer, SQLITE_CHECKPOINT_TRUNCATE);
  } else if (frames >= passiveFrames && !checkpointDb_) {
    checkpoint(writer, SQLITE_CHECKPOINT_PASSIVE);
  } else if (frames >= passiveFrames) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wanted_ = true;
    }
    asked_.notify_one();
  }
}

void SqliteUpkeep::checkpoint(sqlite3* db, int mode) {
  int logFrames = 0;
  int copied = 0;
  // A TRUNCATE waits for no one: another connection's snapshot makes it
  // fail at once, and the next commit tries again.
  if (mode != SQLITE_CHECKPOINT_PASSIVE) sqlite3_busy_timeout(db, 0);
  const int rc = sqlite3_wal_checkpoint_v2(db, nullptr, mode, &logFrames, &copied);
  if (mode != SQLITE_CHECKPOINT_PASSIVE) sqlite3_busy_timeout(db, lockWaitMs);
  lastResult_ = rc;
  framesLeft_ = logFrames > copied ? logFrames - copied : 0;
  if (mode == SQLITE_CHECKPOINT_PASSIVE) return;
  if (rc == SQLITE_OK) walFrames_ = 0;
  const std::int64_t now = steadyClockMs();
  if (rc == SQLITE_OK) {
    if (blocked_) {
      std::cerr << "store: the WAL of " << path_
                << " is checkpointed and truncated again: the other connection let go of its "
                   "snapshot"
                << std::endl;
    }
    failingSinceMs_ = 0;
    blocked_ = false;
    return;
  }
  if (failingSinceMs_ == 0) failingSinceMs_ = now;
  if (now - failingSinceMs_ < blockedAfterMs) return;
  blocked_ = true;
  if (loggedMs_ != 0 && now - loggedMs_ < logEveryMs) return;
  loggedMs_ = now;
  std::cerr << "store: the WAL of " << path_ << " is " << walBytes() / (1024 * 1024)
            << " MiB and a checkpoint cannot finish (" << sqlite3_errstr(rc) << ", " << framesLeft_
            << " frames left): another connection holds a read snapshot of the "
            << "database (a backup, a sqlite3 shell, another program reading it, or this "
               "collector's own board reads while they are many and slow). The WAL "
               "grows until it lets go: end that transaction or close that program"
            << std::endl;
}

std::string SqliteUpkeep::fileProblem() const {
  struct stat opened {};
  struct stat named {};
  if (fd_ < 0 || ::fstat(fd_, &opened) != 0 || opened.st_nlink == 0 ||
      ::stat(path_.c_str(), &named) != 0) {
    return "the database file " + path_ +
           " is gone (it or its folder was removed): nothing can be stored; put the database "
           "back and restart the service";
  }
  if (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
    return "the database file " + path_ +
           " was replaced by another file: nothing can be stored in the one open; restart the "
           "service";
  }
  if (readOnly_) {
    return "the database file " + path_ +
           " is not writable by this service (it was opened read-only): give the service's "
           "user write access to it, its -wal and -shm files and its folder, and restart";
  }
  if (::faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) != 0) {
    return "the database file " + path_ + " is not writable by this service (" +
           std::strerror(errno) + "): give the service's user write access to it";
  }
  return "";
}

std::int64_t SqliteUpkeep::walBytes() const {
  struct stat wal {};
  return ::stat((path_ + "-wal").c_str(), &wal) == 0 ? static_cast<std::int64_t>(wal.st_size) : 0;
}

}  // namespace collector
