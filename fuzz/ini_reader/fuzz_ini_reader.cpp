// The ini reader over arbitrary file contents. Whatever the file holds, the
// interval never ends below 10, and a field taken from the file never keeps
// blanks or a line end at its edges and never spans lines.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "common/fuzz_check.h"
#include "config/settings.h"

namespace {

bool isIniWhitespace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void checkField(const char* name, const std::string& value, const std::string& before,
                const std::string& file) {
  if (value == before) return;
  FUZZ_REQUIRE(value.find('\n') == std::string::npos,
               std::string(name) + " holds a line feed: " + fuzzcheck::quoted(value));
  if (value.empty()) return;
  FUZZ_REQUIRE(!isIniWhitespace(value.front()) && !isIniWhitespace(value.back()),
               std::string(name) + " keeps blanks at its edges: " + fuzzcheck::quoted(value));
  // A field is only ever set to a piece of one line of the file.
  FUZZ_REQUIRE(fuzzcheck::contains(file, value),
               std::string(name) + " is not from the file: " + fuzzcheck::quoted(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  // Starting values that no file line can produce, so that "taken from the
  // file" is exactly "changed".
  const Settings before{" \tplayer\n", "\rurl ", "\nkey\t", 60};
  Settings loaded = before;
  std::istringstream input(file);
  applySettingsText(input, loaded);

  FUZZ_REQUIRE(loaded.SendIntervalSeconds >= minimumSendIntervalSeconds,
               "interval " + std::to_string(loaded.SendIntervalSeconds));
  checkField("PlayerName", loaded.PlayerName, before.PlayerName, file);
  checkField("CollectorURL", loaded.CollectorURL, before.CollectorURL, file);
  checkField("ApiKey", loaded.ApiKey, before.ApiKey, file);
  return 0;
}
