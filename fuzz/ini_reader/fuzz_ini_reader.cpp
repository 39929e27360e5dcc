// The ini reader over arbitrary file contents. Whatever the file holds, the
// interval never ends below 10, and a field taken from the file never keeps
// blanks or a line end at its edges and never spans lines.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "config/settings.h"

// Stops the run with a message; libFuzzer then keeps the input as a crash artifact.
static void require(bool holds, const std::string& what) {
  if (!holds) std::fprintf(stderr, "property violated: %s\n", what.c_str()), std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  // Starting values that no file line can produce, so that "taken from the
  // file" is exactly "changed".
  const Settings before{" \tplayer\n", "\rurl ", "\nkey\t", 60};
  Settings loaded = before;
  std::istringstream input(file);
  applySettingsText(input, loaded);

  require(loaded.SendIntervalSeconds >= minimumSendIntervalSeconds,
          "interval " + std::to_string(loaded.SendIntervalSeconds));
  for (const std::string& value : {loaded.PlayerName, loaded.CollectorURL, loaded.ApiKey}) {
    if (value == before.PlayerName || value == before.CollectorURL || value == before.ApiKey ||
        value.empty())
      continue;
    const std::string blanks = " \t\r\n";
    require(value.find('\n') == std::string::npos, "a field spans lines: " + value);
    require(blanks.find(value.front()) == std::string::npos &&
                blanks.find(value.back()) == std::string::npos,
            "a field keeps blanks at its edges: " + value);
    // A field is only ever set to a piece of one line of the file.
    require(file.find(value) != std::string::npos, "a field not from the file: " + value);
  }
  return 0;
}
