#include "core/staff.h"

#include <sodium.h>

#include <algorithm>

namespace collector {

namespace {

bool sodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

struct Right {
  StaffAction action;
  const char* roles;  // the roles that may, each between spaces
};

// The console's rights; the owner may do everything.
const Right rights[] = {
    {StaffAction::view, " owner reviewer events members "},
    {StaffAction::reviewFlags, " owner reviewer "},
    {StaffAction::editEvents, " owner events "},
    {StaffAction::editPlayers, " owner members "},
    {StaffAction::readActivity, " owner members "},
    {StaffAction::editStaff, " owner "},
};

}  // namespace

bool isStaffRole(const std::string& role) {
  return role == "owner" || role == "reviewer" || role == "events" || role == "members";
}

bool staffMay(const std::string& role, StaffAction action) {
  if (!isStaffRole(role)) return false;
  for (const Right& right : rights) {
    if (right.action == action) {
      return std::string(right.roles).find(" " + role + " ") != std::string::npos;
    }
  }
  return false;
}

std::string staffNameProblem(const std::string& name) {
  if (name.empty() || name.size() > 32) return "a staff name has 1 to 32 characters";
  const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
  });
  return plain ? "" : "a staff name has only letters, digits, '.', '-' and '_'";
}

std::string passwordProblem(const std::string& password) {
  if (password.size() < 12) return "a password has at least 12 characters";
  if (password.size() > 256) return "a password has at most 256 characters";
  return "";
}

std::string hashPassword(const std::string& password) {
  char hash[crypto_pwhash_STRBYTES];
  if (!sodiumReady() ||
      crypto_pwhash_str_alg(hash, password.data(), password.size(),
                            crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE,
                            crypto_pwhash_ALG_ARGON2ID13) != 0) {
    return "";
  }
  return hash;
}

bool checkPassword(const std::string& password, const std::string& hash) {
  // A hash of the same cost, checked when the stored one is missing, so that
  // an unknown name costs what a wrong password does.
  static const std::string standIn = hashPassword("not a password of anyone");
  if (!sodiumReady()) return false;
  const bool usable = hash.size() < crypto_pwhash_STRBYTES && !hash.empty();
  const std::string& checked = usable ? hash : standIn;
  const bool match =
      crypto_pwhash_str_verify(checked.c_str(), password.data(), password.size()) == 0;
  return usable && match;
}

std::int64_t namePauseAfter(std::int64_t failures) {
  if (failures < nameFreeTries) return 0;
  std::int64_t pause = namePauseMs;
  for (std::int64_t i = nameFreeTries; i < failures && pause < nameMaxPauseMs; ++i) pause *= 2;
  return std::min(pause, nameMaxPauseMs);
}

std::int64_t throttledUntil(bool address, std::int64_t failures, std::int64_t lastMs) {
  if (address) return failures >= addressTries ? lastMs + addressWindowMs : 0;
  const std::int64_t pause = namePauseAfter(failures);
  return pause > 0 ? lastMs + pause : 0;
}

}  // namespace collector
