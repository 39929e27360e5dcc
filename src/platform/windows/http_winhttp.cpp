// The report POST on Windows: one WinHTTP session, connection and request per
// report, synchronous, with WinHTTP's own time-outs and certificate checks;
// redirects are not followed.
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

const wchar_t* const userAgent = L"VORN-Davida-Client/1.0";
const DWORD hostBufferLength = 512;
const DWORD pathBufferLength = 2048;

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

}  // namespace

bool httpPost(const std::string& url, const std::string& apiKey, const std::string& body) {
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

  const DWORD bodyLength = static_cast<DWORD>(body.size());
  LPVOID bodyData = const_cast<char*>(body.data());
  const bool exchanged = WinHttpSendRequest(request, headers.c_str(), static_cast<DWORD>(-1),
                                            bodyData, bodyLength, bodyLength, 0) &&
                         WinHttpReceiveResponse(request, nullptr);
  if (!exchanged) {
    closeAll(request, connection, session);
    return false;
  }

  DWORD status = 0;
  DWORD statusSize = sizeof status;
  WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
  closeAll(request, connection, session);
  return status - 200u <= 99u;
}

}  // namespace platform
