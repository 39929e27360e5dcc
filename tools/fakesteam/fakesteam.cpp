// fakesteam: a stand-in for the Steam client library's flat C API, for tests
// and the demo. It answers from a script file named by FAKESTEAM_SCRIPT, one
// setting a line, and reads the file again whenever its content changed:
//
//   steam_id 76561198000000001        the local user's id (0: no user)
//   game_played 1                     0 or 1
//   game_id 270880
//   address 192.0.2.10                dotted, or one number (first octet most significant)
//   game_port 27027
//   query_port 27026
//   lobby 109775241000000000
//   rp connect=+connect 192.0.2.10:27027   rich presence, in enumeration order;
//   rp status=                             the value may be empty; repeatable
//   rpx status=Line 1\nLine 2        as rp, with \n \r \t \\ and \xHH escapes
//   null_user 1 | null_friends 1      that accessor returns null
//
// Blank lines and lines starting with # are skipped. A missing script means no
// user, no game and no rich presence. Answers are given only for the
// interface pointers the accessors handed out and for the scripted user's id.
// The script is read again by the accessors and by GetSteamID, which starts
// every detection cycle, so one cycle sees one script however large it is.
// It exports every accessor version and method; which versions the plug-in
// picks, and what it does without one, is the unit tests' binding table.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/text_escapes.h"

#if defined(_WIN32)
#define FAKESTEAM_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKESTEAM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct GamePlayed {
  std::uint64_t gameId;
  std::uint32_t address;
  std::uint16_t gamePort;
  std::uint16_t queryPort;
  std::uint64_t lobbyId;
};
static_assert(sizeof(GamePlayed) == 24, "the library's record is 24 bytes");

struct Script {
  std::uint64_t steamId = 0;
  bool gamePlayed = false;
  GamePlayed game{};
  std::vector<std::pair<std::string, std::string>> presence;
  std::map<std::string, std::size_t> lastEntryOfKey;  // index into presence
  bool nullUser = false;
  bool nullFriends = false;
};

// Distinct objects stand for the two interfaces, so that a caller mixing
// them up gets nothing back.
char userInterface;
char friendsInterface;
const char emptyText[] = "";

std::mutex scriptMutex;
bool scriptLoaded = false;
std::string scriptText;
Script current;
// Texts handed out stay valid until the call after the one that returned them,
// even when the script changes in between.
Script previous;

std::uint32_t parseAddress(const std::string& text) {
  unsigned octets[4];
  char tail;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &octets[0], &octets[1], &octets[2], &octets[3],
                  &tail) == 4)
    return (octets[0] & 0xFFu) << 24 | (octets[1] & 0xFFu) << 16 | (octets[2] & 0xFFu) << 8 |
           (octets[3] & 0xFFu);
  return static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 0));
}

Script parseScript(const std::string& text) {
  Script script;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t space = line.find(' ');
    const std::string name = line.substr(0, space);
    const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
    const unsigned long long number = std::strtoull(value.c_str(), nullptr, 10);
    if (name == "steam_id") script.steamId = number;
    else if (name == "game_played") script.gamePlayed = number != 0;
    else if (name == "game_id") script.game.gameId = number;
    else if (name == "address") script.game.address = parseAddress(value);
    else if (name == "game_port") script.game.gamePort = static_cast<std::uint16_t>(number);
    else if (name == "query_port") script.game.queryPort = static_cast<std::uint16_t>(number);
    else if (name == "lobby") script.game.lobbyId = number;
    else if (name == "null_user") script.nullUser = number != 0;
    else if (name == "null_friends") script.nullFriends = number != 0;
    else if (name == "rp" || name == "rpx") {
      const std::size_t equals = value.find('=');
      if (equals == std::string::npos) continue;
      std::string key = value.substr(0, equals);
      std::string entry = value.substr(equals + 1);
      if (name == "rpx") {
        key = text_escapes::unescape(key);
        entry = text_escapes::unescape(entry);
      }
      script.lastEntryOfKey[key] = script.presence.size();
      script.presence.emplace_back(std::move(key), std::move(entry));
    }
  }
  return script;
}

bool readFile(const std::string& path, std::string& content) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream buffer;
  buffer << file.rdbuf();
  content = buffer.str();
  return true;
}

std::string readScriptText() {
  const char* path = std::getenv("FAKESTEAM_SCRIPT");
  if (path == nullptr || *path == '\0') return std::string();
  std::string content;
  if (readFile(path, content)) return content;
#if defined(_WIN32)
  // Under Wine a Unix path is reached through the drive that maps the root.
  if (path[0] == '/' && readFile(std::string("Z:") + path, content)) return content;
#endif
  return std::string();
}

// Called with scriptMutex held, first thing in the accessors and GetSteamID.
const Script& refresh() {
  std::string text = readScriptText();
  if (!scriptLoaded || text != scriptText) {
    previous = std::move(current);
    current = parseScript(text);
    scriptText = std::move(text);
    scriptLoaded = true;
  }
  return current;
}

bool isScriptedUser(const Script& script, const void* friends, std::uint64_t steamId) {
  return friends == &friendsInterface && steamId != 0 && steamId == script.steamId;
}

void* userAccessor() {
  std::lock_guard<std::mutex> lock(scriptMutex);
  return refresh().nullUser ? nullptr : &userInterface;
}

void* friendsAccessor() {
  std::lock_guard<std::mutex> lock(scriptMutex);
  return refresh().nullFriends ? nullptr : &friendsInterface;
}

}  // namespace

FAKESTEAM_EXPORT void* SteamAPI_SteamUser_v023() { return userAccessor(); }
FAKESTEAM_EXPORT void* SteamAPI_SteamUser_v022() { return userAccessor(); }
FAKESTEAM_EXPORT void* SteamAPI_SteamUser_v021() { return userAccessor(); }
FAKESTEAM_EXPORT void* SteamAPI_SteamFriends_v018() { return friendsAccessor(); }
FAKESTEAM_EXPORT void* SteamAPI_SteamFriends_v017() { return friendsAccessor(); }
FAKESTEAM_EXPORT void* SteamAPI_SteamFriends_v016() { return friendsAccessor(); }
FAKESTEAM_EXPORT void* SteamAPI_SteamUser_v020() { return userAccessor(); }
FAKESTEAM_EXPORT void* SteamAPI_SteamFriends_v015() { return friendsAccessor(); }

// Holding Steam: a test that needs a stretch of frames free of detector
// cycles (each one that finds a server re-primes the frame clock) parks the
// detector in its next cycle's first call, before that cycle can publish.
std::mutex holdMutex;
std::condition_variable holdChanged;
bool holdRequested = false;
bool detectorParked = false;

void parkWhileHeld() {
  std::unique_lock<std::mutex> lock(holdMutex);
  if (!holdRequested) return;
  detectorParked = true;
  holdChanged.notify_all();
  holdChanged.wait(lock, [] { return !holdRequested; });
  detectorParked = false;
}

// Returns 1 once the detector is parked, 0 (and no hold) after the time-out.
FAKESTEAM_EXPORT int fakesteam_hold(int timeoutMilliseconds) {
  std::unique_lock<std::mutex> lock(holdMutex);
  holdRequested = true;
  if (holdChanged.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
                           [] { return detectorParked; }))
    return 1;
  holdRequested = false;
  holdChanged.notify_all();
  return 0;
}

FAKESTEAM_EXPORT void fakesteam_release() {
  std::lock_guard<std::mutex> lock(holdMutex);
  holdRequested = false;
  holdChanged.notify_all();
}

FAKESTEAM_EXPORT std::uint64_t SteamAPI_ISteamUser_GetSteamID(void* user) {
  parkWhileHeld();
  std::lock_guard<std::mutex> lock(scriptMutex);
  const Script& script = refresh();
  return user == &userInterface ? script.steamId : 0;
}

FAKESTEAM_EXPORT bool SteamAPI_ISteamFriends_GetFriendGamePlayed(void* friends,
                                                                 std::uint64_t steamId,
                                                                 GamePlayed* out) {
  std::lock_guard<std::mutex> lock(scriptMutex);
  const Script& script = current;
  if (out == nullptr || !isScriptedUser(script, friends, steamId) || !script.gamePlayed)
    return false;
  *out = script.game;
  return true;
}

FAKESTEAM_EXPORT void SteamAPI_ISteamFriends_RequestFriendRichPresence(void*, std::uint64_t) {}

FAKESTEAM_EXPORT std::int32_t SteamAPI_ISteamFriends_GetFriendRichPresenceKeyCount(
    void* friends, std::uint64_t steamId) {
  std::lock_guard<std::mutex> lock(scriptMutex);
  const Script& script = current;
  if (!isScriptedUser(script, friends, steamId)) return 0;
  return static_cast<std::int32_t>(script.presence.size());
}

FAKESTEAM_EXPORT const char* SteamAPI_ISteamFriends_GetFriendRichPresenceKeyByIndex(
    void* friends, std::uint64_t steamId, std::int32_t index) {
  std::lock_guard<std::mutex> lock(scriptMutex);
  const Script& script = current;
  if (!isScriptedUser(script, friends, steamId) || index < 0 ||
      static_cast<std::size_t>(index) >= script.presence.size())
    return emptyText;
  return script.presence[static_cast<std::size_t>(index)].first.c_str();
}

// Like Steam, an unknown key reads as empty text; the last line for a key wins.
FAKESTEAM_EXPORT const char* SteamAPI_ISteamFriends_GetFriendRichPresence(void* friends,
                                                                          std::uint64_t steamId,
                                                                          const char* key) {
  std::lock_guard<std::mutex> lock(scriptMutex);
  const Script& script = current;
  if (key == nullptr || !isScriptedUser(script, friends, steamId)) return emptyText;
  const auto entry = script.lastEntryOfKey.find(key);
  return entry == script.lastEntryOfKey.end() ? emptyText
                                              : script.presence[entry->second].second.c_str();
}
