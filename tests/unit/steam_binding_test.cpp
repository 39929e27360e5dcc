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
      {"SteamAPI_ISteamFriends_RequestFriendRichPresence",
       address(&fakesteam::requestRichPresence)},
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

const std::set<std::string> newerAccessors = {
    "SteamAPI_SteamUser_v023",    "SteamAPI_SteamUser_v022",    "SteamAPI_SteamUser_v021",
    "SteamAPI_SteamFriends_v018", "SteamAPI_SteamFriends_v017", "SteamAPI_SteamFriends_v016"};
const std::set<std::string> allUserAccessors = {
    "SteamAPI_SteamUser_v023", "SteamAPI_SteamUser_v022", "SteamAPI_SteamUser_v021",
    "SteamAPI_SteamUser_v020"};
const std::set<std::string> allFriendsAccessors = {
    "SteamAPI_SteamFriends_v018", "SteamAPI_SteamFriends_v017", "SteamAPI_SteamFriends_v016",
    "SteamAPI_SteamFriends_v015"};

enum class Probe { None, Bound, MissingExports, NoInterfaces };

struct BindCase {
  const char* name;
  bool loaded;
  std::set<std::string> missing;
  bool nullUser;
  bool nullFriends;
  bool expectedBound;
  Probe expectedProbe;
  int userVersion;  // index into userInterfaces of the expected pointer; -1: none
  int friendsVersion;
  int expectedAccessorCalls;
};
void PrintTo(const BindCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> probeLines(Probe probe) {
  switch (probe) {
    case Probe::Bound: return {steamProbeBound};
    case Probe::MissingExports: return {steamProbeMissingExports};
    case Probe::NoInterfaces: return {steamProbeNoInterfaces};
    case Probe::None: break;
  }
  return {};
}

class BindSteam : public ::testing::TestWithParam<BindCase> {};

TEST_P(BindSteam, ResolvesWhatItCanAndWritesOneProbeLine) {
  const BindCase& c = GetParam();
  library = FakeLibrary{};
  library.loaded = c.loaded;
  library.missing = c.missing;
  library.nullUser = c.nullUser;
  library.nullFriends = c.nullFriends;

  SteamBinding binding;
  EXPECT_EQ(bindSteamWith(binding, fakeAccess), c.expectedBound);

  EXPECT_EQ(library.libraryAskedFor, platform::steamLibraryName);
  EXPECT_EQ(library.log, probeLines(c.expectedProbe));
  EXPECT_EQ(library.accessorCalls, c.expectedAccessorCalls);
  if (c.userVersion >= 0) {
    EXPECT_EQ(binding.user, &userInterfaces[c.userVersion]);
  }
  if (c.friendsVersion >= 0) {
    EXPECT_EQ(binding.friends, &friendsInterfaces[c.friendsVersion]);
  }
}

const std::string keyByIndex = "SteamAPI_ISteamFriends_GetFriendRichPresenceKeyByIndex";

INSTANTIATE_TEST_SUITE_P(
    Cases, BindSteam,
    ::testing::Values(
        BindCase{"LibraryNotLoadedIsSilent", false, {}, false, false, false, Probe::None, -1, -1, 0},
        BindCase{"NewestAccessorsWin", true, {}, false, false, true, Probe::Bound, 0, 0, 2},
        BindCase{"NextVersionWhenTheNewestIsMissing", true,
                 {"SteamAPI_SteamUser_v023", "SteamAPI_SteamFriends_v018",
                  "SteamAPI_SteamFriends_v017"},
                 false, false, true, Probe::Bound, 1, 2, 2},
        BindCase{"OldestAccessorsAlone", true, newerAccessors, false, false, true, Probe::Bound, 3,
                 3, 2},
        BindCase{"RequestIsOptional", true, {"SteamAPI_ISteamFriends_RequestFriendRichPresence"},
                 false, false, true, Probe::Bound, 0, 0, 2},
        BindCase{"NoKeyByIndex", true, {keyByIndex}, false, false, false, Probe::MissingExports, -1,
                 -1, 0},
        BindCase{"NoGetSteamId", true, {"SteamAPI_ISteamUser_GetSteamID"}, false, false, false,
                 Probe::MissingExports, -1, -1, 0},
        BindCase{"NoGetFriendGamePlayed", true, {"SteamAPI_ISteamFriends_GetFriendGamePlayed"},
                 false, false, false, Probe::MissingExports, -1, -1, 0},
        BindCase{"NoKeyCount", true, {"SteamAPI_ISteamFriends_GetFriendRichPresenceKeyCount"},
                 false, false, false, Probe::MissingExports, -1, -1, 0},
        BindCase{"NoGetRichPresence", true, {"SteamAPI_ISteamFriends_GetFriendRichPresence"},
                 false, false, false, Probe::MissingExports, -1, -1, 0},
        BindCase{"NoUserAccessor", true, allUserAccessors, false, false, false,
                 Probe::MissingExports, -1, -1, 0},
        BindCase{"NoFriendsAccessor", true, allFriendsAccessors, false, false, false,
                 Probe::MissingExports, -1, -1, 0},
        BindCase{"NullUserInterface", true, {}, true, false, false, Probe::NoInterfaces, -1, 0, 2},
        BindCase{"NullFriendsInterface", true, {}, false, true, false, Probe::NoInterfaces, 0, -1,
                 2}),
    [](const ::testing::TestParamInfo<BindCase>& info) { return std::string(info.param.name); });

TEST(BindSteamMethods, AreTheLibrarysExportsAndRequestMayStayNull) {
  library = FakeLibrary{};
  SteamBinding binding;
  ASSERT_TRUE(bindSteamWith(binding, fakeAccess));
  EXPECT_EQ(binding.module, &libraryHandle);
  EXPECT_EQ(binding.getSteamId, &fakesteam::getSteamId);
  EXPECT_EQ(binding.getFriendGamePlayed, &fakesteam::getFriendGamePlayed);
  EXPECT_EQ(binding.getRichPresenceKeyCount, &fakesteam::getKeyCount);
  EXPECT_EQ(binding.getRichPresenceKeyByIndex, &fakesteam::getKeyByIndex);
  EXPECT_EQ(binding.getRichPresence, &fakesteam::getRichPresence);
  EXPECT_EQ(binding.requestRichPresence, &fakesteam::requestRichPresence);

  library.missing = {"SteamAPI_ISteamFriends_RequestFriendRichPresence"};
  ASSERT_TRUE(bindSteamWith(binding, fakeAccess));
  EXPECT_EQ(binding.requestRichPresence, nullptr);
}

}  // namespace
