// readRichPresence against a fake Steam whose every answer comes from the fuzz
// input: the key count, each key by index and each value (null, empty, a
// known identifier or its bare form, a fixed key name, or fuzz bytes). The
// answer is empty or a known identifier, every map entry is a key the fake
// handed out with the value it last handed out for that key, and the reader
// calls the library only as it may.
//
// Every text handed out lives in its own heap buffer that is freed on the
// next call into the fake, as the real library may reuse it: a reader that
// keeps a pointer instead of copying is caught by the address sanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/fuzz_check.h"
#include "detect/rich_presence.h"
#include "detect/servers.h"

namespace {

enum class Call { request, count, keyByIndex, value };

struct Record {
  Call call;
  std::int32_t index = 0;
  std::string key;                    // the key asked for (value reads)
  std::optional<std::string> answer;  // what was handed out; nullopt for null
  bool enumerated = false;            // a value read for the key enumerated just before
};

struct Fake {
  FuzzedDataProvider* input = nullptr;
  std::uint64_t steamId = 0;
  std::int32_t count = 0;
  std::vector<Record> calls;
  std::unique_ptr<char[]> handedOut;
  bool foreignCall = false;
};

Fake fake;
char friendsInterface;
char userInterface;

void enter(void* friends, std::uint64_t steamId) {
  fake.handedOut.reset();  // the previous text is gone
  if (friends != &friendsInterface || steamId != fake.steamId) fake.foreignCall = true;
}

// A text as the library hands it out: zero-terminated, so it ends at the
// first zero byte.
std::optional<std::string> asCText(std::optional<std::string> text) {
  if (text) text->resize(std::strlen(text->c_str()));
  return text;
}

std::optional<std::string> nextRawText() {
  FuzzedDataProvider& input = *fake.input;
  if (input.remaining_bytes() == 0) return std::nullopt;
  switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return std::nullopt;
    case 1:
      return std::string();
    case 2:
      return std::string(fixedRichPresenceKeys[input.ConsumeIntegralInRange<int>(0, 5)]);
    case 3:
      return fuzzcheck::serverishText(input, 8);
    default:
      return input.ConsumeRandomLengthString(24);
  }
}

std::optional<std::string> nextText() { return asCText(nextRawText()); }

const char* handOut(const std::optional<std::string>& text) {
  if (!text) return nullptr;
  fake.handedOut.reset(new char[text->size() + 1]);
  std::memcpy(fake.handedOut.get(), text->c_str(), text->size() + 1);
  return fake.handedOut.get();
}

void request(void* friends, std::uint64_t steamId) {
  enter(friends, steamId);
  fake.calls.push_back(Record{Call::request, 0, std::string(), std::nullopt});
}

std::int32_t keyCount(void* friends, std::uint64_t steamId) {
  enter(friends, steamId);
  fake.calls.push_back(Record{Call::count, 0, std::string(), std::nullopt});
  return fake.count;
}

const char* keyByIndex(void* friends, std::uint64_t steamId, std::int32_t index) {
  enter(friends, steamId);
  Record record{Call::keyByIndex, index, std::string(), nextText()};
  fake.calls.push_back(record);
  return handOut(record.answer);
}

const char* value(void* friends, std::uint64_t steamId, const char* key) {
  enter(friends, steamId);
  FUZZ_REQUIRE(key != nullptr, "a value was asked for with a null key");
  Record record{Call::value, 0, std::string(key), nextText()};
  const Record* previous = fake.calls.empty() ? nullptr : &fake.calls.back();
  record.enumerated =
      previous != nullptr && previous->call == Call::keyByIndex && previous->answer == record.key;
  fake.calls.push_back(record);
  return handOut(record.answer);
}

// VORN_FUZZ_TRACE=1 prints the conversation, for reading a crash input.
void traceCalls() {
  if (std::getenv("VORN_FUZZ_TRACE") == nullptr) return;
  static const char* const callNames[] = {"request", "count", "key-by-index", "value"};
  for (const Record& r : fake.calls)
    std::fprintf(stderr, "%s index=%d key=%s answer=%s%s\n", callNames[static_cast<int>(r.call)],
                 r.index, fuzzcheck::quoted(r.key).c_str(),
                 r.answer ? fuzzcheck::quoted(*r.answer).c_str() : "null",
                 r.enumerated ? " (enumerated)" : "");
}

bool isFixedKey(const std::string& key) {
  for (const char* fixed : fixedRichPresenceKeys)
    if (key == fixed) return true;
  return false;
}

void checkCalls(bool withRequest) {
  FUZZ_REQUIRE(!fake.foreignCall, "a call with another interface or Steam id");
  std::size_t next = 0;
  if (withRequest) {
    FUZZ_REQUIRE(!fake.calls.empty() && fake.calls[0].call == Call::request,
                 "the rich presence was not requested first");
    ++next;
  }
  FUZZ_REQUIRE(next < fake.calls.size() && fake.calls[next].call == Call::count,
               "the key count was not read next");
  ++next;
  std::int32_t expectedIndex = 0;
  std::string lastKey;
  for (; next < fake.calls.size(); ++next) {
    const Record& record = fake.calls[next];
    FUZZ_REQUIRE(record.call == Call::keyByIndex || record.call == Call::value,
                 "a second request or count");
    if (record.call == Call::keyByIndex) {
      FUZZ_REQUIRE(record.index == expectedIndex && record.index < fake.count,
                   "key index " + std::to_string(record.index) + " out of order or range");
      ++expectedIndex;
      lastKey = record.answer.value_or("");
    } else {
      // A value is read for the key just enumerated, or for a fixed key.
      FUZZ_REQUIRE(record.key == lastKey || isFixedKey(record.key),
                   "a value read for " + fuzzcheck::quoted(record.key));
      FUZZ_REQUIRE(!record.key.empty(), "a value read for an empty key");
    }
  }
}

// The reader keeps a value read for a key it has just enumerated (even an
// empty one) and a non-empty value of a fixed key; a later kept read of the
// same key overwrites the earlier one.
bool kept(const Record& record) {
  return record.call == Call::value && (record.enumerated || record.answer.value_or("") != "");
}

void checkMap(const RichPresenceMap& presence, const std::string& answer) {
  std::map<std::string, std::string> expected;
  for (const Record& record : fake.calls)
    if (kept(record)) expected[record.key] = record.answer.value_or("");
  for (const auto& [key, stored] : presence) {
    const auto read = expected.find(key);
    FUZZ_REQUIRE(read != expected.end(),
                 "map key " + fuzzcheck::quoted(key) + " was never handed out and kept");
    FUZZ_REQUIRE(stored == read->second, "map value " + fuzzcheck::quoted(stored) + " for " +
                                             fuzzcheck::quoted(key) + " is not the last one read");
    if (answer.empty())
      FUZZ_REQUIRE(findKnownServerId(stored).empty(),
                   "a value naming a server was stored, yet nothing was found");
  }
  FUZZ_REQUIRE(presence.size() == expected.size(),
               "the map holds " + std::to_string(presence.size()) + " entries, not " +
                   std::to_string(expected.size()));
}

void checkAnswer(const RichPresenceMap& presence, const std::string& answer) {
  FUZZ_REQUIRE(answer.empty() || isKnownServer(answer), "answer " + fuzzcheck::quoted(answer));
  if (!answer.empty()) {
    // The reader stops at the value that named the server.
    const Record& last = fake.calls.back();
    FUZZ_REQUIRE(last.call == Call::value, "reading went on after a server was found");
    FUZZ_REQUIRE(findKnownServerId(last.answer.value_or("")) == answer,
                 "the answer is not the server of the last value read");
    const auto stored = presence.find(last.key);
    FUZZ_REQUIRE(stored != presence.end() && stored->second == *last.answer,
                 "the value that named the server is not in the map");
    return;
  }
  // Nothing found: every index was enumerated and every fixed key read.
  std::int32_t indices = 0;
  std::map<std::string, int> fixedReads;
  for (const Record& record : fake.calls) {
    if (record.call == Call::keyByIndex) ++indices;
    if (record.call == Call::value && isFixedKey(record.key)) ++fixedReads[record.key];
  }
  FUZZ_REQUIRE(indices == (fake.count > 0 ? fake.count : 0), "not every key index was read");
  for (const char* fixed : fixedRichPresenceKeys)
    FUZZ_REQUIRE(fixedReads.count(fixed) == 1, std::string("fixed key not read: ") + fixed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  fake = Fake{};
  fake.input = &input;
  const bool withRequest = input.ConsumeBool();
  fake.steamId = input.ConsumeIntegralInRange<std::uint64_t>(1, UINT64_MAX);
  // Steam's own counts are small; a negative one must skip the enumeration.
  fake.count = input.ConsumeIntegralInRange<std::int32_t>(-3, 40);

  SteamBinding binding;
  binding.user = &userInterface;
  binding.friends = &friendsInterface;
  binding.getRichPresenceKeyCount = &keyCount;
  binding.getRichPresenceKeyByIndex = &keyByIndex;
  binding.getRichPresence = &value;
  binding.requestRichPresence = withRequest ? &request : nullptr;

  // Left-overs from an earlier cycle must not survive.
  RichPresenceMap presence{{"stale", "90071992547409921/101"}, {"connect", "old"}};
  const std::string answer = readRichPresence(binding, fake.steamId, presence);
  fake.handedOut.reset();

  traceCalls();
  checkCalls(withRequest);
  checkMap(presence, answer);
  checkAnswer(presence, answer);
  return 0;
}
