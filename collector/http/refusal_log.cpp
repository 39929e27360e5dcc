#include "http/refusal_log.h"

#include <nlohmann/json.hpp>

#include "core/text.h"

namespace collector {

namespace {

constexpr std::int64_t quietMs = 60000;      // one line per sender and reason in this time
constexpr std::int64_t pruneEveryMs = 1000;  // forgetting old entries, at most this often
constexpr std::size_t shownNameBytes = 64;

}  // namespace

bool RefusalLog::mayWrite(const std::string& slot, std::int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = lastMs_.find(slot);
  if (found != lastMs_.end() && nowMs - found->second < quietMs) return false;
  if (found == lastMs_.end() && lastMs_.size() >= maxTracked_ &&
      nowMs - prunedMs_ >= pruneEveryMs) {
    prunedMs_ = nowMs;
    for (auto it = lastMs_.begin(); it != lastMs_.end();) {
      it = nowMs - it->second >= quietMs ? lastMs_.erase(it) : std::next(it);
    }
  }
  // Still full: so many senders within a minute that a line each would be
  // the flood this log must not become.
  if (found == lastMs_.end() && lastMs_.size() >= maxTracked_) return false;
  lastMs_[slot] = nowMs;
  return true;
}

std::string RefusalLog::refused(std::int64_t nowMs, int status, const std::string& reason,
                                const std::string& playerName, const std::string& keyHash,
                                const std::string& address, const std::string& postedTo) {
  const std::string who = keyHash.empty() ? "address " + address : "key " + keyHash;
  if (!mayWrite(who + "\n" + reason, nowMs)) return {};
  // The name and the path are shown as JSON strings, cut to a bound, so that
  // no control character or escape sequence a client sent reaches a terminal.
  const auto quoted = [](const std::string& text, std::size_t bytes) {
    return nlohmann::json(text.substr(0, bytes))
        .dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
  };
  const std::string name =
      playerName.empty() ? std::string("-") : quoted(playerName, shownNameBytes);
  const std::string path = postedTo.empty()
                               ? std::string()
                               : " to " + quoted(postedTo, maxShownPathBytes) +
                                     (postedTo.size() > maxShownPathBytes ? "..." : "");
  return isoTime(nowMs) + " refused " + std::to_string(status) + " player=" + name + " from " +
         address + path + ": " + reason + "\n";
}

}  // namespace collector
