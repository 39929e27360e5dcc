// Escaping for HTML and URLs, in one place: every text of the pages that
// comes from a report, a name or an option goes through these.
#pragma once

#include <string>

#include "core/text.h"

namespace collector {

// Text with &, <, >, " and ' replaced by their HTML entities.
std::string escapeHtml(const std::string& text);
// percentEncode, for every name in a URL: core/text.h.

}  // namespace collector
