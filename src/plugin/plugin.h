// The plug-in's two exported entry points, its stop flag and its worker threads.
#pragma once

#include <atomic>
#include <thread>

#include "sdk/scssdk_telemetry.h"

#if defined(_WIN32)
#define VORN_EXPORT __declspec(dllexport)
#else
#define VORN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
VORN_EXPORT scs_result_t scs_telemetry_init(scs_u32_t version,
                                            const scs_telemetry_init_params_t* params);
VORN_EXPORT void scs_telemetry_shutdown(void);
}

// Raised by init once everything is registered, lowered first thing by
// shutdown; the worker loops run while it is set.
extern std::atomic<bool> running;
extern std::thread detectorThread;
extern std::thread senderThread;

extern const char* const settingsWarning;
extern const char* const registrationWarning;
extern const char* const threadStartWarning;
extern const char* const ownLogStartLine;
extern const char* const gameLogStartLine;

// Starts one worker thread. Tests replace it to make thread creation fail.
using WorkerStarter = std::thread (*)(void (*body)());
extern WorkerStarter startWorker;
std::thread startWorkerThread(void (*body)());
