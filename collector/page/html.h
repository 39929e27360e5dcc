// Escaping for HTML and URLs, in one place: every text of the pages that
// comes from a report, a name or an option goes through these.
#pragma once

#include <string>

namespace collector {

// Text with &, <, >, " and ' replaced by their HTML entities.
std::string escapeHtml(const std::string& text);

// Every byte but A-Z a-z 0-9 - . _ ~ as %XX.
std::string percentEncode(const std::string& text);

}  // namespace collector
