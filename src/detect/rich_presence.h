// Reads the local user's own rich presence through a bound Steam library.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "detect/steam_binding.h"

// Ordered by unsigned bytes: std::string compares through char_traits<char>,
// which compares as unsigned char, and a prefix sorts before its extensions.
using RichPresenceMap = std::map<std::string, std::string>;

// Keys read directly after the enumeration, in this order.
extern const char* const fixedRichPresenceKeys[6];

// Empties `presence` and fills it with the enumerated keys (empty values
// included) and the fixed keys that have a value. Stops at the first value
// that names a known server and returns that identifier; empty otherwise.
// Every text is copied as soon as the library returns it.
std::string readRichPresence(const SteamBinding& binding, std::uint64_t steamId,
                             RichPresenceMap& presence);
