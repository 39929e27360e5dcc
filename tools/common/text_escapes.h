// Backslash escapes in the test tools' scripts, so that a scenario or a Steam
// script can carry line breaks, tabs and arbitrary bytes on one line:
// \n \r \t, \xHH (two hex digits), and a backslash before anything else
// stands for that character (so \\ is a backslash). A lone backslash at the
// end of the text is kept as it is.
#pragma once

#include <cstdlib>
#include <string>

namespace text_escapes {

inline std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char code = text[++i];
    if (code == 'n') out += '\n';
    else if (code == 'r') out += '\r';
    else if (code == 't') out += '\t';
    else if (code == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else out += code;
  }
  return out;
}

}  // namespace text_escapes
