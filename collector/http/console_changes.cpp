// The console's signed-in pages and the changes made on them, each checked
// with the rules the command line applies, and recorded in the audit.
#include <limits>
#include <sstream>

#include "announce/retry.h"
#include "core/events.h"
#include "core/keys.h"
#include "core/names.h"
#include "core/numbers.h"
#include "core/report.h"
#include "core/text.h"
#include "http/console_call.h"

namespace collector {

namespace {

constexpr std::int64_t anyTime = std::numeric_limits<std::int64_t>::min();
// The most audit lines a page shows.
constexpr std::int64_t auditPageLines = 500;

std::string param(const ConsoleCall& call, const char* name) {
  const std::string* value = call.request.param(name);
  return value ? *value : "";
}

HttpAnswer page(ConsoleCall& call, const char* title, const std::string& body) {
  const int status = call.frame.problem.empty() ? 200 : 400;
  return consoleAnswer(status, consolePage(call.options.page, call.frame, title, body));
}

HttpAnswer failed(ConsoleCall& call, const std::string& error) {
  call.metrics.storeFailed();
  call.frame.problem = "The store failed: " + error;
  return consoleAnswer(503, consolePage(call.options.page, call.frame, "Try again", ""));
}

HttpAnswer home(ConsoleCall& call) {
  std::vector<StoredReport> flags;
  std::vector<Event> events;
  std::string error;
  ConsoleHome home;
  home.nowMs = call.nowMs;
  if (!call.store.unreviewedFlags(anyTime, "", flags, error) ||
      !call.store.listEvents(events, error)) {
    return failed(call, error);
  }
  for (const Webhook& webhook : call.options.webhooks) {
    std::int64_t waiting = 0;
    if (call.store.announcementsWaiting(webhook.hash, call.nowMs - giveUpAfterMs, waiting,
                                        error)) {
      home.announcementsWaiting += waiting;
    }
    if (call.store.announcementsGivenUp(webhook.hash, call.nowMs - 7 * msPerDay, waiting, error)) {
      home.announcementsGivenUp += waiting;
    }
  }
  home.flagsWaiting = static_cast<std::int64_t>(flags.size());
  home.nextEvent = runningOrNextEvent(events, call.nowMs);
  return page(call, "What waits", homePart(home));
}

bool monthOf(const ConsoleCall& call, std::string& month, Period& period) {
  month = param(call, "month");
  if (month.empty()) month = dayText(dayOf(call.nowMs)).substr(0, 7);
  return monthPeriod(month, period);
}

HttpAnswer activity(ConsoleCall& call, bool csv) {
  std::string month, error;
  Period period;
  double minimum = 0.0;
  if (!monthOf(call, month, period)) {
    call.frame.problem = "A month is written YYYY-MM.";
    return page(call, "Activity", activityPart({}, "", ""));
  }
  const std::string minText = param(call, "min");
  if (!minText.empty()) {
    const std::string problem = numberProblem(minText, {0, 1000000, false}, minimum);
    if (!problem.empty()) {
      call.frame.problem = "The minimum " + problem + ".";
      return page(call, "Activity", activityPart({}, month, minText));
    }
  }
  std::vector<ActivityRow> rows;
  if (!readActivity(call.store, period, minimum, call.nowMs, rows, error)) {
    return failed(call, error);
  }
  if (!csv) return page(call, "Activity", activityPart(rows, month, minText));
  std::ostringstream text;
  writeActivity(text, rows, true);
  HttpAnswer answer = consoleAnswer(200, text.str());
  answer.contentType = "text/csv; charset=utf-8";
  answer.headers.emplace_back("Content-Disposition",
                              "attachment; filename=\"activity-" + month + ".csv\"");
  return answer;
}

HttpAnswer audit(ConsoleCall& call) {
  AuditFilter filter;
  filter.who = param(call, "who");
  filter.kind = param(call, "kind");
  filter.limit = auditPageLines;
  const std::string since = param(call, "since");
  std::int64_t day = 0;
  if (!since.empty()) {
    if (parseDay(since, day)) {
      filter.sinceMs = day * msPerDay;
    } else {
      call.frame.problem = "A day is written YYYY-MM-DD.";
    }
  }
  std::vector<AuditEntry> entries;
  std::string error;
  if (!call.store.listAudit(filter, entries, error)) return failed(call, error);
  return page(call, "Audit", auditPart(entries, filter, since));
}

}  // namespace

namespace {

HttpAnswer readPage(ConsoleCall& call, const std::string& path) {
  std::string error;
  if (path == "/staff") return home(call);
  if (path == "/staff/audit") return audit(call);
  if (path == "/staff/activity" || path == "/staff/activity.csv") {
    return activity(call, path == "/staff/activity.csv");
  }
  if (path == "/staff/players") {
    std::vector<PlayerInfo> players;
    if (!call.store.listPlayers(players, error)) return failed(call, error);
    return page(call, "Players",
                playersPart(players, param(call, "find"), call.frame.csrf, call.given));
  }
  if (path == "/staff/flags") {
    std::vector<StoredReport> flags;
    if (!call.store.unreviewedFlags(anyTime, "", flags, error)) return failed(call, error);
    return page(call, "Flags", flagsPart(call.options.page, flags, call.frame.csrf));
  }
  if (path == "/staff/events") {
    std::vector<Event> events;
    if (!call.store.listEvents(events, error)) return failed(call, error);
    return page(call, "Events",
                eventsPart(call.options.page, events, call.nowMs, call.frame.csrf, call.given));
  }
  std::vector<StaffMember> staff;
  if (!call.store.listStaff(staff, error)) return failed(call, error);
  return page(call, "Staff", staffPart(staff, call.frame.csrf, call.given));
}

// An id as a form sends it: decimal digits, from 1 up; 0 when it is not one.
std::int64_t idField(const ConsoleCall& call) {
  const std::string text = field(call, "id");
  if (text.empty() || text.size() > 15 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  return std::stoll(text);
}

// Why a new player's name cannot be: the names' rules, then a player's name
// a reader could take it for.
std::string newPlayerProblem(ConsoleCall& call, const std::string& name) {
  std::string problem = playerNameProblem(name);
  std::vector<PlayerInfo> all;
  if (!problem.empty() || !call.store.listPlayers(all, problem)) return problem;
  std::vector<std::string> names;
  for (const PlayerInfo& player : all) {
    if (player.name != name) names.push_back(player.name);
  }
  const std::string existing = confusableName(name, names);
  return existing.empty() ? "" : "the name looks the same as that of the player '" + existing + "'";
}

// Adds the player, or gives them a new key, and makes their join link.
void playerKey(ConsoleCall& call, bool add) {
  const std::string name = field(call, "name");
  std::string problem = add ? newPlayerProblem(call, name) : "";
  const std::string key = problem.empty() ? generateKey() : "";
  std::string token;
  if (problem.empty() && key.empty()) problem = "the random source failed";
  if (problem.empty() && (add ? call.store.addPlayer(name, hashKey(key), call.nowMs, problem)
                              : call.store.replaceKey(name, hashKey(key), problem))) {
    auditCall(call, add ? "player_add" : "player_key", name);
    if (makeLink(call.store, "join", name, key, call.nowMs, joinLinkMs, token, problem)) {
      call.frame.notice =
          (add ? "Added " : "A new key for ") + name +
          ". Their join link, valid 7 days and shown only now: " + linkUrl(call, "/join/" + token);
      return;
    }
  }
  call.frame.problem = (add ? "No player added: " : "No new key: ") + problem;
}

void reviewFlag(ConsoleCall& call, bool accept) {
  const std::int64_t id = idField(call);
  const std::string note = field(call, "note");
  std::string error;
  std::vector<StoredReport> awaiting;
  if (id == 0 || note.size() > 200) {
    error = "a report id and a note of at most 200 characters";
  } else if (accept && call.store.unreviewedFlags(anyTime, "", awaiting, error)) {
    for (const StoredReport& r : awaiting) {
      if (r.id == id && r.miles > maxMilesDelta) {
        error = "report " + std::to_string(id) +
                " claims more miles than a report may carry: "
                "it can only be rejected";
      }
    }
  }
  if (error.empty() && call.store.reviewFlags({id}, accept, call.nowMs, error)) {
    auditCall(call, accept ? "flag_accept" : "flag_reject",
              "report " + std::to_string(id) + (note.empty() ? "" : ": " + note));
    call.frame.notice =
        std::string(accept ? "Accepted" : "Rejected") + " report " + std::to_string(id) + ".";
    return;
  }
  call.frame.problem = "Nothing was reviewed: " + error;
}

void changeEvent(ConsoleCall& call, const std::string& how) {
  Event event;
  event.id = idField(call);
  event.name = field(call, "name");
  event.description = field(call, "description");
  std::istringstream servers(field(call, "servers"));
  for (std::string id; std::getline(servers, id, ',');) {
    id = id.substr(id.find_first_not_of(' ') == std::string::npos ? id.size()
                                                                  : id.find_first_not_of(' '));
    while (!id.empty() && id.back() == ' ') id.pop_back();
    if (!id.empty()) event.servers.push_back(id);
  }
  std::string problem;
  if (how != "add" && event.id == 0) problem = "no event id";
  if (how != "remove" && problem.empty()) {
    if (!parseUtcTime(field(call, "start"), event.startMs) ||
        !parseUtcTime(field(call, "end"), event.endMs)) {
      problem = "a time is UTC in ISO 8601, as 2026-12-11T19:00Z";
    } else {
      problem = eventProblem(event);
    }
  }
  const bool done =
      problem.empty() && (how == "add"      ? call.store.addEvent(event, call.nowMs, problem)
                          : how == "change" ? call.store.changeEvent(event, problem)
                                            : call.store.removeEvent(event.id, problem));
  if (!done) {
    call.frame.problem = "Nothing was changed: " + problem;
    return;
  }
  auditCall(call, "event_" + how, "event " + std::to_string(event.id) + " " + event.name);
  call.frame.notice =
      "Event " + std::to_string(event.id) + ": " + how + (how == "add" ? "ed." : "d.");
}

void changeStaff(ConsoleCall& call, const std::string& how) {
  const std::string name = field(call, "name"), role = field(call, "role");
  std::string problem = how == "add" ? staffNameProblem(name) : "";
  if (problem.empty() && how != "remove" && !isStaffRole(role)) problem = "no such role";
  std::string token;
  const bool done =
      problem.empty() &&
      (how == "add"
           ? call.store.addStaff(name, role, call.nowMs, problem) &&
                 makeLink(call.store, "staff", name, "", call.nowMs, staffLinkMs, token, problem)
           : call.store.changeStaff(name, how == "role" ? role : "", problem));
  if (!done) {
    call.frame.problem = "Nothing was changed: " + problem;
    return;
  }
  auditCall(call, "staff_" + how, how == "remove" ? name : name + " as " + role);
  call.frame.notice = how == "add" ? "Added " + name +
                                         ". The link where they choose their password, valid 24 "
                                         "hours and shown only now: " +
                                         linkUrl(call, "/staff/welcome/" + token)
                                   : "Changed " + name + "; their sessions have ended.";
}

}  // namespace

HttpAnswer consoleRead(ConsoleCall& call) { return readPage(call, call.request.rawPath); }

HttpAnswer consoleChange(ConsoleCall& call) {
  const std::string& path = call.request.rawPath;
  const std::size_t cut = path.rfind('/');
  const std::string section = path.substr(0, cut), how = path.substr(cut + 1);
  if (section == "/staff/players") {
    if (how == "revoke") {
      const std::string name = field(call, "name");
      std::string error;
      if (call.store.revokePlayer(
              name, [&call] { return call.nowMs; }, error)) {
        auditCall(call, "player_revoke", name);
        call.frame.notice = "Revoked " + name + "'s key.";
      } else {
        call.frame.problem = "Nothing was changed: " + error;
      }
    } else {
      playerKey(call, how == "add");
    }
  } else if (section == "/staff/flags") {
    reviewFlag(call, how == "accept");
  } else if (section == "/staff/events") {
    changeEvent(call, how);
  } else {
    changeStaff(call, how);
  }
  // A refused addition's fields go back on its form.
  if (!call.frame.problem.empty() && how == "add") {
    call.given = call.form;
    call.given.erase("csrf");
  }
  return readPage(call, section);
}

}  // namespace collector
