#include "detect/rich_presence.h"

#include "detect/servers.h"

const char* const fixedRichPresenceKeys[6] = {
    "connect", "status", "steam_display", "steam_player_group", "steam_player_group_size",
    "launch"};

namespace {

// The library may reuse the buffer behind a returned text on its next call.
std::string copyText(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

std::string valueOf(const SteamBinding& binding, std::uint64_t steamId, const std::string& key) {
  return copyText(binding.getRichPresence(binding.friends, steamId, key.c_str()));
}

}  // namespace

std::string readRichPresence(const SteamBinding& binding, std::uint64_t steamId,
                             RichPresenceMap& presence) {
  presence.clear();
  if (binding.getRichPresenceKeyCount == nullptr || binding.getRichPresenceKeyByIndex == nullptr ||
      binding.getRichPresence == nullptr)
    return std::string();

  // Fire and forget: the reads below see whatever Steam holds right now.
  if (binding.requestRichPresence != nullptr) binding.requestRichPresence(binding.friends, steamId);

  const std::int32_t count = binding.getRichPresenceKeyCount(binding.friends, steamId);
  for (std::int32_t index = 0; index < count; ++index) {
    const std::string key =
        copyText(binding.getRichPresenceKeyByIndex(binding.friends, steamId, index));
    if (key.empty()) continue;
    std::string value = valueOf(binding, steamId, key);
    std::string server = findKnownServerId(value);
    presence[key] = std::move(value);
    if (!server.empty()) return server;
  }

  for (const char* fixedKey : fixedRichPresenceKeys) {
    const std::string key(fixedKey);
    std::string value = valueOf(binding, steamId, key);
    if (value.empty()) continue;
    std::string server = findKnownServerId(value);
    presence[key] = std::move(value);
    if (!server.empty()) return server;
  }
  return std::string();
}
