// The configurations both benchmark drivers measure, so that the Google
// Benchmark times and the callgrind instruction counts describe the same calls.
#pragma once

#include "sdk/scssdk_telemetry.h"

inline scs_named_value_t stringAttribute(const char* name, const char* text) {
  scs_named_value_t a{};
  a.name = name;
  a.index = SCS_U32_NIL;
  a.value.type = SCS_VALUE_TYPE_string;
  a.value.value_string.value = text;
  return a;
}

// A truck whose name is longer than the short-string buffer: storing it allocates once.
struct TruckConfiguration {
  scs_named_value_t attributes[5] = {
      stringAttribute("id", "vehicle.scania.r_2016"), stringAttribute("brand_id", "scania"),
      stringAttribute("brand", "Scania"), stringAttribute("name", "R 2016 Highline 730"),
      scs_named_value_t{}};
  scs_telemetry_configuration_t configuration{"truck", attributes};

  TruckConfiguration() = default;
  TruckConfiguration(const TruckConfiguration&) = delete;  // configuration points into itself
  TruckConfiguration& operator=(const TruckConfiguration&) = delete;
};

// A job whose cargo state flips at every call, so each call takes the baseline reset.
struct JobConfiguration {
  scs_named_value_t attributes[4] = {stringAttribute("cargo.id", "machinery"),
                                     stringAttribute("cargo", "Machinery"), scs_named_value_t{},
                                     scs_named_value_t{}};
  scs_telemetry_configuration_t configuration{"job", attributes};

  JobConfiguration() {
    attributes[2].name = "cargo.loaded";
    attributes[2].value.type = SCS_VALUE_TYPE_bool;
  }
  JobConfiguration(const JobConfiguration&) = delete;
  JobConfiguration& operator=(const JobConfiguration&) = delete;
  void flipCargo() { attributes[2].value.value_bool.value ^= 1; }
};
