// Run-time binding to the Steam client library that the game has already
// loaded: its flat C API as this plug-in calls it, and the record of resolved
// entry points that the detector thread owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What GetFriendGamePlayed fills in: 24 bytes, little-endian, no gaps.
struct GamePlayedInfo {
  std::uint64_t gameId;
  // Most significant byte is the first dotted octet.
  std::uint32_t address;
  std::uint16_t gamePort;
  std::uint16_t queryPort;
  std::uint64_t lobbyId;
};
static_assert(sizeof(GamePlayedInfo) == 24, "GamePlayedInfo must match the library's record");
static_assert(offsetof(GamePlayedInfo, gameId) == 0, "game id at 0");
static_assert(offsetof(GamePlayedInfo, address) == 8, "address at 8");
static_assert(offsetof(GamePlayedInfo, gamePort) == 12, "game port at 12");
static_assert(offsetof(GamePlayedInfo, queryPort) == 14, "query port at 14");
static_assert(offsetof(GamePlayedInfo, lobbyId) == 16, "lobby id at 16");

// The flat API's function types. Interface pointers are opaque and always come
// first. GetFriendGamePlayed returns a C++ bool in the low byte of the return
// register; reading it as one unsigned byte takes exactly that byte and treats
// any non-zero value as true.
using SteamAccessorFunction = void* (*)();
using GetSteamIdFunction = std::uint64_t (*)(void* user);
using GetFriendGamePlayedFunction = std::uint8_t (*)(void* friends, std::uint64_t steamId,
                                                     GamePlayedInfo* out);
using RequestRichPresenceFunction = void (*)(void* friends, std::uint64_t steamId);
using GetRichPresenceKeyCountFunction = std::int32_t (*)(void* friends, std::uint64_t steamId);
using GetRichPresenceKeyByIndexFunction = const char* (*)(void* friends, std::uint64_t steamId,
                                                          std::int32_t index);
using GetRichPresenceFunction = const char* (*)(void* friends, std::uint64_t steamId,
                                                const char* key);

struct SteamBinding {
  void* module = nullptr;  // not owned: never freed or unloaded
  void* user = nullptr;
  void* friends = nullptr;
  GetSteamIdFunction getSteamId = nullptr;
  GetFriendGamePlayedFunction getFriendGamePlayed = nullptr;
  GetRichPresenceKeyCountFunction getRichPresenceKeyCount = nullptr;
  GetRichPresenceKeyByIndexFunction getRichPresenceKeyByIndex = nullptr;
  GetRichPresenceFunction getRichPresence = nullptr;
  RequestRichPresenceFunction requestRichPresence = nullptr;  // optional
};

// Newest interface version first.
extern const char* const steamUserAccessorNames[4];
extern const char* const steamFriendsAccessorNames[4];

extern const char* const steamProbeBound;            // both interfaces in hand
extern const char* const steamProbeMissingExports;   // an accessor or a required method is absent
extern const char* const steamProbeNoInterfaces;     // an accessor returned null

// How a binding attempt reaches the library and the log; the plug-in uses the
// platform's loader and writeLog, tests a table of fake exports.
struct SteamLibraryAccess {
  void* (*findLoadedLibrary)(const char* name);
  void* (*findExport)(void* library, const char* name);
  void (*log)(const std::string& message);
};

SteamLibraryAccess platformSteamAccess();

// One binding attempt: fills `binding` anew and tells whether it is usable.
// Silent while the library is not loaded; otherwise writes one probe line.
bool bindSteamWith(SteamBinding& binding, const SteamLibraryAccess& access);
bool bindSteam(SteamBinding& binding);
