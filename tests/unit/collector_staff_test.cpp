// The staff console's part of the store contract, on SQLite and (from
// test_postgres.py) on PostgreSQL: staff and their sessions' limits, the
// sign-in failures, one-time links, the audit, a player's key given again;
// and the console's rules: roles, passwords, the throttle's pauses.
#include <gtest/gtest.h>

#include "collector_store_backends.h"
#include "collector_test_report.h"
#include "core/staff.h"

namespace {

constexpr std::int64_t t0 = 1'800'000'000'000;

TEST(StoreContract, StaffSessionsEndAtTheirLimitsAndWithTheirMember) {
  for (const Backend& backend : backends()) {
    SCOPED_TRACE(backend.name);
    auto first = open(backend), second = open(backend);
    ASSERT_TRUE(first && second);
    std::string error;
    ASSERT_TRUE(first->addStaff("zed", "owner", t0, error)) << error;
    ASSERT_TRUE(first->addStaff("amy", "reviewer", t0, error)) << error;
    EXPECT_FALSE(second->addStaff("amy", "events", t0, error));
    EXPECT_EQ(error, "a staff member named 'amy' exists already");
    std::vector<StaffMember> staff;
    ASSERT_TRUE(second->listStaff(staff, error)) << error;
    ASSERT_EQ(staff.size(), 2u);
    EXPECT_EQ(staff[0].name + "/" + staff[0].role + "/" + staff[1].name, "amy/reviewer/zed");

    // Each session made on one collector, used on the other at `at`.
    const struct {
      const char* token;
      std::int64_t touchedAt;  // a use in between, or 0
      std::int64_t at;
      bool found;
    } rows[] = {
        {"idle-before", 0, t0 + sessionIdleMs - 1, true},
        {"idle-at", 0, t0 + sessionIdleMs, false},
        {"kept-alive", t0 + sessionAbsoluteMs - sessionIdleMs, t0 + sessionAbsoluteMs - 1, true},
        {"absolute-at", t0 + sessionAbsoluteMs - sessionIdleMs, t0 + sessionAbsoluteMs, false},
    };
    for (const auto& row : rows) {
      SCOPED_TRACE(row.token);
      ASSERT_TRUE(first->addSession(row.token, "amy", t0, error)) << error;
      StaffSession session;
      bool found = false;
      if (row.touchedAt) {
        // Kept alive by a use every half hour less a minute.
        for (std::int64_t at = t0; at < row.touchedAt; at += sessionIdleMs - 60000) {
          ASSERT_TRUE(second->useSession(row.token, at, sessionIdleMs, sessionAbsoluteMs, session,
                                         found, error) &&
                      found);
        }
        ASSERT_TRUE(second->useSession(row.token, row.touchedAt, sessionIdleMs, sessionAbsoluteMs,
                                       session, found, error) &&
                    found);
      }
      ASSERT_TRUE(second->useSession(row.token, row.at, sessionIdleMs, sessionAbsoluteMs, session,
                                     found, error))
          << error;
      EXPECT_EQ(found, row.found);
      if (found) {
        EXPECT_EQ(session.name + "/" + session.role, "amy/reviewer");
      }
    }
    // Sign-out, a role changed and a member removed each end sessions at once.
    StaffSession session;
    bool found = true;
    ASSERT_TRUE(first->addSession("out", "amy", t0, error) && first->endSession("out", error));
    ASSERT_TRUE(
        second->useSession("out", t0, sessionIdleMs, sessionAbsoluteMs, session, found, error) &&
        !found);
    for (const char* role : {"events", ""}) {
      ASSERT_TRUE(first->addSession("s", "amy", t0, error)) << error;
      ASSERT_TRUE(second->changeStaff("amy", role, error)) << error;
      ASSERT_TRUE(
          first->useSession("s", t0, sessionIdleMs, sessionAbsoluteMs, session, found, error) &&
          !found)
          << role;
    }
    EXPECT_FALSE(first->changeStaff("amy", "owner", error));
    EXPECT_EQ(error, "no staff member named 'amy'");
    EXPECT_FALSE(first->addSession("s", "amy", t0, error));
  }
}

TEST(StoreContract, OneTimeLinksAreUsedOnceBeforeTheirEnd) {
  for (const Backend& backend : backends()) {
    SCOPED_TRACE(backend.name);
    auto first = open(backend), second = open(backend);
    ASSERT_TRUE(first && second);
    std::string error;
    ASSERT_TRUE(first->addStaff("amy", "owner", t0, error)) << error;
    const std::int64_t end = t0 + staffLinkMs;
    ASSERT_TRUE(first->addLink("staff", "void", "amy", "", t0, end, error)) << error;
    ASSERT_TRUE(first->addLink("staff", "s1", "amy", "", t0, end, error)) << error;  // voids
    ASSERT_TRUE(first->addLink("join", "j1", "Ann", "the-key", t0, t0 + joinLinkMs, error));
    ASSERT_TRUE(first->addLink("join", "j2", "Bob", "bob-key", t0, t0 + joinLinkMs, error));
    const struct {
      const char *kind, *token;
      std::int64_t at;
      LinkState state;
      const char* secret;
    } rows[] = {
        {"staff", "void", t0, LinkState::unknown, ""},
        {"join", "s1", t0, LinkState::unknown, ""},  // a link of another kind
        {"staff", "s1", end, LinkState::expired, ""},
        {"staff", "s1", end - 1, LinkState::valid, ""},
        {"staff", "s1", end - 1, LinkState::used, ""},
        {"join", "j2", t0 + joinLinkMs, LinkState::expired, ""},
        {"join", "j1", t0 + joinLinkMs - 1, LinkState::valid, "the-key"},
        {"join", "j1", t0 + 1, LinkState::used, ""},
    };
    int i = 0;
    for (const auto& row : rows) {
      SCOPED_TRACE(i++);
      Store& store = i % 2 ? *first : *second;
      OneTimeLink link;
      ASSERT_TRUE(
          store.useLink(row.kind, row.token, row.at, "hash-" + std::to_string(i), link, error))
          << error;
      EXPECT_EQ(link.state, row.state);
      EXPECT_EQ(link.secret, row.secret);
    }
    OneTimeLink read;
    ASSERT_TRUE(second->readLink("j1", t0, read, error)) << error;
    EXPECT_EQ(read.state, LinkState::used);
    EXPECT_EQ(read.subject, "Ann");
    std::string hash, role;
    bool found = false;
    ASSERT_TRUE(second->staffSignIn("amy", hash, role, found, error) && found) << error;
    EXPECT_EQ(hash + "/" + role, "hash-4/owner");  // the one valid use set it
    ASSERT_TRUE(second->staffSignIn("nobody", hash, role, found, error) && !found) << error;
  }
}

TEST(StoreContract, SignInFailuresAreCountedAcrossCollectorsAndForgotten) {
  for (const Backend& backend : backends()) {
    SCOPED_TRACE(backend.name);
    auto first = open(backend), second = open(backend);
    ASSERT_TRUE(first && second);
    std::string error;
    std::int64_t failures = 0, lastMs = 0;
    for (std::int64_t i = 1; i <= 3; ++i) {
      ASSERT_TRUE((i % 2 ? *first : *second)
                      .addSignInFailure("name:amy", t0 + i, t0 + i - 1000, failures, error));
      EXPECT_EQ(failures, i);
    }
    ASSERT_TRUE(first->signInFailures("name:amy", t0 + 3, failures, lastMs, error));
    EXPECT_EQ(failures * 1000 + (lastMs - t0), 3003);
    ASSERT_TRUE(first->signInFailures("name:amy", t0 + 4, failures, lastMs, error));
    EXPECT_EQ(failures, 0);  // none since then
    // The latest failure older than the quiet time: counting starts again.
    ASSERT_TRUE(second->addSignInFailure("name:amy", t0 + 2000, t0 + 4, failures, error));
    EXPECT_EQ(failures, 1);
    ASSERT_TRUE(second->addSignInFailure("address:1.2.3.4", t0, 0, failures, error));
    ASSERT_TRUE(first->clearSignInFailures("name:amy", error));
    ASSERT_TRUE(second->signInFailures("name:amy", 0, failures, lastMs, error));
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(second->signInFailures("address:1.2.3.4", 0, failures, lastMs, error));
    EXPECT_EQ(failures, 1);
    // Any failure forgets the subjects quiet since before its quiet time:
    // one that failed once and never again keeps no row.
    ASSERT_TRUE(first->addSignInFailure("name:bob", t0 + 3000, t0, failures, error));
    ASSERT_TRUE(second->signInFailures("address:1.2.3.4", 0, failures, lastMs, error));
    EXPECT_EQ(failures, 1) << "its failure at the quiet time's start stays";
    ASSERT_TRUE(first->addSignInFailure("name:bob", t0 + 3001, t0 + 1, failures, error));
    EXPECT_EQ(failures, 2);
    ASSERT_TRUE(second->signInFailures("address:1.2.3.4", 0, failures, lastMs, error));
    EXPECT_EQ(failures, 0);
  }
}

TEST(StoreContract, TheAuditIsFilteredAndKeptWithinItsBounds) {
  for (const Backend& backend : backends()) {
    SCOPED_TRACE(backend.name);
    auto store = open(backend);
    ASSERT_TRUE(store);
    std::string error;
    const AuditEntry entries[] = {
        {t0, "shell", "", "staff_add", "amy as owner"},
        {t0 + 1, "amy", "10.0.0.1", "signin", ""},
        {t0 + 2, "amy", "10.0.0.1", "flag_accept", "report 7"},
        {t0 + 3, "bob", "10.0.0.2", "signin_failed", ""},
    };
    for (const AuditEntry& entry : entries) {
      ASSERT_TRUE(store->addAudit(entry, 0, 100, error)) << error;
    }
    const struct {
      AuditFilter filter;
      const char* kinds;
    } rows[] = {
        {{}, "signin_failed flag_accept signin staff_add"},
        {{t0 + 1, t0 + 3, "", "", 1000}, "flag_accept signin"},
        {{0, INT64_MAX, "amy", "", 1000}, "flag_accept signin"},
        {{0, INT64_MAX, "", "signin", 1000}, "signin"},
        {{0, INT64_MAX, "", "", 2}, "signin_failed flag_accept"},
    };
    for (const auto& row : rows) {
      std::vector<AuditEntry> found;
      ASSERT_TRUE(store->listAudit(row.filter, found, error)) << error;
      std::string kinds;
      for (const AuditEntry& entry : found) kinds += (kinds.empty() ? "" : " ") + entry.kind;
      EXPECT_EQ(kinds, row.kinds);
    }
    // Kept: the lines since t0 + 2, and of those the latest two of three.
    ASSERT_TRUE(store->addAudit({t0 + 4, "amy", "", "signout", ""}, t0 + 2, 2, error)) << error;
    std::vector<AuditEntry> kept;
    ASSERT_TRUE(store->listAudit({}, kept, error)) << error;
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].kind + " " + kept[1].kind + " " + kept[1].address,
              "signout signin_failed 10.0.0.2");
  }
}

TEST(StoreContract, ANewKeyKeepsThePlayersReportsAndRefusesTheOldKey) {
  for (const Backend& backend : backends()) {
    SCOPED_TRACE(backend.name);
    auto first = open(backend), second = open(backend);
    ASSERT_TRUE(first && second);
    std::string error;
    ASSERT_TRUE(first->addPlayer("Ann", "Ann", 0, error)) << error;
    ASSERT_TRUE(first->addPlayer("Bob", "Bob", 0, error)) << error;
    std::vector<AddOutcome> outcomes;
    ASSERT_TRUE(first->addReports({testReport("Ann", 10, 10)}, outcomes, error)) << error;
    ASSERT_TRUE(second->replaceKey("Ann", "new", error)) << error;
    EXPECT_FALSE(second->replaceKey("Ann", "Bob", error));  // Bob's key
    EXPECT_FALSE(second->replaceKey("Cy", "other", error));
    EXPECT_EQ(error, "no player named 'Cy'");
    IncomingReport withNew = testReport("Ann", 5, 20);
    withNew.keyHash = "new";
    ASSERT_TRUE(first->addReports({testReport("Ann", 1, 20), withNew}, outcomes, error)) << error;
    EXPECT_EQ(outcomes, (std::vector<AddOutcome>{AddOutcome::unknownKey, AddOutcome::stored}));
    // A key's unused join link is void once the key is replaced or revoked.
    OneTimeLink link;
    for (const char* how : {"replace", "revoke"}) {
      ASSERT_TRUE(first->addLink("join", how, "Ann", "a key", 0, joinLinkMs, error)) << error;
      ASSERT_TRUE(std::string(how) == "replace"
                      ? second->replaceKey("Ann", "new", error)
                      : second->revokePlayer(
                            "Ann", [] { return std::int64_t{30}; }, error))
          << error;
      ASSERT_TRUE(first->readLink(how, 1, link, error)) << error;
      EXPECT_EQ(link.state, LinkState::unknown) << how;
    }
    // A revoked player given a new key holds a valid one again.
    ASSERT_TRUE(second->replaceKey("Ann", "newer", error)) << error;
    withNew.keyHash = "newer";
    withNew.receivedMs = 40;
    ASSERT_TRUE(first->addReports({withNew}, outcomes, error)) << error;
    EXPECT_EQ(outcomes, (std::vector<AddOutcome>{AddOutcome::stored}));
    std::vector<LeaderboardRow> rows;
    ASSERT_TRUE(first->leaderboard(Period{}, rows, error)) << error;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].playerName + " " + std::to_string(int(rows[0].miles)), "Ann 20");
  }
}

// A database of an earlier version gets the tables made since, each usable.
TEST(StoreContract, ADatabaseOfAnEarlierVersionGetsTheTablesMadeSince) {
  const struct {
    int version;
    const char* dropped;
  } versions[] = {
      {7,
       "DROP TABLE staff_sessions; DROP TABLE staff; DROP TABLE signin_failures; "
       "DROP TABLE one_time_links; DROP TABLE audit; DROP TABLE player_leave; "},
      {8, "DROP TABLE player_leave; "},
  };
  for (const Backend& backend : backends()) {
    for (const auto& before : versions) {
      SCOPED_TRACE(backend.name + " " + std::to_string(before.version));
      ASSERT_TRUE(open(backend));
      const std::string version = std::to_string(before.version);
      ASSERT_TRUE(backend.execute(before.dropped +
                                  (backend.name == "sqlite"
                                       ? "PRAGMA user_version = " + version
                                       : "UPDATE schema_version SET version = " + version)));
      auto store = open(backend);
      ASSERT_TRUE(store);
      std::string error;
      EXPECT_TRUE(store->addStaff("amy" + version, "owner", t0, error)) << error;
      EXPECT_TRUE(store->addAudit({t0, "shell", "", "staff_add", "amy"}, 0, 10, error)) << error;
      EXPECT_TRUE(store->addPlayer("Ann" + version, "k" + version, t0, error)) << error;
      EXPECT_TRUE(store->addLeave("Ann" + version, 1, 2, t0, error)) << error;
    }
  }
}

// The console's rules.
TEST(StaffRules, RolesPasswordsAndPauses) {
  const struct {
    const char* role;
    const char* may;  // view, flags, events, players, activity, staff
  } roles[] = {{"owner", "VFEPAS"},
               {"reviewer", "VF----"},
               {"events", "V-E---"},
               {"members", "V--PA-"},
               {"Owner", "------"}};
  const StaffAction actions[] = {StaffAction::view,         StaffAction::reviewFlags,
                                 StaffAction::editEvents,   StaffAction::editPlayers,
                                 StaffAction::readActivity, StaffAction::editStaff};
  for (const auto& row : roles) {
    std::string may;
    for (int i = 0; i < 6; ++i) may += staffMay(row.role, actions[i]) ? "VFEPAS"[i] : '-';
    EXPECT_EQ(may, row.may) << row.role;
  }
  EXPECT_EQ(passwordProblem(std::string(11, 'a')), "a password has at least 12 characters");
  EXPECT_EQ(passwordProblem(std::string(12, 'a')), "");
  EXPECT_EQ(passwordProblem(std::string(256, 'a')), "");
  EXPECT_NE(passwordProblem(std::string(257, 'a')), "");
  const std::string hash = hashPassword("twelve chars");
  EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u);
  EXPECT_TRUE(checkPassword("twelve chars", hash));
  EXPECT_FALSE(checkPassword("twelve chars!", hash));
  EXPECT_FALSE(checkPassword("twelve chars", ""));
  // A name tries freely four times after failing; the fifth failure and each
  // after it pause, doubling up to 15 minutes.
  const std::int64_t pauses[] = {0, 0, 0, 0, 0, 60000, 120000, 240000, 480000, 900000, 900000};
  for (std::int64_t failures = 0; failures <= 10; ++failures) {
    EXPECT_EQ(throttledUntil(false, failures, 1000), pauses[failures] ? 1000 + pauses[failures] : 0)
        << failures;
  }
  EXPECT_EQ(throttledUntil(true, addressTries - 1, 1000), 0);
  EXPECT_EQ(throttledUntil(true, addressTries, 1000), 1000 + addressWindowMs);
  EXPECT_EQ(staffNameProblem("amy.b-c_1"), "");
  EXPECT_NE(staffNameProblem("amy b"), "");
  EXPECT_NE(staffNameProblem(std::string(33, 'a')), "");
}

}  // namespace
