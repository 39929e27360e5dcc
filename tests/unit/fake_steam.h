// A bound Steam library made of plain functions over one scripted record, for
// the reader and detector tests. Every text it returns lives in one scratch
// buffer that the next call overwrites, as the real library is allowed to do,
// so a caller that keeps a returned pointer instead of copying reads garbage.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "detect/steam_binding.h"

namespace fakesteam {

struct State {
  std::uint64_t selfId = 0;
  std::uint8_t gamePlayedResult = 0;
  // Written into the caller's record even when gamePlayedResult is 0, so that
  // a caller reading it without the flag would be caught.
  GamePlayedInfo game{};
  // Key count reported; by default the number of enumerated keys.
  std::optional<std::int32_t> keyCount;
  std::vector<std::optional<std::string>> enumeratedKeys;  // nullopt: a null key
  // Direct reads; a key not listed here reads as null.
  std::map<std::string, std::optional<std::string>> values;
  bool failSteamId = false;  // GetSteamID throws, as a broken library might fault

  // What the caller did.
  int requestCalls = 0;
  int gamePlayedCalls = 0;
  std::vector<std::string> valueReads;
  int foreignCalls = 0;  // wrong interface pointer or someone else's Steam id
};

inline State state;
// Called on entry to every method, for tests that check the caller's locks.
inline void (*onCall)() = nullptr;
inline char userInterface;
inline char friendsInterface;
inline char scratch[512];

inline const char* handOut(const std::optional<std::string>& text) {
  if (!text) return nullptr;
  std::memset(scratch, '#', sizeof scratch - 1);
  scratch[sizeof scratch - 1] = '\0';
  std::memcpy(scratch, text->c_str(), text->size() + 1);
  return scratch;
}

inline void checkCaller(void* friends, std::uint64_t steamId) {
  if (onCall) onCall();
  if (friends != &friendsInterface || steamId != state.selfId || steamId == 0) ++state.foreignCalls;
}

inline std::uint64_t getSteamId(void* user) {
  if (onCall) onCall();
  if (user != &userInterface) ++state.foreignCalls;
  if (state.failSteamId) throw std::runtime_error("GetSteamID failed");
  return state.selfId;
}

inline std::uint8_t getFriendGamePlayed(void* friends, std::uint64_t steamId, GamePlayedInfo* out) {
  checkCaller(friends, steamId);
  ++state.gamePlayedCalls;
  *out = state.game;
  return state.gamePlayedResult;
}

inline void requestRichPresence(void* friends, std::uint64_t steamId) {
  checkCaller(friends, steamId);
  ++state.requestCalls;
}

inline std::int32_t getKeyCount(void* friends, std::uint64_t steamId) {
  checkCaller(friends, steamId);
  return state.keyCount ? *state.keyCount : static_cast<std::int32_t>(state.enumeratedKeys.size());
}

inline const char* getKeyByIndex(void* friends, std::uint64_t steamId, std::int32_t index) {
  checkCaller(friends, steamId);
  if (index < 0 || static_cast<std::size_t>(index) >= state.enumeratedKeys.size()) return nullptr;
  return handOut(state.enumeratedKeys[static_cast<std::size_t>(index)]);
}

inline const char* getRichPresence(void* friends, std::uint64_t steamId, const char* key) {
  checkCaller(friends, steamId);
  const std::string name(key);
  state.valueReads.push_back(name);
  const auto found = state.values.find(name);
  return handOut(found == state.values.end() ? std::nullopt : found->second);
}

inline SteamBinding binding(bool withRequest = true) {
  return SteamBinding{
      &userInterface, &userInterface,       &friendsInterface,
      &getSteamId,    &getFriendGamePlayed, &getKeyCount,
      &getKeyByIndex, &getRichPresence,     withRequest ? &requestRichPresence : nullptr};
}

// Rich presence "KEY=VALUE;KEY=VALUE", both enumerated and readable by key, in this order.
inline void setPresence(const std::string& list) {
  state.enumeratedKeys.clear();
  state.values.clear();
  std::istringstream items(list);
  for (std::string item; std::getline(items, item, ';');) {
    const std::string key = item.substr(0, item.find('='));
    state.enumeratedKeys.emplace_back(key);
    state.values[key] = item.substr(item.find('=') + 1);
  }
}

inline void reset() { state = State{}; }

}  // namespace fakesteam
