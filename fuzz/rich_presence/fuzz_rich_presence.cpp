// readRichPresence against the unit tests' fake Steam filled from the fuzz
// input: the key count, each key by index (null, empty, a fixed key name or
// fuzz bytes) and each value (null, empty, a known identifier or its bare
// form, or fuzz bytes). The answer is empty or a known identifier, every map
// entry is a key the reader may keep with the value the fake handed out for
// it, and the reader calls the library only as it may.
//
// The fake hands every text out in one buffer that the next call overwrites,
// so a reader that keeps a pointer instead of copying stores garbage.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/fuzz_check.h"
#include "detect/rich_presence.h"
#include "detect/servers.h"
#include "fake_steam.h"

namespace {

std::optional<std::string> nextText(FuzzedDataProvider& input, bool key) {
  std::string text;
  switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return std::nullopt;
    case 1:
      return std::string();
    case 2:
      return std::string(fixedRichPresenceKeys[input.ConsumeIntegralInRange<int>(0, 5)]);
    case 3:
      text = key ? input.ConsumeRandomLengthString(24) : fuzzcheck::serverishText(input, 8);
      break;
    default:
      text = input.ConsumeRandomLengthString(24);
  }
  return text.substr(0, text.find('\0'));  // a C text ends at its first zero byte
}

bool isFixedKey(const std::string& key) {
  return std::find(std::begin(fixedRichPresenceKeys), std::end(fixedRichPresenceKeys), key) !=
         std::end(fixedRichPresenceKeys);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  fakesteam::reset();
  fakesteam::State& steam = fakesteam::state;
  const bool withRequest = input.ConsumeBool();
  steam.selfId = input.ConsumeIntegralInRange<std::uint64_t>(1, UINT64_MAX);
  // Steam's own counts are small; a negative one must skip the enumeration.
  steam.keyCount = input.ConsumeIntegralInRange<std::int32_t>(-3, 40);
  for (std::int32_t i = 0; i < *steam.keyCount; ++i) {
    steam.enumeratedKeys.push_back(nextText(input, true));
    if (steam.enumeratedKeys.back())
      steam.values[*steam.enumeratedKeys.back()] = nextText(input, false);
  }
  for (const char* fixed : fixedRichPresenceKeys)
    if (input.ConsumeBool()) steam.values[fixed] = nextText(input, false);

  // Left-overs from an earlier cycle must not survive.
  RichPresenceMap presence{{"stale", "90071992547409921/101"}, {"connect", "old"}};
  const std::string answer =
      readRichPresence(fakesteam::binding(withRequest), steam.selfId, presence);

  const auto handedOut = [](const std::string& key) {
    const auto& values = fakesteam::state.values;
    const auto value = values.find(key);
    return value == values.end() ? std::string() : value->second.value_or("");
  };
  const auto enumerated = [](const std::string& key) {
    const auto& keys = fakesteam::state.enumeratedKeys;
    return std::count(keys.begin(), keys.end(), key) > 0;
  };
  FUZZ_REQUIRE(steam.foreignCalls == 0, "a call with another interface or Steam id");
  FUZZ_REQUIRE(steam.requestCalls == (withRequest ? 1 : 0), "requested not exactly once");
  for (const std::string& key : steam.valueReads)
    FUZZ_REQUIRE(!key.empty() && (enumerated(key) || isFixedKey(key)),
                 "a value read for " + fuzzcheck::quoted(key));
  for (const auto& [key, stored] : presence) {
    FUZZ_REQUIRE(std::count(steam.valueReads.begin(), steam.valueReads.end(), key) > 0,
                 "map key " + fuzzcheck::quoted(key) + " was never read");
    FUZZ_REQUIRE(stored == handedOut(key), "map value " + fuzzcheck::quoted(stored) + " for " +
                                               fuzzcheck::quoted(key) + " is not the one read");
    FUZZ_REQUIRE(enumerated(key) || !stored.empty(), "an empty fixed value was kept");
  }
  FUZZ_REQUIRE(answer.empty() || isKnownServer(answer), "answer " + fuzzcheck::quoted(answer));
  if (!answer.empty()) {
    // The reader stops at the value that named the server.
    const std::string& last = steam.valueReads.back();
    FUZZ_REQUIRE(findKnownServerId(handedOut(last)) == answer, "reading went on after a server");
    FUZZ_REQUIRE(presence.count(last) == 1, "the value that named the server is not kept");
    return 0;
  }
  for (const auto& entry : presence)
    FUZZ_REQUIRE(findKnownServerId(entry.second).empty(), "a server was named, yet none found");
  for (const char* fixed : fixedRichPresenceKeys)
    FUZZ_REQUIRE(std::count(steam.valueReads.begin(), steam.valueReads.end(), fixed) >= 1,
                 std::string("fixed key not read: ") + fixed);
  return 0;
}
