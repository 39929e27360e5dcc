#include "http/refusal_log.h"

#include <nlohmann/json.hpp>

#include "core/text.h"

namespace collector {

namespace {

constexpr std::int64_t quietMs = 60000;      // one line per sender and reason in this time
constexpr std::int64_t pruneEveryMs = 1000;  // forgetting old entries, at most this often
constexpr std::size_t shownNameBytes = 64;

}  // namespace

std::string RefusalLog::refused(std::int64_t nowMs, int status, const std::string& reason,
                                const std::string& playerName, const std::string& keyHash,
                                const std::string& address) {
  const std::string who = keyHash.empty() ? "address " + address : "key " + keyHash;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string slot = who + "\n" + reason;
    auto found = lastMs_.find(slot);
    if (found != lastMs_.end() && nowMs - found->second < quietMs) return {};
    if (found == lastMs_.end() && lastMs_.size() >= maxTracked_ &&
        nowMs - prunedMs_ >= pruneEveryMs) {
      prunedMs_ = nowMs;
      for (auto it = lastMs_.begin(); it != lastMs_.end();) {
        it = nowMs - it->second >= quietMs ? lastMs_.erase(it) : std::next(it);
      }
    }
    // Still full: so many senders within a minute that a line each would be
    // the flood this log must not become.
    if (found == lastMs_.end() && lastMs_.size() >= maxTracked_) return {};
    lastMs_[slot] = nowMs;
  }
  // The name is shown as a JSON string, at most 64 bytes of it, so that no
  // control character or escape sequence of a hostile body reaches a terminal.
  const std::string name = playerName.empty()
                               ? std::string("-")
                               : nlohmann::json(playerName.substr(0, shownNameBytes))
                                     .dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
  return isoTime(nowMs) + " refused " + std::to_string(status) + " player=" + name + " from " +
         address + ": " + reason + "\n";
}

}  // namespace collector
