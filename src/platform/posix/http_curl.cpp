// The report POST on Linux, with libcurl, shaped like the WinHTTP request of
// the Windows build: the same three headers of our own, Host and
// Content-Length from the client and nothing else, the path without query or
// fragment, and the answer decided by the status line alone. The transfer
// runs on a multi handle so that this thread keeps the post's limits itself.
#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"

namespace platform {
namespace {

const char* const userAgent = "VORN-Davida-Client/1.0";
const long connectTimeoutMilliseconds = 10000;

// A post abandoned during name resolution leaves libcurl's resolver thread to
// finish on its own (CURLOPT_QUICK_EXIT), so libcurl must stay loaded even
// after the game unloads the plug-in: it is marked never to be unloaded.
void keepCurlLoaded() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&curl_easy_init), &info) == 0 || info.dli_fname == nullptr)
    return;
  dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

bool curlReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    keepCurlLoaded();
    ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  });
  return ready;
}

struct Transfer {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  CURLU* url = nullptr;
  curl_slist* headers = nullptr;
  bool responseArrived = false;
  long status = 0;

  ~Transfer() {
    if (multi != nullptr && easy != nullptr) curl_multi_remove_handle(multi, easy);
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (multi != nullptr) curl_multi_cleanup(multi);
    if (headers != nullptr) curl_slist_free_all(headers);
    if (url != nullptr) curl_url_cleanup(url);
  }
};

bool equalsIgnoringCase(const char* text, const char* lowerCase) {
  for (; *text != '\0' && *lowerCase != '\0'; ++text, ++lowerCase) {
    char c = *text;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != *lowerCase) return false;
  }
  return *text == *lowerCase;
}

// curl would also take "http:/host" or "http:host"; the Windows build's URL
// cracker wants "scheme://", and so does this one.
bool hasAuthorityMarker(const std::string& text) {
  const std::string::size_type marker = text.find("://");
  if (marker == std::string::npos || marker == 0) return false;
  for (std::string::size_type i = 0; i < marker; ++i) {
    const char c = text[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

// The collector URL reduced to what goes on the wire: scheme, host, port and
// path. Query, fragment and user info are dropped; any scheme but http and
// https is refused before a connection is made.
bool parseCollectorUrl(const std::string& text, Transfer& transfer) {
  if (!hasAuthorityMarker(text)) return false;
  transfer.url = curl_url();
  if (transfer.url == nullptr) return false;
  if (curl_url_set(transfer.url, CURLUPART_URL, text.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK)
    return false;
  char* scheme = nullptr;
  if (curl_url_get(transfer.url, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) return false;
  const bool webScheme = equalsIgnoringCase(scheme, "http") || equalsIgnoringCase(scheme, "https");
  curl_free(scheme);
  if (!webScheme) return false;
  for (CURLUPart part :
       {CURLUPART_QUERY, CURLUPART_FRAGMENT, CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS})
    curl_url_set(transfer.url, part, nullptr, 0);
  return true;
}

// Stops the transfer once the final response's headers are in: like WinHTTP,
// the answer is the status code and the body is never read. A proxy's answer
// to CONNECT never gets here (CURLOPT_SUPPRESS_CONNECT_HEADERS): only the
// collector's own response decides.
size_t onHeaderLine(char* data, size_t size, size_t count, void* context) {
  Transfer& transfer = *static_cast<Transfer*>(context);
  const size_t length = size * count;
  const bool blankLine =
      (length == 2 && data[0] == '\r' && data[1] == '\n') || (length == 1 && data[0] == '\n');
  if (!blankLine) return length;
  long status = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
  // 100 Continue is the one interim answer after which the real one follows;
  // any other 1xx comes from a collector that is not answering the report,
  // and ends the exchange at once as not accepted.
  if (status == 100) return length;
  transfer.status = status;
  transfer.responseArrived = true;
  return 0;
}

size_t discardBody(char*, size_t size, size_t count, void*) { return size * count; }

bool appendHeader(curl_slist*& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list, line.c_str());
  if (grown == nullptr) return false;
  list = grown;
  return true;
}

bool buildHeaders(const std::string& apiKey, Transfer& transfer) {
  // "Name:" with nothing after it would make curl drop the header; "Name;"
  // sends it with an empty value.
  const std::string keyHeader = apiKey.empty() ? "X-VORN-Key;" : "X-VORN-Key: " + apiKey;
  return appendHeader(transfer.headers, "Content-Type: application/json") &&
         appendHeader(transfer.headers, keyHeader) &&
         appendHeader(transfer.headers, "Accept:") &&  // removes curl's default
         appendHeader(transfer.headers, "Expect:");    // no 100-continue round trip
}

// Milliseconds from now to the deadline, at least 1 (0 would mean none).
long millisecondsLeft(const PostLimits& limits) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      limits.deadline - std::chrono::steady_clock::now());
  return std::max<long>(1, static_cast<long>(left.count()));
}

bool configure(Transfer& transfer, const std::string& body, const PostLimits& limits) {
  CURL* easy = transfer.easy;
  bool ok = true;
  auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
  set(curl_easy_setopt(easy, CURLOPT_CURLU, transfer.url));
  set(curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L));
  set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
  set(curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
  set(curl_easy_setopt(easy, CURLOPT_POST, 1L));
  set(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data()));
  set(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
  set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers));
  set(curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent));
  // The client's own time-outs end at the deadline too; the loop in httpPost
  // keeps it as well and alone answers shutdown.
  const long left = millisecondsLeft(limits);
  set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                       std::min(connectTimeoutMilliseconds, left)));
  set(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, left));
  // Time-outs must not use signals: the game owns the process's signal handling.
  set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
  // An abandoned post does not wait for a name lookup that hangs.
  set(curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L));
  set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
  // OpenSSL's own variable for a certificate bundle of the user's choice; this
  // libcurl passes its built-in bundle explicitly and would not look at it.
  if (const char* bundle = std::getenv("SSL_CERT_FILE"))
    if (bundle[0] != '\0') set(curl_easy_setopt(easy, CURLOPT_CAINFO, bundle));
  // Proxies come from the environment (https_proxy, no_proxy), as libcurl reads it.
  set(curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
  set(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &onHeaderLine));
  set(curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer));
  set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discardBody));
  return ok;
}

// Drives the transfer until it ends, the deadline passes or the caller gives
// up; true when it ended by itself.
bool runWithinLimits(Transfer& transfer, const PostLimits& limits) {
  while (true) {
    int active = 0;
    if (curl_multi_perform(transfer.multi, &active) != CURLM_OK) return false;
    if (active == 0) return true;
    if (std::chrono::steady_clock::now() >= limits.deadline || limits.giveUp(limits.context))
      return false;
    if (curl_multi_poll(transfer.multi, nullptr, 0, static_cast<int>(postCheckMilliseconds),
                        nullptr) != CURLM_OK)
      return false;
  }
}

}  // namespace

bool httpPost(const std::string& url, const std::string& apiKey, const std::string& body,
              const PostLimits& limits) {
  if (!curlReady()) return false;
  Transfer transfer;
  if (!parseCollectorUrl(url, transfer)) return false;
  transfer.easy = curl_easy_init();
  transfer.multi = curl_multi_init();
  if (transfer.easy == nullptr || transfer.multi == nullptr) return false;
  if (!buildHeaders(apiKey, transfer) || !configure(transfer, body, limits)) return false;
  if (curl_multi_add_handle(transfer.multi, transfer.easy) != CURLM_OK) return false;
  // The transfer ends in a write error when the header callback stops it;
  // what counts is whether a complete status and header block arrived.
  if (!runWithinLimits(transfer, limits)) return false;
  return transfer.responseArrived && transfer.status >= 200 && transfer.status <= 299;
}

}  // namespace platform
