#include "http/announcer.h"

#include <curl/curl.h>

#include <algorithm>
#include <iostream>
#include <memory>

#include "core/announce.h"
#include "core/calendar.h"
#include "core/clock.h"
#include "core/keys.h"
#include "core/log_limit.h"
#include "core/text.h"
#include "core/threads.h"
#include "vorn_deployment.h"

namespace collector {

namespace {

// How often the sender looks for due deliveries, and for ended results.
constexpr std::int64_t pollMs = 1000;
constexpr std::int64_t resultsEveryMs = 60000;
// A claimed delivery is taken again by anyone after this long: longer than a
// post and a store call together, so a live claimer has always settled it.
constexpr std::int64_t leaseMs = 30000;
// Announcements are kept this long, then pruned once an hour.
constexpr std::int64_t keepMs = 30 * msPerDay;
constexpr std::int64_t pruneEveryMs = 3600000;
constexpr std::size_t topDrivers = 5;

std::string lowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// The best drivers of a board by counted miles, and how many drove at all.
std::vector<Standing> topOf(const std::vector<LeaderboardRow>& rows, std::int64_t& drivers) {
  std::vector<Standing> top;
  drivers = 0;
  for (const LeaderboardRow& row : rows) {
    if (row.miles <= 0) continue;
    ++drivers;
    if (top.size() < topDrivers) top.push_back({row.playerName, row.miles, row.reports, row.seconds});
  }
  return top;
}

// What a post came back with.
struct PostResult {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string retryAfter;  // the header's value, of a 429
};

std::size_t discardBody(char*, std::size_t size, std::size_t count, void*) { return size * count; }

std::size_t readHeader(char* data, std::size_t size, std::size_t count, void* target) {
  const std::string line(data, size * count);
  const std::string name = "retry-after:";
  if (lowerAscii(line.substr(0, name.size())) == name) {
    std::string value = line.substr(name.size());
    const auto first = value.find_first_not_of(" \t");
    const auto last = value.find_last_not_of(" \t\r\n");
    *static_cast<std::string*>(target) =
        first == std::string::npos ? "" : value.substr(first, last - first + 1);
  }
  return size * count;
}

int stopCheck(void* cutOff, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<std::atomic<bool>*>(cutOff)->load() ? 1 : 0;
}

PostResult post(const std::string& url, const std::string& body, std::atomic<bool>& cutOff) {
  PostResult result;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) {
    result.code = CURLE_FAILED_INIT;
    return result;
  }
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(headers,
                                                                         &curl_slist_free_all);
  const std::string agent = std::string("vorn-collector/") + deployment::version;
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, Announcer::connectMs);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, Announcer::requestMs);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());
  curl_easy_setopt(handle, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, discardBody);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, readHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &result.retryAfter);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, stopCheck);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &cutOff);
  result.code = curl_easy_perform(handle);
  if (result.code == CURLE_OK) curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result.status);
  return result;
}

LogLimiter& storeLog() {
  static LogLimiter limiter(60000);
  return limiter;
}

}  // namespace

bool checkWebhook(const std::string& url, int number, Webhook& webhook, std::string& problem) {
  const std::string name = "webhook " + std::to_string(number);
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parts(curl_url(), &curl_url_cleanup);
  char* scheme = nullptr;
  char* host = nullptr;
  const bool parsed = parts &&
                      curl_url_set(parts.get(), CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
                      curl_url_get(parts.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                      curl_url_get(parts.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK;
  const std::string schemeText = scheme ? lowerAscii(scheme) : "";
  const std::string hostText = host ? host : "";
  curl_free(scheme);
  curl_free(host);
  // The scheme written out, as curl would otherwise guess one for "host/path",
  // and the host right after it: curl reads "https:///TOKEN" as the host TOKEN,
  // which the log would then show.
  const std::string written = lowerAscii(url.substr(0, 9));
  const std::size_t authority = written.rfind("http://", 0) == 0    ? 7
                                : written.rfind("https://", 0) == 0 ? 8
                                                                    : 0;
  if (!parsed || hostText.empty() || (schemeText != "http" && schemeText != "https") ||
      authority == 0 || authority >= url.size() || url[authority] == '/' ||
      url[authority] == '\\') {
    problem = name +
              " is not an http:// or https:// URL with a host (webhooks are numbered in "
              "the order given: the --webhook options, then VORN_WEBHOOKS)";
    return false;
  }
  webhook = {url, hashKey(url), name + " (" + hostText + ")"};
  return true;
}

Announcer::Announcer(Store& store, std::vector<Webhook> webhooks, Metrics& metrics)
    : store_(store), webhooks_(std::move(webhooks)), metrics_(metrics) {
  curl_global_init(CURL_GLOBAL_DEFAULT);  // before the thread: it is the only user of libcurl
  thread_ = std::thread([this] { run(); });
}

Announcer::~Announcer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cutOff_ = true;
  wake_.notify_all();
  thread_.join();
}

void Announcer::run() {
  nameThisThread("vorn-announce");
  std::int64_t nextResults = steadyClockMs(), nextPrune = nextResults;
  for (;;) {
    bool busy = false;
    const std::int64_t steady = steadyClockMs();
    if (steady >= nextResults) {
      recordResults(wallClockMs());
      nextResults = steady + resultsEveryMs;
    }
    if (steady >= nextPrune) {
      std::string error;
      if (!store_.pruneAnnouncements(wallClockMs() - keepMs, error)) {
        storeLog().write("prune", "announcements: cannot prune the old ones: " + error);
      }
      nextPrune = steady + pruneEveryMs;
    }
    for (const Webhook& webhook : webhooks_) {
      if (cutOff_) return;
      busy = deliver(webhook, wallClockMs()) || busy;
    }
    countWaiting();
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::milliseconds(busy ? 0 : pollMs),
                       [this] { return stopping_; })) {
      return;
    }
  }
}

void Announcer::recordResults(std::int64_t nowMs) {
  std::string error;
  bool found = false, added = false;
  const IsoWeek week = weekToAnnounce(nowMs);
  char subject[32];
  std::snprintf(subject, sizeof subject, "week/%04d-W%02d", week.year, week.week);
  if (!store_.hasAnnouncement(subject, found, error)) {
    storeLog().write("results", "announcements: cannot read the store: " + error);
    return;
  }
  if (!found) {
    std::vector<LeaderboardRow> rows;
    const Period period{week.firstDay * msPerDay, (week.firstDay + 7) * msPerDay};
    if (!store_.leaderboard(period, rows, error)) {
      storeLog().write("results", "announcements: cannot read the week's board: " + error);
      return;
    }
    std::int64_t drivers = 0;
    const std::vector<Standing> top = topOf(rows, drivers);
    const std::string body =
        top.empty() ? "" : webhookBody(weekMessage(week.year, week.week, week.firstDay, top));
    if (!store_.addAnnouncement(subject, body, nowMs, added, error)) {
      storeLog().write("results", "announcements: cannot record the week's results: " + error);
      return;
    }
  }
  std::vector<Event> events;
  if (!store_.listEvents(events, error)) {
    storeLog().write("results", "announcements: cannot read the events: " + error);
    return;
  }
  for (const Event& event : events) {
    if (!eventResultsDue(event.endMs, nowMs)) continue;
    const std::string key = "event/" + std::to_string(event.id);
    std::vector<LeaderboardRow> rows;
    if (!store_.hasAnnouncement(key, found, error) ||
        (!found && !store_.eventBoard(event, rows, error))) {
      storeLog().write("results", "announcements: cannot read an event's results: " + error);
      return;
    }
    if (found) continue;
    std::int64_t drivers = 0;
    const std::vector<Standing> top = topOf(rows, drivers);
    const std::string body = top.empty() ? "" : webhookBody(eventMessage(event.name, drivers, top));
    if (!store_.addAnnouncement(key, body, nowMs, added, error)) {
      storeLog().write("results", "announcements: cannot record an event's results: " + error);
      return;
    }
  }
}

bool Announcer::deliver(const Webhook& webhook, std::int64_t nowMs) {
  ClaimedAnnouncement claimed;
  bool found = false;
  std::string error;
  if (!store_.claimAnnouncement(webhook.hash, nowMs - giveUpAfterMs, nowMs, nowMs + leaseMs,
                                claimed, found, error)) {
    storeLog().write("claim", "announcements: cannot read the store: " + error);
    return false;
  }
  if (!found) return false;
  const PostResult result = post(webhook.url, claimed.body, cutOff_);
  const std::int64_t doneMs = wallClockMs();
  Delivery outcome = Delivery::sent;
  std::int64_t atMs = doneMs;
  if (result.code == CURLE_ABORTED_BY_CALLBACK) {
    // Cut off by the stop: whether it arrived is unknown, so it is due again
    // at once (the next start posts it) rather than after the lease.
    outcome = Delivery::retry;
  } else if (result.code != CURLE_OK || result.status < 200 || result.status > 299) {
    metrics_.announcementFailed();
    // curl's text of the cause is fixed: it never holds the URL.
    std::string why = result.code != CURLE_OK ? curl_easy_strerror(result.code)
                                              : "HTTP " + std::to_string(result.status);
    std::int64_t retryAfterMs = 0;
    if (result.status == 429 && parseRetryAfter(result.retryAfter, retryAfterMs)) {
      why += ", Retry-After " + std::to_string(retryAfterMs) + " ms";
    }
    if (nextTry(claimed.createdMs, claimed.attempts, doneMs, retryAfterMs, atMs)) {
      outcome = Delivery::retry;
      failureLog_.write(webhook.name + " failed",
                        webhook.name + ": a post failed (" + why +
                            "); it is tried again, with growing pauses, for a day");
    } else {
      outcome = Delivery::givenUp;
      atMs = doneMs;
      failureLog_.write(webhook.name + " gave up", webhook.name +
                                                       ": an announcement was given up after " +
                                                       counted(claimed.attempts, "attempt") +
                                                       " over a day (last: " + why + ")");
    }
  } else {
    metrics_.announcementSent();
  }
  if (!store_.settleAnnouncement(claimed.deliveryId, outcome, atMs, error)) {
    storeLog().write("settle", "announcements: cannot record a delivery: " + error);
  }
  return true;
}

void Announcer::countWaiting() {
  std::int64_t all = 0;
  for (const Webhook& webhook : webhooks_) {
    std::int64_t count = 0;
    std::string error;
    if (!store_.announcementsWaiting(webhook.hash, count, error)) return;
    all += count;
  }
  metrics_.announcementsWaiting(all);
}

}  // namespace collector
