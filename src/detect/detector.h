// The detector thread: works out the current server from Steam about every two
// seconds and publishes it as sessionState.serverId.
#pragma once

#include <cstdint>
#include <string>

#include "detect/rich_presence.h"
#include "detect/steam_binding.h"

extern const char* const detectorLogPrefix;  // "Steam auto-server detector v7.3: "

// Which rule found the server; the texts appear in the status line.
extern const char* const detectSourceNone;
extern const char* const detectSourceEndpoint;
extern const char* const detectSourceConnect;

// Everything one detection cycle read and concluded.
struct DetectionResult {
  std::uint64_t selfId = 0;
  bool gamePlayed = false;
  GamePlayedInfo game{};
  RichPresenceMap presence;
  std::string server;  // empty or a known server identifier
  const char* source = detectSourceNone;
};

// Reads Steam once through `binding` and applies the endpoint rule, then the
// "connect" fallback. Touches no shared state.
DetectionResult detectOnce(const SteamBinding& binding);

std::string buildStatusLine(const DetectionResult& result);

// Stores the cycle's server (empty too) under stateMutex; a found server also
// makes the frame clock re-prime.
void publishDetectedServer(const std::string& server);

// What the loop needs from outside, so that tests can drive it without a
// library, a clock or a log file.
struct DetectorEnvironment {
  bool (*bind)(SteamBinding& binding);
  void (*sleep)(unsigned milliseconds);
  void (*log)(const std::string& message);
};

// Binds, then detects, publishes and logs changes until `running` drops.
// Never throws.
void runDetector(const DetectorEnvironment& environment);

void detectorLoop();
