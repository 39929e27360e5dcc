// The community's chat webhooks: the URLs the operator gives, checked, and
// one post to one of them with libcurl.
//
// A webhook's URL is a secret (whoever has it may post to the channel): it
// is never logged, counted or put into an error message. The log names a
// webhook by its number in the order given and its host; the store knows it
// by the SHA-256 of its URL.
#pragma once

#include <atomic>
#include <string>

namespace collector {

struct Webhook {
  std::string url;
  std::string hash;  // SHA-256 of the URL, lower-case hex: the store's name for it
  std::string name;  // "webhook 2 (chat.example)" for the log
};

// Whether `host` (lower case, as a URL names it) is this machine's loopback:
// localhost, [::1] or a dotted 127.X.Y.Z.
bool loopbackHost(const std::string& host);

// Checks the `number`-th webhook URL: https:// with a host, or http:// to
// this machine's loopback (localhost, 127.0.0.0/8, [::1]): a plain http://
// post to another machine would carry the URL's secret token in clear. The
// problem, when there is one, names the webhook by its number (and host),
// never by its URL.
bool checkWebhook(const std::string& url, int number, Webhook& webhook, std::string& problem);

// Time limits of one post.
inline constexpr long webhookConnectMs = 5000;
inline constexpr long webhookRequestMs = 10000;

// Readies libcurl; once, before any post and before a second thread runs.
void startWebhooks();

// What a post came back with.
struct PostResult {
  bool cutOff = false;     // stopped by `cutOff`: whether it arrived is unknown
  std::string failure;     // why no answer came (never the URL); empty when one did
  long status = 0;         // the answer's
  std::string retryAfter;  // the answer's Retry-After header, of a 429
};

// Posts `body` (JSON) to `url`, given up as soon as `cutOff` is set.
PostResult postWebhook(const std::string& url, const std::string& body, std::atomic<bool>& cutOff);

}  // namespace collector
