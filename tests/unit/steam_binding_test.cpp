#include "detect/steam_binding.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake_steam.h"
#include "platform/platform.h"

namespace {

// One distinct interface object per accessor version, so that the test sees
// which version the binding chose.
char userInterfaces[4];
char friendsInterfaces[4];
char libraryHandle;

struct FakeLibrary {
  bool loaded = true;
  std::set<std::string> missing;
  bool nullUser = false;
  bool nullFriends = false;
  int accessorCalls = 0;
  std::string libraryAskedFor;
  std::vector<std::string> log;
};
FakeLibrary library;

template <int Version>
void* userAccessor() {
  ++library.accessorCalls;
  return library.nullUser ? nullptr : &userInterfaces[Version];
}
template <int Version>
void* friendsAccessor() {
  ++library.accessorCalls;
  return library.nullFriends ? nullptr : &friendsInterfaces[Version];
}

template <typename Function>
void* address(Function function) {
  return reinterpret_cast<void*>(function);
}

const char* const requestExport = "SteamAPI_ISteamFriends_RequestFriendRichPresence";

const std::map<std::string, void*>& exportTable() {
  static const std::map<std::string, void*> table = {
      {"SteamAPI_SteamUser_v023", address(&userAccessor<0>)},
      {"SteamAPI_SteamUser_v022", address(&userAccessor<1>)},
      {"SteamAPI_SteamUser_v021", address(&userAccessor<2>)},
      {"SteamAPI_SteamUser_v020", address(&userAccessor<3>)},
      {"SteamAPI_SteamFriends_v018", address(&friendsAccessor<0>)},
      {"SteamAPI_SteamFriends_v017", address(&friendsAccessor<1>)},
      {"SteamAPI_SteamFriends_v016", address(&friendsAccessor<2>)},
      {"SteamAPI_SteamFriends_v015", address(&friendsAccessor<3>)},
      {"SteamAPI_ISteamUser_GetSteamID", address(&fakesteam::getSteamId)},
      {"SteamAPI_ISteamFriends_GetFriendGamePlayed", address(&fakesteam::getFriendGamePlayed)},
      {requestExport, address(&fakesteam::requestRichPresence)},
      {"SteamAPI_ISteamFriends_GetFriendRichPresenceKeyCount", address(&fakesteam::getKeyCount)},
      {"SteamAPI_ISteamFriends_GetFriendRichPresenceKeyByIndex",
       address(&fakesteam::getKeyByIndex)},
      {"SteamAPI_ISteamFriends_GetFriendRichPresence", address(&fakesteam::getRichPresence)},
  };
  return table;
}

void* findLibrary(const char* name) {
  library.libraryAskedFor = name;
  return library.loaded ? &libraryHandle : nullptr;
}

void* findExport(void* module, const char* name) {
  if (module != &libraryHandle || library.missing.count(name) != 0) return nullptr;
  const auto found = exportTable().find(name);
  return found == exportTable().end() ? nullptr : found->second;
}

void recordLog(const std::string& message) { library.log.push_back(message); }

const SteamLibraryAccess fakeAccess{&findLibrary, &findExport, &recordLog};

const char* const probeBound = "Steam active-session probe: SteamUser + SteamFriends loaded.";
const char* const probeMissing = "Steam active-session probe: required exports unavailable.";
const char* const probeNull = "Steam active-session probe: interfaces unavailable.";

// The newest `users` SteamUser and `friends` SteamFriends accessor exports.
std::set<std::string> newest(int users, int friends) {
  std::set<std::string> names;
  for (int i = 0; i < users; ++i) names.insert("SteamAPI_SteamUser_v0" + std::to_string(23 - i));
  for (int i = 0; i < friends; ++i)
    names.insert("SteamAPI_SteamFriends_v0" + std::to_string(18 - i));
  return names;
}

struct BindCase {
  std::string name;
  bool loaded;
  std::set<std::string> missing;
  bool nullUser, nullFriends;
  const char* probe;  // the one line logged; null: none
  int userVersion;    // index into userInterfaces of the expected pointer; -1: none
  int friendsVersion;
};

// Bound exactly when the "loaded" line is written.
TEST(BindSteam, ResolvesWhatItCanAndWritesOneProbeLine) {
  std::vector<BindCase> cases = {
      {"library not loaded is silent", false, {}, false, false, nullptr, -1, -1},
      {"newest accessors win", true, {}, false, false, probeBound, 0, 0},
      {"next version after a missing one", true, newest(1, 2), false, false, probeBound, 1, 2},
      {"oldest accessors alone", true, newest(3, 3), false, false, probeBound, 3, 3},
      {"request is optional", true, {requestExport}, false, false, probeBound, 0, 0},
      {"no user accessor", true, newest(4, 0), false, false, probeMissing, -1, -1},
      {"no friends accessor", true, newest(0, 4), false, false, probeMissing, -1, -1},
      {"null user interface", true, {}, true, false, probeNull, -1, 0},
      {"null friends interface", true, {}, false, true, probeNull, 0, -1},
  };
  // Every required method is checked before an accessor is called.
  for (const char* method :
       {"SteamAPI_ISteamUser_GetSteamID", "SteamAPI_ISteamFriends_GetFriendGamePlayed",
        "SteamAPI_ISteamFriends_GetFriendRichPresenceKeyCount",
        "SteamAPI_ISteamFriends_GetFriendRichPresenceKeyByIndex",
        "SteamAPI_ISteamFriends_GetFriendRichPresence"})
    cases.push_back(
        {std::string("no ") + method, true, {method}, false, false, probeMissing, -1, -1});
  for (const BindCase& c : cases) {
    SCOPED_TRACE(c.name);
    library = FakeLibrary{c.loaded, c.missing, c.nullUser, c.nullFriends, 0, {}, {}};

    SteamBinding binding;
    EXPECT_EQ(bindSteamWith(binding, fakeAccess), c.probe == probeBound);
    EXPECT_EQ(library.libraryAskedFor, platform::steamLibraryName);
    EXPECT_EQ(library.log,
              c.probe ? std::vector<std::string>{c.probe} : std::vector<std::string>{});
    EXPECT_EQ(library.accessorCalls, c.probe == probeBound || c.probe == probeNull ? 2 : 0);
    if (c.userVersion >= 0) {
      EXPECT_EQ(binding.user, &userInterfaces[c.userVersion]);
    }
    if (c.friendsVersion >= 0) {
      EXPECT_EQ(binding.friends, &friendsInterfaces[c.friendsVersion]);
    }
  }
}

}  // namespace
