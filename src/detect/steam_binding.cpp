#include "detect/steam_binding.h"

#include "config/log.h"
#include "platform/platform.h"

const char* const steamUserAccessorNames[4] = {
    "SteamAPI_SteamUser_v023", "SteamAPI_SteamUser_v022", "SteamAPI_SteamUser_v021",
    "SteamAPI_SteamUser_v020"};
const char* const steamFriendsAccessorNames[4] = {
    "SteamAPI_SteamFriends_v018", "SteamAPI_SteamFriends_v017", "SteamAPI_SteamFriends_v016",
    "SteamAPI_SteamFriends_v015"};

const char* const steamProbeBound = "Steam active-session probe: SteamUser + SteamFriends loaded.";
const char* const steamProbeMissingExports =
    "Steam active-session probe: required exports unavailable.";
const char* const steamProbeNoInterfaces = "Steam active-session probe: interfaces unavailable.";

namespace {

template <typename Function>
Function exportAs(const SteamLibraryAccess& access, void* library, const char* name) {
  return reinterpret_cast<Function>(access.findExport(library, name));
}

SteamAccessorFunction firstAccessor(const SteamLibraryAccess& access, void* library,
                                    const char* const (&names)[4]) {
  for (const char* name : names) {
    if (auto accessor = exportAs<SteamAccessorFunction>(access, library, name)) return accessor;
  }
  return nullptr;
}

}  // namespace

SteamLibraryAccess platformSteamAccess() {
  return SteamLibraryAccess{&platform::findLoadedLibrary, &platform::findExport, &writeLog};
}

bool bindSteamWith(SteamBinding& binding, const SteamLibraryAccess& access) {
  binding = SteamBinding{};
  binding.module = access.findLoadedLibrary(platform::steamLibraryName);
  if (binding.module == nullptr) return false;
  void* const library = binding.module;

  const SteamAccessorFunction userAccessor = firstAccessor(access, library, steamUserAccessorNames);
  const SteamAccessorFunction friendsAccessor =
      firstAccessor(access, library, steamFriendsAccessorNames);

  binding.getSteamId =
      exportAs<GetSteamIdFunction>(access, library, "SteamAPI_ISteamUser_GetSteamID");
  binding.getFriendGamePlayed = exportAs<GetFriendGamePlayedFunction>(
      access, library, "SteamAPI_ISteamFriends_GetFriendGamePlayed");
  binding.getRichPresenceKeyCount = exportAs<GetRichPresenceKeyCountFunction>(
      access, library, "SteamAPI_ISteamFriends_GetFriendRichPresenceKeyCount");
  binding.getRichPresenceKeyByIndex = exportAs<GetRichPresenceKeyByIndexFunction>(
      access, library, "SteamAPI_ISteamFriends_GetFriendRichPresenceKeyByIndex");
  binding.getRichPresence = exportAs<GetRichPresenceFunction>(
      access, library, "SteamAPI_ISteamFriends_GetFriendRichPresence");
  binding.requestRichPresence = exportAs<RequestRichPresenceFunction>(
      access, library, "SteamAPI_ISteamFriends_RequestFriendRichPresence");

  // Without the request the reads return whatever Steam already holds, which
  // is still usable; every other method is needed for a cycle.
  if (userAccessor == nullptr || friendsAccessor == nullptr || binding.getSteamId == nullptr ||
      binding.getFriendGamePlayed == nullptr || binding.getRichPresenceKeyCount == nullptr ||
      binding.getRichPresenceKeyByIndex == nullptr || binding.getRichPresence == nullptr) {
    access.log(steamProbeMissingExports);
    return false;
  }

  binding.user = userAccessor();
  binding.friends = friendsAccessor();
  if (binding.user == nullptr || binding.friends == nullptr) {
    access.log(steamProbeNoInterfaces);
    return false;
  }
  access.log(steamProbeBound);
  return true;
}

bool bindSteam(SteamBinding& binding) { return bindSteamWith(binding, platformSteamAccess()); }
