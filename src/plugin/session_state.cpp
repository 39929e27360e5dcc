#include "plugin/session_state.h"

#include <ostream>

SharedText::SharedText(const std::string& text)
    : text_(text.empty() ? nullptr : std::make_shared<const std::string>(text)) {}

const std::string& SharedText::str() const {
  static const std::string emptyText;
  return text_ != nullptr ? *text_ : emptyText;
}

std::ostream& operator<<(std::ostream& out, const SharedText& text) { return out << text.str(); }

SessionState sessionState;
std::mutex stateMutex;

void subtractReported(SessionState& state, double milesSent, std::int32_t secondsSent) {
  const double miles = state.pendingMiles - milesSent;
  state.pendingMiles = miles > 0.0 ? miles : 0.0;
  const std::int64_t seconds = static_cast<std::int64_t>(state.pendingSeconds) - secondsSent;
  state.pendingSeconds = seconds > 0 ? static_cast<std::int32_t>(seconds) : 0;
}

void resetSessionStateForTests() {
  std::lock_guard<std::mutex> lock(stateMutex);
  sessionState.serverId = SharedText();
  sessionState.truckName = "Unknown";
  sessionState.trailerName = "None";
  sessionState.cargoLoaded = false;
  sessionState.odometerBaselineValid = false;
  sessionState.lastOdometerKm = 0.0f;
  sessionState.pendingSeconds = 0;
  sessionState.pendingMiles = 0.0;
  sessionState.secondsRemainder = 0.0;
  sessionState.lastFrameTime = 0;
  sessionState.frameBaselineValid = false;
}
