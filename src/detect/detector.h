// The detector thread: works out the current server from Steam about every two
// seconds and publishes it as sessionState.serverId.
#pragma once

void detectorLoop();
