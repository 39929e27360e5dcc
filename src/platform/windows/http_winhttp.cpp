// The report POST on Windows: one WinHTTP session, connection and request per
// report, synchronous, with WinHTTP's certificate checks; redirects are not
// followed. The exchange runs on a helper thread while this one keeps the
// post's limits; the helper sends the body only while the post is still
// wanted (sendBodyIfWanted).
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

const wchar_t* const userAgent = L"VORN-Davida-Client/1.0";
const DWORD hostBufferLength = 512;
const DWORD pathBufferLength = 2048;
const int sendMilliseconds = 500;

// One code unit per byte, no code page: bytes above 0x7F sign-extend to
// U+FF80..U+FFFF. Only ASCII URLs and keys are expected.
std::wstring widenBytes(const std::string& text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (const char c : text) wide += static_cast<wchar_t>(static_cast<signed char>(c));
  return wide;
}

// The cracked path can carry the query and the fragment; only the path
// itself is the request target.
std::wstring requestTarget(const wchar_t* path, DWORD length) {
  std::wstring target(path, length);
  const std::wstring::size_type extra = target.find_first_of(L"?#");
  if (extra != std::wstring::npos) target.erase(extra);
  if (target.empty()) target = L"/";
  return target;
}

void closeAll(HINTERNET request, HINTERNET connection, HINTERNET session) {
  if (request != nullptr) WinHttpCloseHandle(request);
  if (connection != nullptr) WinHttpCloseHandle(connection);
  if (session != nullptr) WinHttpCloseHandle(session);
}

// WinHTTP's own time-outs bound name resolution, connect and receive to what
// is left until the deadline, and each send to sendMilliseconds at most: a
// few hundred bytes fit any fresh socket's buffer at once, so only a peer
// that takes none waits, and the body's write holds the exchange's lock. The
// total, a trickling answer included, is kept by awaitExchange.
bool setTimeouts(HINTERNET session, const PostLimits& limits) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      limits.deadline - std::chrono::steady_clock::now());
  const int step = static_cast<int>(std::max<long long>(1, left.count()));
  return WinHttpSetTimeouts(session, step, step, std::min(step, sendMilliseconds), step);
}

// Shared by the waiting thread and the helper, whichever lets go last frees
// it. The handles belong to the helper alone, which closes them: the waiting
// thread never touches them once the helper runs, so no WinHTTP call of the
// helper can meet a handle that was closed under it (and perhaps reused).
struct Exchange {
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  std::wstring headers;
  std::string body;
  HMODULE module = nullptr;  // the helper's reference to this library
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  DWORD status = 0;
};

// The request head goes out first, announcing the body's length; the body
// follows only while the waiting thread still wants the post, decided under
// the lock. A post given up during name lookup, connect or the head's send
// therefore never becomes a whole request: the collector gets at most a head
// whose body never comes, and counts nothing. A body written is in the
// socket before any verdict, so a late verdict can only be a lost answer.
bool sendBodyIfWanted(Exchange& ex) {
  std::lock_guard<std::mutex> lock(ex.mutex);
  if (ex.abandoned) return false;
  // The waiting thread waits for this lock at most the send time-out.
  const DWORD length = static_cast<DWORD>(ex.body.size());
  DWORD written = 0;
  return length == 0 ||
         (WinHttpWriteData(ex.request, ex.body.data(), length, &written) && written == length);
}

void exchange(Exchange& ex) {
  const DWORD length = static_cast<DWORD>(ex.body.size());
  DWORD status = 0;
  if (WinHttpSendRequest(ex.request, ex.headers.c_str(), static_cast<DWORD>(-1),
                         WINHTTP_NO_REQUEST_DATA, 0, length, 0) &&
      sendBodyIfWanted(ex) && WinHttpReceiveResponse(ex.request, nullptr)) {
    DWORD statusSize = sizeof status;
    if (!WinHttpQueryHeaders(ex.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                             WINHTTP_NO_HEADER_INDEX))
      status = 0;
  }
  closeAll(ex.request, ex.connection, ex.session);
  std::lock_guard<std::mutex> lock(ex.mutex);
  ex.status = status;
  ex.done = true;
  ex.finished.notify_one();
}

// The helper's calls end only by WinHTTP's own time-outs (closing a handle
// would not end one under way on every WinHTTP: Wine's waits for the peer or
// its time-out). So the helper is never waited for: it holds a reference to
// this library and gives it back as it exits, and the game may unload the
// plug-in meanwhile.
DWORD WINAPI exchangeThread(LPVOID parameter) {
  auto* handed = static_cast<std::shared_ptr<Exchange>*>(parameter);
  std::shared_ptr<Exchange> ex = std::move(*handed);
  delete handed;
  exchange(*ex);
  const HMODULE module = ex->module;
  ex.reset();
  FreeLibraryAndExitThread(module, 0);
}

bool startExchange(const std::shared_ptr<Exchange>& ex) {
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&exchangeThread), &ex->module))
    return false;
  auto* handed = new std::shared_ptr<Exchange>(ex);
  HANDLE thread = CreateThread(nullptr, 0, &exchangeThread, handed, 0, nullptr);
  if (thread == nullptr) {
    delete handed;
    FreeLibrary(ex->module);
    return false;
  }
  CloseHandle(thread);
  return true;
}

// Waits for the helper's verdict until the deadline or until the caller gives
// up, and then only marks the exchange given up. True when it finished in time.
bool awaitExchange(Exchange& ex, const PostLimits& limits) {
  std::unique_lock<std::mutex> lock(ex.mutex);
  while (!ex.done) {
    if (std::chrono::steady_clock::now() >= limits.deadline || limits.giveUp(limits.context)) {
      ex.abandoned = true;
      return false;
    }
    ex.finished.wait_for(lock, std::chrono::milliseconds(postCheckMilliseconds));
  }
  return true;
}

}  // namespace

bool httpPost(const std::string& url, const std::string& apiKey, const std::string& body,
              const PostLimits& limits) {
  const std::wstring wideUrl = widenBytes(url);
  wchar_t host[hostBufferLength] = {};
  wchar_t path[pathBufferLength] = {};
  URL_COMPONENTS parts;
  ZeroMemory(&parts, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = hostBufferLength;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = pathBufferLength;
  if (!WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
  // Every string is ready before the first handle opens, so nothing between
  // opening and closing the handles can throw.
  const std::wstring hostName(host, parts.dwHostNameLength);
  const std::wstring target = requestTarget(path, parts.dwUrlPathLength);
  const std::wstring headers =
      L"Content-Type: application/json\r\nX-VORN-Key: " + widenBytes(apiKey) + L"\r\n";

  HINTERNET session = WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) return false;
  if (!setTimeouts(session, limits)) {
    closeAll(nullptr, nullptr, session);
    return false;
  }

  HINTERNET connection = WinHttpConnect(session, hostName.c_str(), parts.nPort, 0);
  if (connection == nullptr) {
    closeAll(nullptr, nullptr, session);
    return false;
  }

  const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  HINTERNET request = WinHttpOpenRequest(connection, L"POST", target.c_str(), nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
  if (request == nullptr) {
    closeAll(nullptr, connection, session);
    return false;
  }

  // WinHTTP would follow a 3xx on its own, turning the POST into a GET for
  // 301, 302 and 303: a 2xx at the new place would then count as an accepted
  // report that never arrived. The answer to our own request decides.
  DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  if (!WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy,
                        sizeof redirectPolicy)) {
    closeAll(request, connection, session);
    return false;
  }

  std::shared_ptr<Exchange> ex;
  try {
    ex = std::make_shared<Exchange>();
    ex->headers = headers;
    ex->body = body;
  } catch (...) {
    closeAll(request, connection, session);
    return false;
  }
  ex->session = session;
  ex->connection = connection;
  ex->request = request;
  if (!startExchange(ex)) {
    closeAll(request, connection, session);
    return false;
  }
  const bool inTime = awaitExchange(*ex, limits);
  // A call that failed leaves the status at 0.
  return inTime && ex->status - 200u <= 99u;
}

}  // namespace platform
