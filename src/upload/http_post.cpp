#include "upload/http_post.h"

#include "platform/platform.h"

bool postReport(const std::string& url, const std::string& apiKey, const std::string& body) {
  try {
    return platform::httpPost(url, apiKey, body);
  } catch (...) {
    return false;
  }
}
