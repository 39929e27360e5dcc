// Delivers one report body to the collector.
#pragma once

#include <string>

// One synchronous POST with the key header; true only when the collector
// answered with a status from 200 to 299. Never throws, logs nothing, and
// must not be called with stateMutex held.
bool postReport(const std::string& url, const std::string& apiKey, const std::string& body);
