// The sender thread: reports what was driven every SendIntervalSeconds and takes
// the amounts off only when the collector accepted them.
#pragma once

void senderLoop();
