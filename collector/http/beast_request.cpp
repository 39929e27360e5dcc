#include "http/beast_request.h"

#include <cctype>

namespace collector {

namespace beast = boost::beast;
namespace http = boost::beast::http;

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding; in a query '+' is a space too.
std::string decode(beast::string_view text, bool query) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += query && c == '+' ? ' ' : c;
    }
  }
  return out;
}

}  // namespace

HttpRequest fromBeast(http::request<http::string_body>&& req, const std::string& clientAddress) {
  HttpRequest request;
  request.method = std::string(req.method_string());
  const beast::string_view target = req.target();
  const auto question = target.find('?');
  request.rawPath = std::string(target.substr(0, question));
  request.path = decode(request.rawPath, false);
  if (question != beast::string_view::npos) {
    beast::string_view rest = target.substr(question + 1);
    while (!rest.empty()) {
      const auto amp = rest.find('&');
      const beast::string_view pair = rest.substr(0, amp);
      const auto eq = pair.find('=');
      if (!pair.empty()) {
        request.query.emplace(
            decode(pair.substr(0, eq), true),
            eq == beast::string_view::npos ? "" : decode(pair.substr(eq + 1), true));
      }
      if (amp == beast::string_view::npos) break;
      rest = rest.substr(amp + 1);
    }
  }
  for (const auto& field : req) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    request.headers.emplace(std::move(name), std::string(field.value()));
  }
  request.body = std::move(req.body());
  request.clientAddress = clientAddress;
  return request;
}

}  // namespace collector
