#include "http/committer.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "core/text.h"
#include "core/threads.h"
#include "http/loop_posts.h"

namespace collector {

Committer::Committer(IntakeStore& store, Metrics& metrics, Health& health,
                     std::chrono::microseconds gatherWindow, Stored stored)
    : store_(store),
      metrics_(metrics),
      health_(health),
      gatherWindow_(gatherWindow),
      stored_(std::move(stored)),
      thread_([this] { run(); }) {}

Committer::~Committer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Committer::add(IncomingReport report, Done done) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({std::move(report), std::move(done)});
    // The committer waits for an empty queue, or for a batch to gather: the
    // first report wakes it, and the one that fills the batch.
    wake = queue_.size() == 1 || queue_.size() == gatherTo;
  }
  if (wake) wake_.notify_one();
}

void Committer::run() {
  nameThisThread("vorn-commit");
  const int nice = std::max(-20, thisThreadNice() - niceAhead);
  const std::string refused = setThisThreadNice(nice);
  if (!refused.empty()) {
    std::cerr << "intake: the committing thread keeps the normal priority (nice " << nice << ": "
              << refused
              << "): while readers keep the CPUs busy, reports wait longer for their answers; "
                 "allow it with LimitNICE="
              << nice << " in the service's unit" << std::endl;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  bool busy = false;
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    if (busy) {
      metrics_.batchGathering();
      wake_.wait_for(lock, gatherWindow_, [&] { return stopping_ || queue_.size() >= gatherTo; });
    }
    std::vector<Waiter> batch;
    while (!queue_.empty() && batch.size() < maxBatch) {
      batch.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    busy = busyAfter(batch.size());
    lock.unlock();
    commit(batch);
    lock.lock();
  }
}

void Committer::commit(std::vector<Waiter>& batch) {
  std::vector<IncomingReport> reports;
  reports.reserve(batch.size());
  for (auto& waiter : batch) reports.push_back(std::move(waiter.report));
  std::vector<AddOutcome> outcomes;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  const bool stored = store_.addReports(reports, outcomes, error);
  if (stored && stored_) {
    std::vector<std::int64_t> receivedMs;
    receivedMs.reserve(reports.size());
    for (const IncomingReport& report : reports) receivedMs.push_back(report.receivedMs);
    stored_(receivedMs);
  }
  if (stored) {
    health_.commitSucceeded();
    metrics_.batchCommitted(
        batch.size(),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  } else {
    metrics_.storeFailed();
    health_.commitFailed(error);
    failures_.write(error, "store failed, " +
                               counted(static_cast<std::int64_t>(batch.size()), "report") +
                               " refused: " + error);
  }
  // The answers go to their connections' loops as one task per loop.
  LoopPosts gathered;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    batch[i].done(stored, stored ? outcomes[i] : AddOutcome::unknownKey);
  }
}

}  // namespace collector
