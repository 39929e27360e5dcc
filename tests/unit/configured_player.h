// The state a sender test starts from: a fresh session and the settings of a
// configured player, as a successful init leaves them.
#pragma once

#include "config/settings.h"
#include "plugin/session_state.h"

inline void resetToConfiguredPlayer() {
  resetSessionStateForTests();
  settings = defaultSettings();
  settings.PlayerName = "Night Owl";
  settings.ApiKey = "key-123";
  settings.CollectorURL = "http://127.0.0.1:8787/api/v1/telemetry";
}
