#include "upload/http_post.h"

#include "platform/platform.h"
#include "plugin/plugin.h"

namespace {

using Clock = std::chrono::steady_clock;

// The grace counts from the first check that finds `running` lowered, at
// most postCheckMilliseconds after shutdown lowered it.
struct ShutdownGrace {
  bool stopSeen = false;
  Clock::time_point over;
};

bool shutdownGraceOver(void* context) {
  ShutdownGrace& grace = *static_cast<ShutdownGrace*>(context);
  if (running.load()) return false;
  const Clock::time_point now = Clock::now();
  if (!grace.stopSeen) {
    grace.stopSeen = true;
    grace.over = now + postGraceAfterStop;
  }
  return now >= grace.over;
}

}  // namespace

bool postReport(const std::string& url, const std::string& apiKey, const std::string& body) {
  try {
    ShutdownGrace grace;
    const platform::PostLimits limits{Clock::now() + postDeadline, &shutdownGraceOver, &grace};
    return platform::httpPost(url, apiKey, body, limits);
  } catch (...) {
    return false;
  }
}
