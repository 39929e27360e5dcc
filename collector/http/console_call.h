// What the console's routes share (console.cpp: the gate, sign-in and the
// links; console_pages.cpp: the signed-in pages and their changes).
#pragma once

#include <map>
#include <string>

#include "core/staff.h"
#include "http/message.h"
#include "http/metrics.h"
#include "http/serve_options.h"
#include "page/console.h"
#include "store/store.h"

namespace collector {

// One request to the console, as far as it has been checked.
struct ConsoleCall {
  Store& store;
  const ServeOptions& options;
  Metrics& metrics;
  const HttpRequest& request;
  std::int64_t nowMs;
  std::string address;                      // the client's (clientOf)
  std::map<std::string, std::string> form;  // a POST's fields
  StaffSession session;                     // once signed in
  ConsoleFrame frame;                       //   and the page's frame
  GivenFields given;                        // a refused addition's fields
};

// An HTML answer with the console's headers (no caching, no framing, no
// script, no sniffing, no referrer to other sites: a form's Origin must stay).
HttpAnswer consoleAnswer(int status, std::string html);
// A form field; "" when absent.
std::string field(const ConsoleCall& call, const char* name);
// Records a change in the audit, by the signed-in member (or `who`).
void auditCall(ConsoleCall& call, const std::string& kind, const std::string& what,
               const std::string& who = "");
// The URL where a one-time link's `path` opens, as this request reached us.
std::string linkUrl(const ConsoleCall& call, const std::string& path);

// The signed-in pages (GET) and their changes (POST).
HttpAnswer consoleRead(ConsoleCall& call);
HttpAnswer consoleChange(ConsoleCall& call);

}  // namespace collector
