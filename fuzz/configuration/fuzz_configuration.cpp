// onConfiguration over fuzzed configuration events: any id (or none), any
// attribute array (or none) with names, types and value bytes from the fuzz
// input. The truck and trailer names are never empty, and a configuration
// changes nothing but what its id is about (which values it takes is the
// unit tests' table).
//
// Value bytes of entries that are not strings are fuzz bytes, so a callback
// that reads a text pointer out of a value of another type dereferences
// garbage; the array is allocated to its exact length, so reading past the
// terminator is caught by the address sanitizer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/fuzz_check.h"
#include "plugin/session_state.h"
#include "telemetry/callbacks.h"

namespace {

const char* const ids[] = {"truck", "trailer", "trailer.0", "job", "trailer.1", "Truck", "truck "};
const char* const names[] = {"name", "cargo.loaded", "Name", "name ", "cargo", "id"};

struct Event {
  std::vector<std::string> texts;  // keeps every text alive for the call
  std::unique_ptr<scs_named_value_t[]> attributes;
  std::size_t attributeCount = 0;
  scs_telemetry_configuration_t configuration{};
};

const char* keep(Event& event, std::string text) {
  event.texts.push_back(std::move(text));
  return event.texts.back().c_str();
}

// Texts are reserved up front so that keep() never moves a text already handed out.
void buildEvent(FuzzedDataProvider& input, Event& event) {
  event.texts.reserve(64);
  switch (input.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
      event.configuration.id = nullptr;
      break;
    case 1:
      event.configuration.id = keep(event, input.ConsumeRandomLengthString(12));
      break;
    default:
      event.configuration.id = ids[input.ConsumeIntegralInRange<std::size_t>(0, 6)];
      break;
  }
  if (input.ConsumeIntegralInRange<int>(0, 15) == 0) return;  // null attributes
  event.attributeCount = input.ConsumeIntegralInRange<std::size_t>(0, 12);
  event.attributes.reset(new scs_named_value_t[event.attributeCount + 1]);
  for (std::size_t i = 0; i <= event.attributeCount; ++i) {
    scs_named_value_t& entry = event.attributes[i];
    // Fuzz bytes everywhere first, the union included.
    std::vector<std::uint8_t> raw = input.ConsumeBytes<std::uint8_t>(sizeof entry);
    raw.resize(sizeof entry, 0xA5);
    std::memcpy(&entry, raw.data(), sizeof entry);
    if (i == event.attributeCount) {
      entry.name = nullptr;  // the terminator; its other fields stay garbage
      break;
    }
    entry.name = input.ConsumeBool() ? names[input.ConsumeIntegralInRange<std::size_t>(0, 5)]
                                     : keep(event, input.ConsumeRandomLengthString(12));
    if (input.ConsumeBool())
      entry.value.type = input.ConsumeBool() ? SCS_VALUE_TYPE_string : SCS_VALUE_TYPE_bool;
    if (entry.value.type == SCS_VALUE_TYPE_string)
      entry.value.value_string.value = input.ConsumeIntegralInRange<int>(0, 5) == 0
                                           ? nullptr
                                           : keep(event, input.ConsumeRandomLengthString(24));
  }
  event.configuration.attributes = event.attributes.get();
}

bool is(const char* id, const char* name) { return id != nullptr && std::strcmp(id, name) == 0; }

struct Seen {
  std::string truckName, trailerName, serverId;
  bool cargoLoaded, odometerBaselineValid;
  double pendingMiles;
  std::int32_t pendingSeconds;
};

Seen look() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return {sessionState.truckName,     sessionState.trailerName,           sessionState.serverId,
          sessionState.cargoLoaded,   sessionState.odometerBaselineValid, sessionState.pendingMiles,
          sessionState.pendingSeconds};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  resetSessionStateForTests();
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    sessionState.truckName = "truck before";
    sessionState.trailerName = "trailer before";
    sessionState.cargoLoaded = input.ConsumeBool();
    sessionState.odometerBaselineValid = input.ConsumeBool();
    sessionState.pendingMiles = 1.5;
    sessionState.pendingSeconds = 7;
  }
  const Seen before = look();
  Event event;
  buildEvent(input, event);
  const bool nullEvent = input.ConsumeIntegralInRange<int>(0, 31) == 0;

  onConfiguration(SCS_TELEMETRY_EVENT_configuration, nullEvent ? nullptr : &event.configuration,
                  nullptr);
  const Seen after = look();

  FUZZ_REQUIRE(!after.truckName.empty() && !after.trailerName.empty(), "an empty name");
  FUZZ_REQUIRE(after.serverId == before.serverId && after.pendingMiles == before.pendingMiles &&
                   after.pendingSeconds == before.pendingSeconds,
               "a configuration touched the server or the pending totals");

  const char* id = event.configuration.id;
  const bool usable = !nullEvent && id != nullptr && event.configuration.attributes != nullptr;
  const bool truck = usable && is(id, "truck");
  const bool trailer = usable && (is(id, "trailer") || is(id, "trailer.0"));
  const bool job = usable && is(id, "job");

  FUZZ_REQUIRE(truck || after.truckName == before.truckName, "truck name changed");
  FUZZ_REQUIRE(trailer || after.trailerName == before.trailerName, "trailer name changed");
  if (job) {
    FUZZ_REQUIRE(after.odometerBaselineValid ==
                     (after.cargoLoaded == before.cargoLoaded && before.odometerBaselineValid),
                 "the odometer baseline must drop exactly when the cargo state changes");
  } else {
    FUZZ_REQUIRE(after.cargoLoaded == before.cargoLoaded &&
                     after.odometerBaselineValid == before.odometerBaselineValid,
                 "cargo state changed by a configuration that is not the job");
  }
  return 0;
}
