#include "platform/platform.h"

namespace platform {

bool httpPost(const std::string&, const std::string&, const std::string&) { return false; }

}  // namespace platform
