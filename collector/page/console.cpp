#include "page/console.h"

#include "core/staff.h"
#include "page/html.h"
#include "page/parts.h"

namespace collector {

namespace {

const char* const consoleStyle = R"(<style>
form.inline{display:inline}
form label{display:block;margin:.4em 0}
input,textarea,select,button{font:inherit;max-width:100%}
input[type=text],input[type=password],textarea{width:22em}td input[type=text]{width:12em}
nav.console{display:flex;flex-wrap:wrap;gap:.3em .8em;margin:.6em 0}
p.notice{background:#e6f4ea;padding:.4em .7em;overflow-wrap:anywhere}p.problem{background:#fde7e7;padding:.4em .7em}
code.link{overflow-wrap:anywhere;word-break:break-all}
</style>)";

struct MenuItem {
  const char* path;
  const char* label;
  StaffAction action;
};
const MenuItem consoleMenu[] = {
    {"/staff", "Home", StaffAction::view},
    {"/staff/players", "Players", StaffAction::editPlayers},
    {"/staff/flags", "Flags", StaffAction::reviewFlags},
    {"/staff/events", "Events", StaffAction::editEvents},
    {"/staff/activity", "Activity", StaffAction::readActivity},
    {"/staff/audit", "Audit", StaffAction::view},
    {"/staff/staff", "Staff", StaffAction::editStaff},
};

std::string consoleTop(const PageSettings& settings, const std::string& title) {
  std::string html = head(settings, title);
  // The console's own rules after the shared ones, still in the head's place.
  return html.insert(html.find("</head>"), consoleStyle);
}

}  // namespace

std::string csrfField(const std::string& csrf) {
  return "<input type=\"hidden\" name=\"csrf\" value=\"" + escapeHtml(csrf) + "\">";
}

std::string consolePage(const PageSettings& settings, const ConsoleFrame& frame,
                        const std::string& title, const std::string& body) {
  std::string html = consoleTop(settings, title + " · staff") + "<nav class=\"console\">";
  for (const MenuItem& item : consoleMenu) {
    if (staffMay(frame.role, item.action)) {
      html += std::string("<a href=\"") + item.path + "\">" + item.label + "</a>";
    }
  }
  html += "<form class=\"inline\" method=\"post\" action=\"/staff/signout\">" +
          csrfField(frame.csrf) + "<button>Sign out " + escapeHtml(frame.who) +
          "</button></form></nav><main><h2>" + escapeHtml(title) + "</h2>";
  if (!frame.notice.empty()) html += "<p class=\"notice\">" + escapeHtml(frame.notice) + "</p>";
  if (!frame.problem.empty()) html += "<p class=\"problem\">" + escapeHtml(frame.problem) + "</p>";
  return html + body + "</main></body></html>\n";
}

std::string consoleMessagePage(const PageSettings& settings, const std::string& title,
                               const std::string& message) {
  return consoleTop(settings, title) + "<main><h2>" + escapeHtml(title) + "</h2><p>" +
         escapeHtml(message) + "</p></main></body></html>\n";
}

std::string signInPage(const PageSettings& settings, const std::string& next,
                       const std::string& problem) {
  return consoleTop(settings, "Staff sign-in") + "<main><h2>Staff sign-in</h2>" +
         (problem.empty() ? "" : "<p class=\"problem\">" + escapeHtml(problem) + "</p>") +
         "<form method=\"post\" action=\"/staff/signin\"><input type=\"hidden\" name=\"next\" "
         "value=\"" +
         escapeHtml(next) +
         "\">"
         "<label>Name <input type=\"text\" name=\"name\" maxlength=\"32\" required "
         "autocomplete=\"username\"></label>"
         "<label>Password <input type=\"password\" name=\"password\" maxlength=\"256\" required "
         "autocomplete=\"current-password\"></label><button>Sign in</button></form>"
         "</main></body></html>\n";
}

std::string passwordPage(const PageSettings& settings, const std::string& name,
                         const std::string& problem) {
  return consoleTop(settings, "Choose your password") + "<main><h2>Welcome, " + escapeHtml(name) +
         "</h2>" + (problem.empty() ? "" : "<p class=\"problem\">" + escapeHtml(problem) + "</p>") +
         "<p>Choose the password you will sign in with: at least 12 characters.</p>"
         "<form method=\"post\"><label>Password <input type=\"password\" name=\"password\" "
         "minlength=\"12\" maxlength=\"256\" required autocomplete=\"new-password\"></label>"
         "<label>Once more <input type=\"password\" name=\"again\" minlength=\"12\" "
         "maxlength=\"256\" required autocomplete=\"new-password\"></label>"
         "<button>Set the password</button></form></main></body></html>\n";
}

std::string joinPage(const PageSettings& settings, const std::string& name) {
  return consoleTop(settings, "Your VORN settings") + "<main><h2>Welcome, " + escapeHtml(name) +
         "</h2><p>This link gives you your settings file, <code>VORN_Davida_Client.ini</code>, "
         "with your own key inside. It downloads once: keep the file, and share it with "
         "nobody.</p><p>Put it, under that name, into <code>bin/win_x64/plugins/</code> in the "
         "game's folder, beside the plug-in (on Linux <code>bin/linux_x64/plugins/</code>), then "
         "start the game. If the link says it was used or has expired, ask your community's "
         "staff for a new one.</p>"
         "<form method=\"post\"><button>Download my settings file</button></form>"
         "</main></body></html>\n";
}

}  // namespace collector
