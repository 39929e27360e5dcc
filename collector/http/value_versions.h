// Numbers for the values the event boards hand out, so that an answer
// rendered from one can be named by it in the board cache's answers: the same
// value (the same object, still alive) keeps its number, any other value of
// the key gets a new one. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace collector {

class ValueVersions {
 public:
  // Keys remembered at most; past that, those whose value is gone are forgotten.
  static constexpr std::size_t maxKeys = 1024;

  // The number of `value` under `key`.
  std::uint64_t of(std::int64_t key, const std::shared_ptr<const void>& value);

 private:
  std::mutex mutex_;
  // The value last seen under each key, held weakly: a value that is gone
  // cannot come back, even at the same address.
  std::map<std::int64_t, std::pair<std::weak_ptr<const void>, std::uint64_t>> seen_;
  std::uint64_t next_ = 1;
};

}  // namespace collector
