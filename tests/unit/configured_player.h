// A configured player's plug-in and the game's side of it: the state a test
// starts from, as a successful init leaves it, and the calls the game makes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "plugin/session_state.h"
#include "telemetry/callbacks.h"

inline void resetToConfiguredPlayer() {
  resetSessionStateForTests();
  settings = defaultSettings();
  settings.PlayerName = "Night Owl";
  settings.ApiKey = "key-123";
  settings.CollectorURL = "http://127.0.0.1:8787/api/v1/telemetry";
}

inline void frameAt(std::uint64_t microseconds, bool restart = false) {
  scs_telemetry_frame_start_t frame{};
  frame.flags = restart ? SCS_TELEMETRY_FRAME_START_FLAG_timer_restart : 0u;
  frame.render_time = frame.simulation_time = 7;  // clocks that must not matter
  frame.paused_simulation_time = microseconds;
  onFrameStart(SCS_TELEMETRY_EVENT_frame_start, &frame, nullptr);
}

inline void odometerAt(float km) {
  scs_value_t v{};
  v.type = SCS_VALUE_TYPE_float;
  v.value_float.value = km;
  onOdometer("truck.odometer", SCS_U32_NIL, &v, nullptr);
}

// A configuration from "NAME=TYPE:VALUE; ..." with TYPE bool, s32, string or
// null (a string with a null text); the NAME "@end" is a null name, which
// ends the list early, and the list "@none" is no list at all (a null pointer).
struct Configuration {
  std::deque<std::string> texts;
  std::vector<scs_named_value_t> attributes;
  scs_telemetry_configuration_t info{};

  Configuration(const char* id, const std::string& list) {
    std::istringstream items(list);
    for (std::string item; std::getline(items >> std::ws, item, ';');) {
      const std::size_t equals = item.find('='), colon = item.find(':');
      const std::string name = item.substr(0, equals);
      const std::string type = item.substr(equals + 1, colon - equals - 1);
      const char* text = texts.emplace_back(item.substr(colon + 1)).c_str();
      scs_named_value_t a{};
      a.name = name == "@end" ? nullptr : texts.emplace_back(name).c_str();
      a.value.type = type == "bool"  ? SCS_VALUE_TYPE_bool
                     : type == "s32" ? SCS_VALUE_TYPE_s32
                                     : SCS_VALUE_TYPE_string;  // "null" is a null text
      a.value.value_s32.value = std::atoi(text);               // a bool is its low byte
      if (type == "string") a.value.value_string.value = text;
      attributes.push_back(a);
    }
    attributes.push_back(scs_named_value_t{});
    info = {id, list == "@none" ? nullptr : attributes.data()};
  }
  void deliver() const { onConfiguration(SCS_TELEMETRY_EVENT_configuration, &info, nullptr); }
};
