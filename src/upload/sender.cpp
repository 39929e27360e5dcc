#include "upload/sender.h"

#include "config/settings.h"
#include "platform/platform.h"
#include "plugin/plugin.h"

void senderLoop() {
  while (running.load()) platform::sleepMilliseconds(1000);
}
