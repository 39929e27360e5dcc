#include "telemetry/callbacks.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include "detect/servers.h"
#include "plugin/session_state.h"

namespace {

const double microsecondsPerSecond = 1000000.0;

// The caller holds stateMutex. Evaluated at every use: the detector and the
// job configuration may have changed either input since the last sample.
bool countingGateOpen() { return sessionState.cargoLoaded && isKnownServer(sessionState.serverId); }

// pendingSeconds is 32-bit; it saturates rather than wrapping into a negative
// total if reports keep failing for decades of play.
void addPendingSeconds(std::int32_t seconds) {
  const std::int32_t room = std::numeric_limits<std::int32_t>::max() - sessionState.pendingSeconds;
  sessionState.pendingSeconds += seconds < room ? seconds : room;
}

void countFrame(const scs_telemetry_frame_start_t& frame) {
  const scs_timestamp_t now = frame.paused_simulation_time;
  SessionState& state = sessionState;

  if (!state.frameBaselineValid.load() ||
      (frame.flags & SCS_TELEMETRY_FRAME_START_FLAG_timer_restart) != 0) {
    state.lastFrameTime = now;
    state.frameBaselineValid.store(true);
    return;
  }
  // A clock that stands still (the game is paused) or went back only moves
  // the baseline.
  if (now <= state.lastFrameTime) {
    state.lastFrameTime = now;
    return;
  }
  const double step = static_cast<double>(now - state.lastFrameTime) / microsecondsPerSecond;
  state.lastFrameTime = now;
  if (!(step > 0.0) || step > MAX_FRAME_STEP_SECONDS) return;

  std::lock_guard<std::mutex> lock(stateMutex);
  if (!countingGateOpen()) return;
  state.secondsRemainder += step;
  // The remainder stays below 1 and a step is at most 2 s, so this fits.
  const std::int32_t whole = static_cast<std::int32_t>(state.secondsRemainder);
  if (whole > 0) {
    addPendingSeconds(whole);
    state.secondsRemainder -= whole;
  }
}

void countOdometer(const scs_value_t& value) {
  const float km = value.value_float.value;
  SessionState& state = sessionState;

  std::lock_guard<std::mutex> lock(stateMutex);
  // Distance driven while the gate is closed must never be counted later, so
  // the baseline is dropped and the first sample after opening only primes it.
  if (!countingGateOpen()) {
    state.odometerBaselineValid = false;
    state.lastOdometerKm = km;
    return;
  }
  if (!state.odometerBaselineValid) {
    state.odometerBaselineValid = true;
    state.lastOdometerKm = km;
    return;
  }
  const double step = static_cast<double>(km) - static_cast<double>(state.lastOdometerKm);
  state.lastOdometerKm = km;
  // Standstill, an odometer that went back (or is not a number) and jumps
  // such as a ferry or a teleport are dropped; the baseline has moved anyway.
  if (step > 0.0 && step <= MAX_ODOMETER_STEP_KM) state.pendingMiles += step * KM_TO_MILES;
}

enum class ConfigurationKind { ignored, truck, trailer, job };

ConfigurationKind classify(const char* id) {
  if (std::strcmp(id, "truck") == 0) return ConfigurationKind::truck;
  // Both ids name the first trailer; further trailers are not tracked.
  if (std::strcmp(id, "trailer") == 0 || std::strcmp(id, "trailer.0") == 0)
    return ConfigurationKind::trailer;
  if (std::strcmp(id, "job") == 0) return ConfigurationKind::job;
  return ConfigurationKind::ignored;
}

bool named(const scs_named_value_t& attribute, const char* name) {
  return std::strcmp(attribute.name, name) == 0;
}

// The first usable "name" attribute; nullptr when there is none.
const char* nameAttribute(const scs_named_value_t* attributes) {
  for (const scs_named_value_t* a = attributes; a->name != nullptr; ++a)
    if (named(*a, "name") && a->value.type == SCS_VALUE_TYPE_string &&
        a->value.value_string.value != nullptr)
      return a->value.value_string.value;
  return nullptr;
}

bool cargoLoadedAttribute(const scs_named_value_t* attributes) {
  for (const scs_named_value_t* a = attributes; a->name != nullptr; ++a)
    if (named(*a, "cargo.loaded") && a->value.type == SCS_VALUE_TYPE_bool)
      return a->value.value_bool.value != 0;
  return false;
}

// The text is built before the lock is taken and swapped in under it; the
// old one leaves with `text` after the lock is released.
void storeName(SharedText& field, const char* name, const char* fallback) {
  SharedText text(name != nullptr && name[0] != '\0' ? name : fallback);
  std::lock_guard<std::mutex> lock(stateMutex);
  field.swap(text);
}

void storeCargoLoaded(bool loaded) {
  std::lock_guard<std::mutex> lock(stateMutex);
  // A new cargo state starts a new counting stretch for distance.
  if (loaded != sessionState.cargoLoaded) sessionState.odometerBaselineValid = false;
  sessionState.cargoLoaded = loaded;
}

void recordConfiguration(const scs_telemetry_configuration_t& configuration) {
  if (configuration.id == nullptr || configuration.attributes == nullptr) return;
  switch (classify(configuration.id)) {
    case ConfigurationKind::truck:
      storeName(sessionState.truckName, nameAttribute(configuration.attributes), "Unknown");
      break;
    case ConfigurationKind::trailer:
      storeName(sessionState.trailerName, nameAttribute(configuration.attributes), "None");
      break;
    case ConfigurationKind::job:
      storeCargoLoaded(cargoLoadedAttribute(configuration.attributes));
      break;
    case ConfigurationKind::ignored:
      break;
  }
}

}  // namespace

// Each callback catches everything: the game is C and must never see an
// exception (the name copy can run out of memory, a mutex can fail to lock).

void onFrameStart(scs_event_t, const void* eventInfo, scs_context_t) {
  if (eventInfo == nullptr) return;
  try {
    countFrame(*static_cast<const scs_telemetry_frame_start_t*>(eventInfo));
  } catch (...) {
  }
}

void onConfiguration(scs_event_t, const void* eventInfo, scs_context_t) {
  if (eventInfo == nullptr) return;
  try {
    recordConfiguration(*static_cast<const scs_telemetry_configuration_t*>(eventInfo));
  } catch (...) {
  }
}

// The speed is registered for but nothing depends on it.
void onSpeed(scs_string_t, scs_u32_t, const scs_value_t*, scs_context_t) {}

void onOdometer(scs_string_t, scs_u32_t, const scs_value_t* value, scs_context_t) {
  if (value == nullptr || value->type != SCS_VALUE_TYPE_float) return;
  try {
    countOdometer(*value);
  } catch (...) {
  }
}
