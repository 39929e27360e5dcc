// Delivers one report body to the collector.
#pragma once

#include <chrono>
#include <string>

#include "config/timing.h"

// From the start of a post to its verdict, whatever the collector does.
constexpr std::chrono::milliseconds postDeadline{waitMilliseconds(15000)};
// How long a post under way may still finish on its own once the plug-in is
// shutting down; after that it is abandoned, so shutdown never waits on a
// collector that does not answer.
constexpr std::chrono::milliseconds postGraceAfterStop{waitMilliseconds(1000)};

// One POST with the key header; true only when the collector answered with a
// status from 200 to 299 within the limits above. Never throws, logs nothing,
// and must not be called with stateMutex held.
bool postReport(const std::string& url, const std::string& apiKey, const std::string& body);
