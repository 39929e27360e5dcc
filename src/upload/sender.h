// The sender thread: reports what was driven every SendIntervalSeconds and takes
// the amounts off only when the collector accepted them.
#pragma once

#include <string>

using PostFunction = bool (*)(const std::string& url, const std::string& apiKey,
                              const std::string& body);

// One reporting step: snapshot under stateMutex, skip unless on a known server
// with something pending, post without the lock, and after an accepted post
// subtract exactly the amounts that were sent. True when a report was accepted.
bool senderCycle(PostFunction post);

void senderLoop();
