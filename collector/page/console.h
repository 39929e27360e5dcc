// The staff console's pages and the players' join page: pure functions from
// what the store answered to HTML, every text escaped, no script. Every form
// that changes something carries the session's form token (`csrf`).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "board/activity.h"
#include "page/page.h"
#include "store/store.h"

namespace collector {

// What every signed-in page shows around its own part.
struct ConsoleFrame {
  std::string who;
  std::string role;
  std::string csrf;     // the session's form token
  std::string notice;   // what the latest change did, or ""
  std::string problem;  // why a change was refused, or ""
};

// The fields of a refused "add" form, shown on it again; empty otherwise.
using GivenFields = std::map<std::string, std::string>;

// The hidden field that carries the form token.
std::string csrfField(const std::string& csrf);

// The page `title` of the console: its menu (what the role may open), the
// notice or the problem, `body`, and the sign-out button.
std::string consolePage(const PageSettings& settings, const ConsoleFrame& frame,
                        const std::string& title, const std::string& body);
// A page that only says `message`, with no form (the console refused over
// plain HTTP, a link expired or used).
std::string consoleMessagePage(const PageSettings& settings, const std::string& title,
                               const std::string& message);
// The sign-in form; `next` the console path to go back to.
std::string signInPage(const PageSettings& settings, const std::string& next,
                       const std::string& problem);
// The form where a new staff member chooses a password.
std::string passwordPage(const PageSettings& settings, const std::string& name,
                         const std::string& problem);
// The join page: where the ini goes, and the button that downloads it once.
std::string joinPage(const PageSettings& settings, const std::string& name);

// --- the parts of the signed-in pages (console_pages.cpp) ---

struct ConsoleHome {
  std::int64_t flagsWaiting = 0;
  const Event* nextEvent = nullptr;
  std::int64_t announcementsWaiting = 0;
  std::int64_t announcementsGivenUp = 0;  // in the last week
  std::int64_t nowMs = 0;
};
std::string homePart(const ConsoleHome& home);
std::string playersPart(const std::vector<PlayerInfo>& players, const std::string& find,
                        const std::string& csrf, const GivenFields& given);
std::string flagsPart(const PageSettings& settings, const std::vector<StoredReport>& reports,
                      const std::string& csrf);
std::string eventsPart(const PageSettings& settings, const std::vector<Event>& events,
                       std::int64_t nowMs, const std::string& csrf, const GivenFields& given);
std::string activityPart(const std::vector<ActivityRow>& rows, const std::string& month,
                         const std::string& minimum);
std::string auditPart(const std::vector<AuditEntry>& entries, const AuditFilter& filter,
                      const std::string& since);
std::string staffPart(const std::vector<StaffMember>& staff, const std::string& csrf,
                      const GivenFields& given);

}  // namespace collector
