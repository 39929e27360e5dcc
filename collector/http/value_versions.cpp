#include "http/value_versions.h"

namespace collector {

std::uint64_t ValueVersions::of(std::int64_t key, const std::shared_ptr<const void>& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = seen_.find(key);
  if (value && found != seen_.end() && found->second.first.lock() == value) {
    return found->second.second;
  }
  if (found == seen_.end() && seen_.size() >= maxKeys) {
    for (auto at = seen_.begin(); at != seen_.end();) {
      at = at->second.first.expired() ? seen_.erase(at) : std::next(at);
    }
  }
  const std::uint64_t version = next_++;
  seen_[key] = {value, version};
  return version;
}

}  // namespace collector
