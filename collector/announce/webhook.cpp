#include "announce/webhook.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

#include "core/keys.h"
#include "vorn_deployment.h"

namespace collector {

namespace {

std::string lowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

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

}  // namespace

bool loopbackHost(const std::string& host) {
  if (host == "localhost" || host == "localhost." || host == "[::1]") return true;
  int parts = 0;
  std::size_t at = 0;
  for (; at < host.size() && parts < 4; ++parts) {
    const std::size_t end = std::min(host.find('.', at), host.size());
    if (end == at || end - at > 3 || host.find_first_not_of("0123456789", at) < end) {
      return false;
    }
    if (parts == 0 && host.compare(at, end - at, "127") != 0) return false;
    at = end + 1;
  }
  return parts == 4 && at == host.size() + 1;
}

void startWebhooks() { curl_global_init(CURL_GLOBAL_DEFAULT); }

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
  const std::string hostText = host ? lowerAscii(host) : "";
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
  if (schemeText == "http" && !loopbackHost(hostText)) {
    problem = webhook.name +
              " is a plain http:// URL to another machine: its secret token would travel in "
              "clear (https:// is taken, and http:// to this machine's loopback)";
    return false;
  }
  return true;
}

PostResult postWebhook(const std::string& url, const std::string& body, std::atomic<bool>& cutOff) {
  PostResult result;
  CURLcode code = CURLE_OK;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) {
    result.failure = curl_easy_strerror(CURLE_FAILED_INIT);
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
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, webhookConnectMs);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, webhookRequestMs);
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
  code = curl_easy_perform(handle);
  if (code == CURLE_OK) {
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result.status);
  } else if (code == CURLE_ABORTED_BY_CALLBACK) {
    result.cutOff = true;
  } else {
    // curl's text of the cause is fixed: it never holds the URL.
    result.failure = curl_easy_strerror(code);
  }
  return result;
}

}  // namespace collector
