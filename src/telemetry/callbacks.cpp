#include "telemetry/callbacks.h"

#include "plugin/session_state.h"

void onFrameStart(scs_event_t, const void*, scs_context_t) {}
void onConfiguration(scs_event_t, const void*, scs_context_t) {}
void onSpeed(scs_string_t, scs_u32_t, const scs_value_t*, scs_context_t) {}
void onOdometer(scs_string_t, scs_u32_t, const scs_value_t*, scs_context_t) {}
