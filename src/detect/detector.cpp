#include "detect/detector.h"

#include "platform/platform.h"
#include "plugin/plugin.h"

void detectorLoop() {
  while (running.load()) platform::sleepMilliseconds(100);
}
