#include "detect/detector.h"

#include <mutex>

#include "config/log.h"
#include "config/timing.h"
#include "detect/servers.h"
#include "platform/platform.h"
#include "plugin/plugin.h"
#include "plugin/session_state.h"

const char* const detectorLogPrefix = "Steam auto-server detector v7.3: ";
const char* const detectSourceNone = "NONE";
const char* const detectSourceEndpoint = "ENDPOINT";
const char* const detectSourceConnect = "CONNECT";

namespace {

constexpr unsigned waitStepMilliseconds = waitMilliseconds(100);
constexpr int waitSteps = 20;

// About two seconds, cut short within one step once `running` drops.
void waitWhileRunning(const DetectorEnvironment& environment) {
  for (int step = 0; step < waitSteps; ++step) {
    if (!running.load()) return;
    environment.sleep(waitStepMilliseconds);
  }
}

bool tryBind(const DetectorEnvironment& environment, SteamBinding& binding) {
  try {
    return environment.bind(binding);
  } catch (...) {
    return false;
  }
}

// A cycle that fails half-way (out of memory while copying Steam's texts)
// counts as one that found nothing, so that time and distance stop counting
// instead of running on under an old server.
void runCycle(const DetectorEnvironment& environment, const SteamBinding& binding,
              std::string& lastLoggedStatus) {
  std::string status;
  try {
    const DetectionResult result = detectOnce(binding);
    status = buildStatusLine(result);
    publishDetectedServer(result.server);
  } catch (...) {
    try {
      publishDetectedServer(std::string());
    } catch (...) {
    }
    return;
  }
  if (status == lastLoggedStatus) return;
  try {
    environment.log(detectorLogPrefix + status);
    lastLoggedStatus = status;
  } catch (...) {
  }
}

}  // namespace

DetectionResult detectOnce(const SteamBinding& binding) {
  DetectionResult result;
  result.selfId = binding.getSteamId(binding.user);
  if (result.selfId != 0) {
    result.gamePlayed =
        binding.getFriendGamePlayed(binding.friends, result.selfId, &result.game) != 0;
    readRichPresence(binding, result.selfId, result.presence);
  }

  if (result.gamePlayed) {
    result.server =
        serverFromEndpoint(result.game.address, result.game.gamePort, result.game.queryPort);
    if (!result.server.empty()) {
      result.source = detectSourceEndpoint;
      return result;
    }
  }
  const auto connect = result.presence.find("connect");
  if (connect != result.presence.end() && !connect->second.empty()) {
    result.server = serverFromConnect(connect->second);
    if (!result.server.empty()) result.source = detectSourceConnect;
  }
  return result;
}

std::string buildStatusLine(const DetectionResult& result) {
  std::string line = "self=" + std::to_string(result.selfId);
  line += result.gamePlayed ? " game_ok=true" : " game_ok=false";
  if (result.gamePlayed) {
    line += " game_id=" + std::to_string(result.game.gameId);
    line += " lobby=" + std::to_string(result.game.lobbyId);
    line += " ip=" + std::to_string(result.game.address);
    line += " game_port=" + std::to_string(result.game.gamePort);
    line += " query_port=" + std::to_string(result.game.queryPort);
  }
  line += " rp_count=" + std::to_string(result.presence.size());
  for (const auto& entry : result.presence) line += " [" + entry.first + "=" + entry.second + "]";
  const auto connect = result.presence.find("connect");
  if (connect == result.presence.end())
    line += " [connect=<missing>]";
  else if (connect->second.empty())
    line += " [connect=<empty>]";
  line += " detect_source=";
  line += result.source;
  line += " VORN_server=";
  line += result.server.empty() ? std::string("NONE") : result.server;
  return line;
}

// Built before the lock and swapped in under it; the old identifier leaves
// with `text` after the lock is released.
void publishDetectedServer(const std::string& server) {
  SharedText text(server);
  std::lock_guard<std::mutex> lock(stateMutex);
  sessionState.serverId.swap(text);
  if (!server.empty()) sessionState.frameBaselineValid = false;
}

void runDetector(const DetectorEnvironment& environment) {
  SteamBinding binding;
  while (true) {
    if (!running.load()) return;
    if (tryBind(environment, binding)) break;
    waitWhileRunning(environment);
  }

  // The first cycle follows the binding at once; a cycle under way runs to
  // its end and only the wait after it is cut short.
  std::string lastLoggedStatus;
  do {
    runCycle(environment, binding, lastLoggedStatus);
    waitWhileRunning(environment);
  } while (running.load());
}

void detectorLoop() {
  runDetector(DetectorEnvironment{&bindSteam, &platform::sleepMilliseconds, &writeLog});
}
