#include "http/console.h"

#include <algorithm>
#include <iostream>

#include "core/clock.h"
#include "core/keys.h"
#include "core/text.h"
#include "core/threads.h"
#include "http/console_call.h"
#include "page/html.h"

namespace collector {

namespace {

constexpr std::size_t maxWaiting = 32;

// Where a console path needs its member's right: the one table of the
// console's consoleRights (which role has which right: staffMay).
const struct {
  const char* method;
  const char* path;
  StaffAction action;
} consoleRights[] = {
    {"GET", "/staff", StaffAction::view},
    {"GET", "/staff/audit", StaffAction::view},
    {"POST", "/staff/signout", StaffAction::view},
    {"GET", "/staff/players", StaffAction::editPlayers},
    {"POST", "/staff/players/add", StaffAction::editPlayers},
    {"POST", "/staff/players/key", StaffAction::editPlayers},
    {"POST", "/staff/players/revoke", StaffAction::editPlayers},
    {"GET", "/staff/flags", StaffAction::reviewFlags},
    {"POST", "/staff/flags/accept", StaffAction::reviewFlags},
    {"POST", "/staff/flags/reject", StaffAction::reviewFlags},
    {"GET", "/staff/events", StaffAction::editEvents},
    {"POST", "/staff/events/add", StaffAction::editEvents},
    {"POST", "/staff/events/change", StaffAction::editEvents},
    {"POST", "/staff/events/remove", StaffAction::editEvents},
    {"GET", "/staff/activity", StaffAction::readActivity},
    {"GET", "/staff/activity.csv", StaffAction::readActivity},
    {"GET", "/staff/staff", StaffAction::editStaff},
    {"POST", "/staff/staff/add", StaffAction::editStaff},
    {"POST", "/staff/staff/role", StaffAction::editStaff},
    {"POST", "/staff/staff/remove", StaffAction::editStaff},
};

const std::string joinPrefix = "/join/";
const std::string welcomePrefix = "/staff/welcome/";

bool pathStarts(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool onHttps(const ConsoleCall& call) { return !call.options.tlsCert.empty(); }

bool fromLoopback(const std::string& address) {
  return pathStarts(address, "127.") || address == "::1" || pathStarts(address, "::ffff:127.");
}

// The browser reaches the console over HTTPS: served here with TLS, or
// through a proxy that ends TLS for the public URL.
bool browserOnHttps(const ConsoleCall& call) {
  return onHttps(call) || pathStarts(call.options.publicUrl, "https://");
}

std::string cookieName(const ConsoleCall& call) {
  return browserOnHttps(call) ? "__Host-vorn_staff" : "vorn_staff";
}

// The session cookie's token, or "".
std::string cookieToken(const ConsoleCall& call) {
  const std::string cookies = "; " + call.request.header("cookie");
  const std::string name = "; " + cookieName(call) + "=";
  const std::size_t at = cookies.find(name);
  if (at == std::string::npos) return "";
  const std::size_t from = at + name.size();
  return cookies.substr(from, cookies.find(';', from) - from);
}

std::string sessionCookie(const ConsoleCall& call, const std::string& token, bool end) {
  return cookieName(call) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" +
         (browserOnHttps(call) ? "; Secure" : "") + (end ? "; Max-Age=0" : "");
}

// The form token of the session whose cookie holds `token`.
std::string formToken(const std::string& token) { return hashKey("form " + token); }

// One name or value of a form: '+' a space, %XX a byte; false when an
// escape is malformed or a byte is a control character.
bool formDecode(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const std::string hex = text.substr(i + 1, 2);
      if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
      }
      c = static_cast<char>(std::stoi(hex, nullptr, 16));
      i += 2;
    }
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\r' && c != '\n') || c == 0x7f) return false;
    out += c;
  }
  return true;
}

// application/x-www-form-urlencoded; false when malformed.
bool parseForm(const std::string& body, std::map<std::string, std::string>& form) {
  std::size_t start = 0;
  while (start < body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(start, end - start);
    const std::size_t eq = pair.find('=');
    std::string name, value;
    if (eq == std::string::npos || !formDecode(pair.substr(0, eq), name) ||
        !formDecode(pair.substr(eq + 1), value) || form.count(name)) {
      return false;
    }
    form[name] = value;
    start = end + 1;
  }
  return true;
}

// Whether a POST comes from a page of this collector: its Origin is the
// address it was sent to (from loopback, where a proxy that ends TLS may
// pass it on, also with https), or the public URL's.
bool sameOrigin(const ConsoleCall& call) {
  const std::string origin = call.request.header("origin");
  const std::string host = call.request.header("host");
  if (origin.empty()) return false;
  if (origin == (onHttps(call) ? "https://" : "http://") + host) return true;
  if (fromLoopback(call.request.clientAddress) && origin == "https://" + host) return true;
  const std::string& url = call.options.publicUrl;
  const std::size_t slash = url.find('/', url.find("://") + 3);
  return !url.empty() && origin == url.substr(0, slash);
}

// A return address after sign-in: a console path of ours (no dot segment,
// nothing encoded in the path, printable ASCII), or the home.
std::string safeNext(const std::string& next) {
  const std::string path = next.substr(0, next.find('?'));
  const bool printable = std::all_of(next.begin(), next.end(),
                                     [](char c) { return c > ' ' && c < 0x7f && c != '\\'; });
  const bool ours = (path == "/staff" || pathStarts(path, "/staff/")) && printable &&
                    next.size() <= 512 && path.find("//") == std::string::npos &&
                    path.find("/.") == std::string::npos && path.find('%') == std::string::npos;
  return ours ? next : "/staff";
}

HttpAnswer seeOther(const std::string& location) {
  HttpAnswer answer = consoleAnswer(303, "");
  answer.headers.emplace_back("Location", location);
  return answer;
}

HttpAnswer saying(const ConsoleCall& call, int status, const std::string& title,
                  const std::string& text) {
  return consoleAnswer(status, consoleMessagePage(call.options.page, title, text));
}

HttpAnswer refusal(const ConsoleCall& call, const std::string& why) {
  return saying(call, 403, "Refused", why + " Nothing was changed.");
}

}  // namespace

HttpAnswer consoleAnswer(int status, std::string html) {
  HttpAnswer answer;
  answer.status = status;
  answer.contentType = "text/html; charset=utf-8";
  answer.body = std::move(html);
  answer.headers = {
      {"Content-Security-Policy",
       "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; form-action 'self'; "
       "frame-ancestors 'none'; base-uri 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Cache-Control", "no-store"},
      {"Referrer-Policy", "same-origin"},
      {"X-Frame-Options", "DENY"}};
  return answer;
}

std::string field(const ConsoleCall& call, const char* name) {
  const auto found = call.form.find(name);
  return found == call.form.end() ? "" : found->second;
}

void auditCall(ConsoleCall& call, const std::string& kind, const std::string& what,
               const std::string& who) {
  std::string error;
  const AuditEntry entry{call.nowMs, who.empty() ? call.session.name : who, call.address, kind,
                         what};
  if (!recordAudit(call.store, entry, error)) {
    std::cerr << "the audit did not record a change (" << kind << "): " << error << std::endl;
    call.metrics.storeFailed();
  }
}

std::string linkUrl(const ConsoleCall& call, const std::string& path) {
  if (!call.options.publicUrl.empty()) return call.options.publicUrl + path;
  return (onHttps(call) ? "https://" : "http://") + call.request.header("host") + path;
}

namespace {

// The throttle's state for a name and for the client's address: when the
// next try is allowed (0: now).
std::int64_t throttledUntilMs(ConsoleCall& call, const std::string& name, std::string& error) {
  std::int64_t failures = 0, lastMs = 0, until = 0;
  if (!call.store.signInFailures("name:" + name, call.nowMs - throttleForgetMs, failures, lastMs,
                                 error)) {
    return -1;
  }
  until = throttledUntil(false, failures, lastMs);
  if (!call.store.signInFailures("address:" + call.address, call.nowMs - addressWindowMs, failures,
                                 lastMs, error)) {
    return -1;
  }
  return std::max(until, throttledUntil(true, failures, lastMs));
}

HttpAnswer signInFailed(ConsoleCall& call, const std::string& name, const std::string& next) {
  std::string error;
  std::int64_t nameFailures = 0, addressFailures = 0;
  call.store.addSignInFailure("name:" + name, call.nowMs, call.nowMs - throttleForgetMs,
                              nameFailures, error);
  call.store.addSignInFailure("address:" + call.address, call.nowMs, call.nowMs - addressWindowMs,
                              addressFailures, error);
  call.metrics.staffSignIn(Metrics::SignIn::refused);
  std::cerr << "staff sign-in refused for '" << terminalSafe(name) << "' from " << call.address
            << " (" << nameFailures << " failures of the name, " << addressFailures
            << " of the address)" << std::endl;
  auditCall(call, "signin_failed", "", name);
  return consoleAnswer(401, signInPage(call.options.page, next, "Wrong name or password."));
}

HttpAnswer trySignIn(ConsoleCall& call) {
  const std::string name = field(call, "name"), password = field(call, "password");
  const std::string next = safeNext(field(call, "next"));
  std::string error;
  const std::int64_t until = throttledUntilMs(call, name, error);
  if (until < 0) return saying(call, 503, "Try again", "The store failed: " + error);
  if (call.nowMs < until) {
    call.metrics.staffSignIn(Metrics::SignIn::throttled);
    std::cerr << "staff sign-in throttled for '" << name << "' from " << call.address << std::endl;
    const std::int64_t minutes = (until - call.nowMs + 59999) / 60000;
    HttpAnswer answer = consoleAnswer(429, signInPage(call.options.page, next,
                                                      "Too many failed sign-ins: try again in " +
                                                          counted(minutes, "minute") + "."));
    answer.headers.emplace_back("Retry-After", std::to_string((until - call.nowMs + 999) / 1000));
    return answer;
  }
  if (!staffNameProblem(name).empty()) return signInFailed(call, "", next);
  std::string hash, role;
  bool found = false;
  if (!call.store.staffSignIn(name, hash, role, found, error)) {
    return saying(call, 503, "Try again", "The store failed: " + error);
  }
  // A hash is checked whether the name is known or not: the same time.
  const bool right = passwordProblem(password).empty() && checkPassword(password, hash) && found;
  if (!right) return signInFailed(call, name, next);
  const std::string token = generateKey();
  if (token.empty() || !call.store.clearSignInFailures("name:" + name, error) ||
      !call.store.addSession(hashKey(token), name, call.nowMs, error)) {
    return saying(call, 503, "Try again", "The session could not be made: " + error);
  }
  call.metrics.staffSignIn(Metrics::SignIn::done);
  auditCall(call, "signin", "as " + role, name);
  HttpAnswer answer = seeOther(next);
  answer.headers.emplace_back("Set-Cookie", sessionCookie(call, token, false));
  return answer;
}

HttpAnswer signOut(ConsoleCall& call, const std::string& token) {
  std::string error;
  call.store.endSession(hashKey(token), error);
  auditCall(call, "signout", "");
  HttpAnswer answer = seeOther("/staff/signin");
  answer.headers.emplace_back("Set-Cookie", sessionCookie(call, "", true));
  return answer;
}

// What a used, expired or unknown link says.
HttpAnswer linkGone(const ConsoleCall& call, LinkState state, const char* whom) {
  if (state == LinkState::unknown)
    return saying(call, 404, "No such link", "This link is not known.");
  return saying(call, 410, state == LinkState::used ? "Link used" : "Link expired",
                std::string(state == LinkState::used ? "This link was used already"
                                                     : "This link has expired") +
                    ": ask " + whom + " for a new one.");
}

HttpAnswer welcomeLink(ConsoleCall& call, const std::string& token) {
  OneTimeLink link;
  std::string error;
  if (!call.store.readLink(hashKey(token), call.nowMs, link, error)) {
    return saying(call, 503, "Try again", "The store failed: " + error);
  }
  if (link.kind != "staff") link.state = LinkState::unknown;
  if (link.state != LinkState::valid) return linkGone(call, link.state, "an owner of the console");
  if (call.request.method != "POST") {
    return consoleAnswer(200, passwordPage(call.options.page, link.subject, ""));
  }
  if (!sameOrigin(call)) return refusal(call, "The form did not come from this console.");
  const std::string password = field(call, "password");
  std::string problem = passwordProblem(password);
  if (problem.empty() && password != field(call, "again")) problem = "the two passwords differ";
  if (!problem.empty()) {
    return consoleAnswer(400, passwordPage(call.options.page, link.subject, problem));
  }
  const std::string hash = hashPassword(password);
  if (hash.empty() || !call.store.useLink("staff", hashKey(token), call.nowMs, hash, link, error)) {
    return saying(call, 503, "Try again", "The password could not be set: " + error);
  }
  if (link.state != LinkState::valid) return linkGone(call, link.state, "an owner of the console");
  auditCall(call, "password_set", "", link.subject);
  return seeOther("/staff/signin");
}

HttpAnswer joinLink(ConsoleCall& call, const std::string& token) {
  const char* const whom = "your community's staff";
  OneTimeLink link;
  std::string error;
  const bool take = call.request.method == "POST";
  const bool read = take ? call.store.useLink("join", hashKey(token), call.nowMs, "", link, error)
                         : call.store.readLink(hashKey(token), call.nowMs, link, error);
  if (!read) return saying(call, 503, "Try again", "The store failed: " + error);
  if (link.kind != "join") link.state = LinkState::unknown;
  if (link.state != LinkState::valid) return linkGone(call, link.state, whom);
  if (!take) return consoleAnswer(200, joinPage(call.options.page, link.subject));
  auditCall(call, "join_download", link.subject, link.subject);
  HttpAnswer answer = consoleAnswer(200, call.options.playerIni(link.subject, link.secret));
  answer.contentType = "application/octet-stream";
  answer.headers.emplace_back("Content-Disposition",
                              "attachment; filename=\"VORN_Davida_Client.ini\"");
  return answer;
}

// A signed-in request: its session, then for a change its origin and form
// token, then the member's right to the path.
HttpAnswer signedIn(ConsoleCall& call, StaffAction action) {
  const bool post = call.request.method == "POST";
  const std::string token = cookieToken(call);
  bool found = false;
  std::string error;
  if (!token.empty() && !call.store.useSession(hashKey(token), call.nowMs, sessionIdleMs,
                                               sessionAbsoluteMs, call.session, found, error)) {
    return saying(call, 503, "Try again", "The store failed: " + error);
  }
  if (!found) {
    if (post) return refusal(call, "You are signed out.");
    std::string next = call.request.rawPath;
    char separator = '?';
    for (const auto& [name, value] : call.request.query) {
      next += separator + percentEncode(name) + "=" + percentEncode(value);
      separator = '&';
    }
    return seeOther("/staff/signin?next=" + percentEncode(next));
  }
  call.frame.who = call.session.name;
  call.frame.role = call.session.role;
  call.frame.csrf = formToken(token);
  if (post && !sameOrigin(call)) return refusal(call, "The form did not come from this console.");
  if (post && field(call, "csrf") != call.frame.csrf) {
    return refusal(call, "The form's token is not this session's: open the page again.");
  }
  if (!staffMay(call.session.role, action)) {
    return refusal(call, "Your role (" + call.session.role + ") may not do this.");
  }
  if (call.request.rawPath == "/staff/signout") return signOut(call, token);
  return post ? consoleChange(call) : consoleRead(call);
}

// The client's address: the connection's, or behind a proxy on this
// machine the one it names last in X-Forwarded-For (the earlier ones are the
// client's own words).
std::string clientOf(const HttpRequest& request) {
  const std::string forwarded = request.header("x-forwarded-for");
  if (!fromLoopback(request.clientAddress) || forwarded.empty()) return request.clientAddress;
  std::string last = forwarded.substr(forwarded.rfind(',') + 1);
  last.erase(0, last.find_first_not_of(' '));
  const bool plain = !last.empty() && last.size() <= 45 &&
                     last.find_first_not_of("0123456789abcdefABCDEF.:") == std::string::npos;
  return plain ? last : request.clientAddress;
}

HttpAnswer answerConsole(ConsoleCall& call) {
  const HttpRequest& request = call.request;
  call.address = clientOf(request);
  const std::string& path = request.rawPath;
  const bool post = request.method == "POST";
  if ((post || request.method == "GET") && pathStarts(path, joinPrefix) &&
      path.size() > joinPrefix.size()) {
    return joinLink(call, path.substr(joinPrefix.size()));
  }
  if (!onHttps(call) && !fromLoopback(request.clientAddress)) {
    return saying(call, 403, "Not over plain HTTP",
                  "The staff console answers only over HTTPS, or on this machine (where a "
                  "proxy that ends TLS may reach it), so that no password crosses the network "
                  "in clear. Ask the collector's operator for its HTTPS address.");
  }
  if (post && !parseForm(request.body, call.form)) {
    return saying(call, 400, "Malformed form", "The form's body could not be read.");
  }
  if (path == "/staff/signin") {
    if (post)
      return sameOrigin(call) ? trySignIn(call)
                              : refusal(call, "The form did not come from this console.");
    const std::string* next = request.param("next");
    return consoleAnswer(200, signInPage(call.options.page, safeNext(next ? *next : ""), ""));
  }
  if (pathStarts(path, welcomePrefix) && path.size() > welcomePrefix.size()) {
    return welcomeLink(call, path.substr(welcomePrefix.size()));
  }
  for (const auto& right : consoleRights) {
    if (path == right.path && request.method == right.method) return signedIn(call, right.action);
  }
  return saying(call, 404, "No such page", "The console has no such page.");
}

}  // namespace

Console::Console(Store& store, const ServeOptions& options, Metrics& metrics)
    : store_(store), options_(options), metrics_(metrics) {
  thread_ = quietThread([this] {
    nameThisThread("vorn-console");
    work();
  });
}

Console::~Console() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  for (auto& [request, reply] : waiting_) reply(jsonAnswer(503, "the collector is stopping"));
}

bool Console::owns(const HttpRequest& request) {
  const std::string& path = request.rawPath;
  return path == "/staff" || pathStarts(path, "/staff/") || pathStarts(path, joinPrefix);
}

void Console::handle(const HttpRequest& request, Reply reply) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_ && waiting_.size() < maxWaiting) {
      waiting_.emplace_back(request, std::move(reply));
      wake_.notify_one();
      return;
    }
  }
  reply(consoleAnswer(503, "the console is busy: try again in a moment\n"));
}

void Console::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (stopping_) return;
    auto [request, reply] = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    ConsoleCall call{store_, options_, metrics_, request, wallClockMs(), "", {}, {}, {}, {}};
    reply(answerConsole(call));
    lock.lock();
  }
}

}  // namespace collector
