#include "upload/sender.h"

#include <mutex>

#include "config/settings.h"
#include "config/timing.h"
#include "detect/servers.h"
#include "platform/platform.h"
#include "plugin/plugin.h"
#include "plugin/session_state.h"
#include "upload/http_post.h"
#include "upload/report.h"

namespace {

// Under the lock only the names' handles and the two amounts are copied; the
// names' bytes are copied after it, and whatever old name loses its last
// reference here goes with the handles, unlocked.
ReportSnapshot takeSnapshot() {
  ReportSnapshot snapshot;
  SharedText serverId, truckName, trailerName;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    serverId = sessionState.serverId;
    truckName = sessionState.truckName;
    trailerName = sessionState.trailerName;
    snapshot.milesDelta = sessionState.pendingMiles;
    snapshot.secondsDelta = sessionState.pendingSeconds;
  }
  snapshot.serverId = serverId;
  snapshot.truckName = truckName;
  snapshot.trailerName = trailerName;
  return snapshot;
}

// Ends early, within about a second, once the plug-in is shutting down.
void waitOneInterval() {
  for (std::int32_t count = 0; running.load() && count < settings.SendIntervalSeconds; ++count)
    platform::sleepMilliseconds(waitMilliseconds(1000));
}

}  // namespace

bool senderCycle(PostFunction post) {
  const ReportSnapshot snapshot = takeSnapshot();
  if (!isKnownServer(snapshot.serverId)) return false;
  if (snapshot.milesDelta <= 0.0 && snapshot.secondsDelta <= 0) return false;

  const std::string body = buildReportBody(settings.PlayerName, snapshot);
  if (!post(settings.CollectorURL, settings.ApiKey, body)) return false;

  // What the callbacks added while the post was in flight stays pending.
  std::lock_guard<std::mutex> lock(stateMutex);
  subtractReported(sessionState, snapshot.milesDelta, snapshot.secondsDelta);
  return true;
}

void senderLoop() {
  while (running.load()) {
    waitOneInterval();
    if (!running.load()) return;
    try {
      senderCycle(&postReport);
    } catch (...) {
      // Out of memory while building a body: that report is skipped, its
      // amounts stay pending, and the thread must not take the game down.
    }
  }
}
