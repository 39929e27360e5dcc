// The parts of the staff console's signed-in pages.
#include "core/fairplay.h"
#include "core/text.h"
#include "page/console.h"
#include "page/html.h"
#include "page/parts.h"

namespace collector {

namespace {

std::string postForm(const std::string& action, const std::string& csrf, const std::string& fields,
                     const std::string& button) {
  return "<form method=\"post\" action=\"" + action + "\">" + csrfField(csrf) + fields +
         "<button>" + button + "</button></form>";
}

std::string textInput(const char* label, const char* name, const std::string& value = "",
                      const char* extra = "") {
  return std::string("<label>") + label + " <input type=\"text\" name=\"" + name + "\" value=\"" +
         escapeHtml(value) + "\" " + extra + "></label>";
}

std::string hiddenInput(const char* name, const std::string& value) {
  return std::string("<input type=\"hidden\" name=\"") + name + "\" value=\"" + escapeHtml(value) +
         "\">";
}

// A cell of plain text, escaped here.
std::string textCell(const std::string& text, const char* cls = nullptr) {
  return cell(escapeHtml(text), cls);
}

std::string givenField(const GivenFields& given, const char* name) {
  const auto found = given.find(name);
  return found == given.end() ? "" : found->second;
}

std::string tableOf(const std::string& heads, const std::string& rows) {
  return "<div class=\"scroll\"><table><tr>" + heads + "</tr>" + rows + "</table></div>";
}

}  // namespace

std::string homePart(const ConsoleHome& home) {
  std::string html = "<ul><li><a href=\"/staff/flags\">" +
                     counted(home.flagsWaiting, "flagged report") + "</a> waiting for review</li>";
  if (home.nextEvent) {
    html += "<li>Next event: " + eventLink(*home.nextEvent) + ", " +
            escapeHtml(eventStateText(*home.nextEvent, home.nowMs)) + "</li>";
  } else {
    html += "<li>No event is running or coming</li>";
  }
  return html + "<li>" + counted(home.announcementsGivenUp, "announcement") +
         " given up in the last 7 days</li><li>" +
         counted(home.announcementsWaiting, "announcement") + " waiting to be posted</li></ul>";
}

std::string playersPart(const std::vector<PlayerInfo>& players, const std::string& find,
                        const std::string& csrf, const GivenFields& given) {
  std::string html =
      "<form method=\"get\" action=\"/staff/players\">" +
      textInput("Find", "find", find, "maxlength=\"64\"") + "<button>Find</button></form>" +
      "<h3>Add a player</h3>" +
      postForm("/staff/players/add", csrf,
               textInput("Name", "name", givenField(given, "name"), "maxlength=\"64\" required"),
               "Add and make a join link");
  std::string rows;
  for (const PlayerInfo& player : players) {
    if (!find.empty() && player.name.find(find) == std::string::npos) continue;
    const std::string name = hiddenInput("name", player.name);
    rows += "<tr>" + textCell(player.name) + textCell(shortTime(player.createdMs)) +
            textCell(player.revokedMs ? "revoked " + shortTime(player.revokedMs) : "valid") +
            "<td>" + postForm("/staff/players/key", csrf, name, "New key") +
            (player.revokedMs ? "" : postForm("/staff/players/revoke", csrf, name, "Revoke")) +
            "</td></tr>";
  }
  return html + "<h3>Players</h3>" +
         tableOf("<th>Name</th><th>Added</th><th>Key</th><th></th>", rows);
}

std::string flagsPart(const PageSettings& settings, const std::vector<StoredReport>& reports,
                      const std::string& csrf) {
  const std::vector<ServerColumn> servers = serverColumns(settings);
  std::string rows;
  for (const StoredReport& r : reports) {
    const std::string fields = hiddenInput("id", std::to_string(r.id)) +
                               textInput("Note", "note", "", "maxlength=\"200\"");
    rows += "<tr>" + textCell(std::to_string(r.id)) + textCell(shortTime(r.receivedMs)) +
            textCell(r.playerName) + textCell(serverName(servers, r.serverId)) +
            textCell(fixedDecimals(r.miles, 1), "num") +
            textCell(flagExplanation({r.flag, r.miles, r.seconds, r.flagLimit, r.sincePlayerAdded}),
                     "why") +
            "<td>" +
            postForm("/staff/flags/accept", csrf, fields,
                     "Accept</button> <button formaction=\"/staff/flags/reject\">Reject") +
            "</td></tr>";
  }
  if (rows.empty()) return "<p>No flagged report waits for review.</p>";
  return tableOf(
      "<th>Id</th><th>Received</th><th>Player</th><th>Server</th><th>Miles</th><th>Why</th>"
      "<th></th>",
      rows);
}

std::string eventsPart(const PageSettings& settings, const std::vector<Event>& events,
                       std::int64_t nowMs, const std::string& csrf, const GivenFields& given) {
  const auto fields = [](const GivenFields& e) {
    return textInput("Name", "name", givenField(e, "name"), "maxlength=\"64\" required") +
           textInput("Start (UTC)", "start", givenField(e, "start"),
                     "placeholder=\"2026-12-11T19:00Z\" required") +
           textInput("End (UTC)", "end", givenField(e, "end"), "required") +
           textInput("Servers (ids, by commas; empty: all)", "servers", givenField(e, "servers")) +
           textInput("Description", "description", givenField(e, "description"),
                     "maxlength=\"1000\"");
  };
  const auto stored = [](const Event& e) {
    return GivenFields{{"name", e.name},
                       {"start", isoTime(e.startMs)},
                       {"end", isoTime(e.endMs)},
                       {"servers", joinServers(e.servers)},
                       {"description", e.description}};
  };
  const std::vector<ServerColumn> servers = serverColumns(settings);
  std::string html =
      "<h3>Add an event</h3>" + postForm("/staff/events/add", csrf, fields(given), "Add the event");
  for (const Event& e : events) {
    html +=
        "<details><summary>" + escapeHtml(e.name) + " · " + escapeHtml(eventWindow(e)) + " · " +
        escapeHtml(eventStateText(e, nowMs)) + "</summary>" +
        postForm("/staff/events/change", csrf,
                 hiddenInput("id", std::to_string(e.id)) + fields(stored(e)), "Change") +
        postForm("/staff/events/remove", csrf, hiddenInput("id", std::to_string(e.id)), "Remove") +
        "</details>";
  }
  return html;
}

std::string activityPart(const std::vector<ActivityRow>& rows, const std::string& month,
                         const std::string& minimum) {
  const std::string csv = "/staff/activity.csv?month=" + percentEncode(month) +
                          (minimum.empty() ? "" : "&min=" + percentEncode(minimum));
  std::string html = "<form method=\"get\" action=\"/staff/activity\">" +
                     textInput("Month", "month", month, "placeholder=\"YYYY-MM\"") +
                     textInput("Minimum miles", "min", minimum, "placeholder=\"0\"") +
                     "<button>Show</button></form><p><a href=\"" + escapeHtml(csv) +
                     "\" download>Download as CSV</a></p>";
  std::string body;
  for (const ActivityRow& row : rows) {
    std::string marks;
    for (const std::string& mark : activityMarks(row)) marks += (marks.empty() ? "" : ", ") + mark;
    body += "<tr>" + textCell(row.name) + textCell(dayText(dayOf(row.addedMs))) +
            textCell(fixedDecimals(row.miles, 1), "num") + textCell(hours(row.seconds), "num") +
            textCell(std::to_string(row.reports), "num") +
            textCell(fixedDecimals(row.minimum, 1), "num") +
            textCell(row.lastMs ? shortTime(row.lastMs) : "none") +
            textCell(row.latestMs != row.lastMs && row.latestMs ? shortTime(row.latestMs) : "") +
            textCell(marks) + "</tr>";
  }
  return html +
         tableOf(
             "<th>Player</th><th>Added</th><th>Miles</th><th>Hours</th><th>Reports</th>"
             "<th>Minimum</th><th>Last counted report</th><th>Latest of any kind</th>"
             "<th>Marks</th>",
             body) +
         "<p class=\"note\">The minimum is owed pro rata over the days of the month from the day "
         "a player was added to the day they were revoked, less the days on leave.</p>";
}

std::string auditPart(const std::vector<AuditEntry>& entries, const AuditFilter& filter,
                      const std::string& since) {
  std::string html = "<form method=\"get\" action=\"/staff/audit\">" +
                     textInput("Who", "who", filter.who, "maxlength=\"32\"") +
                     textInput("Kind", "kind", filter.kind, "maxlength=\"32\"") +
                     textInput("Since (UTC day)", "since", since, "placeholder=\"YYYY-MM-DD\"") +
                     "<button>Filter</button></form>";
  std::string rows;
  for (const AuditEntry& e : entries) {
    rows += "<tr>" + textCell(isoTime(e.atMs)) + textCell(e.who) + textCell(e.address) +
            textCell(e.kind) + textCell(e.what, "why") + "</tr>";
  }
  return html +
         tableOf("<th>Time</th><th>Who</th><th>Address</th><th>Kind</th><th>What</th>", rows);
}

std::string staffPart(const std::vector<StaffMember>& staff, const std::string& csrf,
                      const GivenFields& given) {
  const std::string roles =
      "<select name=\"role\"><option>owner</option><option>reviewer</option>"
      "<option>events</option><option>members</option></select>";
  std::string rows;
  for (const StaffMember& m : staff) {
    const std::string name = hiddenInput("name", m.name);
    rows += "<tr>" + textCell(m.name) + textCell(m.role) +
            textCell(m.hasPassword ? shortTime(m.createdMs) : "no password yet") + "<td>" +
            postForm("/staff/staff/role", csrf, name + roles, "Change role") +
            postForm("/staff/staff/remove", csrf, name, "Remove") + "</td></tr>";
  }
  return "<h3>Add a member</h3>" +
         postForm(
             "/staff/staff/add", csrf,
             textInput("Name", "name", givenField(given, "name"), "maxlength=\"32\" required") +
                 roles,
             "Add and make a link") +
         tableOf("<th>Name</th><th>Role</th><th>Added</th><th></th>", rows);
}

}  // namespace collector
