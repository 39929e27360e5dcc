// The rules of a player's name: one that a report can carry and a player's
// ini reads back unchanged, and that no reader of the leaderboard can take for
// another player's. Pure functions (ICU's tables), no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace collector {

// The most characters (code points) of a new player's name. 64 characters of
// at most 4 bytes each stay within what a report carries (maxTextBytes).
inline constexpr std::size_t maxNameCharacters = 64;

// Why `name` cannot be a new player's name, or "" when it can: it must be
// UTF-8 in Unicode's composed form (NFC), 1 to maxNameCharacters characters,
// without control, format (invisible or bidirectional), separator, private-use
// or unassigned characters, without characters a reader cannot see or tell
// from a space (default-ignorable ones, Hangul fillers, the Braille blank),
// without the replacement character U+FFFD, not starting with a combining mark
// or white space, not ending with white space, and not the plug-in's
// placeholder.
std::string playerNameProblem(const std::string& name);

// The name of `existing` that a reader could take `name` for, or "": the same
// confusable skeleton (Unicode's UTS #39, ICU's spoof checker) once both are
// folded as a reader sees them: NFKC, small capitals as capitals, combining
// marks that identifiers never need left out, runs of white space as one space.
// Names that are not UTF-8 are compared byte for byte.
std::string confusableName(const std::string& name, const std::vector<std::string>& existing);

}  // namespace collector
