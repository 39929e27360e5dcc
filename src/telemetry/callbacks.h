// The SDK callbacks that count driving time and distance and record the truck,
// the trailer and the cargo state.
#pragma once

#include "sdk/scssdk_telemetry.h"

constexpr double KM_TO_MILES = 0.621371192237334;
constexpr double MAX_FRAME_STEP_SECONDS = 2.0;
constexpr double MAX_ODOMETER_STEP_KM = 25.0;

void onFrameStart(scs_event_t event, const void* eventInfo, scs_context_t context);
void onConfiguration(scs_event_t event, const void* eventInfo, scs_context_t context);
void onSpeed(scs_string_t name, scs_u32_t index, const scs_value_t* value, scs_context_t context);
void onOdometer(scs_string_t name, scs_u32_t index, const scs_value_t* value,
                scs_context_t context);
