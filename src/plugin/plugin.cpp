#include "plugin/plugin.h"

#include <cstring>
#include <exception>

#include "config/log.h"
#include "config/settings.h"
#include "detect/detector.h"
#include "telemetry/callbacks.h"
#include "upload/sender.h"

std::atomic<bool> running{false};
std::thread detectorThread;
std::thread senderThread;

const char* const settingsWarning =
    "VORN Davida Client: edit VORN_Davida_Client.ini (PlayerName and ApiKey)";
const char* const registrationWarning =
    "VORN Davida Client: unable to register telemetry event callbacks";
const char* const threadStartWarning = "VORN Davida Client: unable to start worker threads";
const char* const ownLogStartLine = "VORN Davida Client v7.3 CONNECT FALLBACK initialized.";
const char* const gameLogStartLine = "VORN Davida Client v7.2 IN-GAME ODOMETER initialized";

std::thread startWorkerThread(void (*body)()) { return std::thread(body); }
WorkerStarter startWorker = &startWorkerThread;

namespace {

// The game passes its own warning as type 2 and its start message as type 0.
const scs_log_type_t gameLogWarningType = 2;
const scs_log_type_t gameLogMessageType = SCS_LOG_TYPE_message;

void gameLog(const scs_telemetry_init_params_t* params, scs_log_type_t type, const char* text) {
  if (params->common.log != nullptr) params->common.log(type, text);
}

bool hasCredentials() {
  const Settings& s = settings;
  return !s.PlayerName.empty() && s.PlayerName != playerNamePlaceholder && !s.ApiKey.empty() &&
         s.ApiKey != apiKeyPlaceholder;
}

bool registerEvent(const scs_telemetry_init_params_t* params, scs_event_t event,
                   scs_telemetry_event_callback_t callback) {
  if (params->register_for_event == nullptr) return false;
  return params->register_for_event(event, callback, nullptr) == SCS_RESULT_ok;
}

void registerFloatChannel(const scs_telemetry_init_params_t* params, const char* name,
                          scs_telemetry_channel_callback_t callback) {
  if (params->register_for_channel == nullptr) return;
  params->register_for_channel(name, SCS_U32_NIL, SCS_VALUE_TYPE_float,
                               SCS_TELEMETRY_CHANNEL_FLAG_none, callback, nullptr);
}

void joinWorker(std::thread& worker) {
  if (worker.joinable()) worker.join();
}

void stopWorkers() {
  running.exchange(false);
  joinWorker(detectorThread);
  joinWorker(senderThread);
}

// Starts the detector, then the sender. If either cannot be created the
// plug-in goes back to Idle: the flag drops and whatever started is joined.
bool startWorkers() {
  try {
    detectorThread = startWorker(&detectorLoop);
    senderThread = startWorker(&senderLoop);
    return true;
  } catch (...) {
    stopWorkers();
    return false;
  }
}

scs_result_t initialise(scs_u32_t version, const scs_telemetry_init_params_t* params) {
  if (version != SCS_TELEMETRY_VERSION_1_00 && version != SCS_TELEMETRY_VERSION_1_01)
    return SCS_RESULT_unsupported;
  if (params == nullptr || params->common.game_id == nullptr ||
      std::strcmp(params->common.game_id, "ats") != 0)
    return SCS_RESULT_unsupported;

  // Already running: a second pair of threads, or re-reading the settings
  // while the sender reads them, is not allowed.
  if (running.load() || detectorThread.joinable() || senderThread.joinable())
    return SCS_RESULT_generic_error;

  loadSettings();
  if (!hasCredentials()) {
    gameLog(params, gameLogWarningType, settingsWarning);
    return SCS_RESULT_generic_error;
  }
  if (!registerEvent(params, SCS_TELEMETRY_EVENT_frame_start, &onFrameStart) ||
      !registerEvent(params, SCS_TELEMETRY_EVENT_configuration, &onConfiguration)) {
    gameLog(params, gameLogWarningType, registrationWarning);
    return SCS_RESULT_generic_error;
  }
  registerFloatChannel(params, "truck.speed", &onSpeed);
  registerFloatChannel(params, "truck.odometer", &onOdometer);

  running.exchange(true);
  if (!startWorkers()) {
    gameLog(params, gameLogWarningType, threadStartWarning);
    return SCS_RESULT_generic_error;
  }
  writeLog(ownLogStartLine);
  gameLog(params, gameLogMessageType, gameLogStartLine);
  return SCS_RESULT_ok;
}

}  // namespace

extern "C" scs_result_t scs_telemetry_init(scs_u32_t version,
                                           const scs_telemetry_init_params_t* params) {
  try {
    return initialise(version, params);
  } catch (...) {
    // Nothing may cross into the game as an exception.
    stopWorkers();
    return SCS_RESULT_generic_error;
  }
}

extern "C" void scs_telemetry_shutdown(void) {
  try {
    stopWorkers();
  } catch (...) {
  }
}
