#include "config/settings.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "vorn_deployment.h"

namespace {

Settings applied(const std::string& text) {
  Settings result = defaultSettings();
  std::istringstream input(text);
  applySettingsText(input, result);
  return result;
}

// Expected "PLAYER|URL|KEY", where "*" is the field's default.
TEST(SettingsFile, LinesAreReadByTheIniRules) {
  const std::pair<const char*, const char*> cases[] = {
      {" \tPlayerName\t=\t Night  Owl \t\r\n", "Night  Owl|*|*"},  // inner space kept
      {"playername=x\nAPIKEY=y\n", "*|*|*"},                   // keys are case-sensitive
      {"PlayerName=\n", "|*|*"},
      {"PlayerName\n=ApiKey\n", "*|*|*"},
      {"CollectorURL=http://h/p?a=1&b=2\n", "*|http://h/p?a=1&b=2|*"},  // the first = splits
      {"PlayerName=\"Night Owl\"\n", "\"Night Owl\"|*|*"},
      // Comments start a trimmed line; a marker after the = is text, with or without space.
      {"  # PlayerName=x\n; ApiKey=y\nApiKey= ;k #1;x#y\nPlayerName=#a\n", "#a|*|;k #1;x#y"},
      {"[Settings]\nPlayerName=a\n[Other]\nApiKey=b\n", "a|*|b"},  // no sections
      {"PlayerName=first\nPlayerName=second\n", "second|*|*"},
      {"ApiKey=k", "*|*|k"},                              // no line end at the end
      {"\xEF\xBB\xBFPlayerName=a\nApiKey=b\n", "*|*|b"},  // a byte-order mark is no key
      {"SendIntervalSeconds=abc\nPlayerName=later\n", "later|*|*"},
      {"CollectorURL=\n", "*||*"},
  };
  const Settings d = defaultSettings();
  EXPECT_EQ(d.PlayerName + "|" + d.CollectorURL + "|" + d.ApiKey,
            "CHANGE_ME|" + std::string(deployment::defaultCollectorUrl) + "|PASTE_API_KEY_HERE");
  for (const auto& c : cases) {
    const Settings s = applied(c.first);
    const std::string fields[] = {s.PlayerName, s.CollectorURL, s.ApiKey};
    const std::string defaults[] = {d.PlayerName, d.CollectorURL, d.ApiKey};
    std::string seen;
    for (int i = 0; i < 3; ++i)
      seen += (i ? "|" : "") + (fields[i] == defaults[i] ? "*" : fields[i]);
    EXPECT_EQ(seen, c.second) << c.first;
  }
}

// "VALUE>SECONDS"
TEST(SettingsFile, SendIntervalIsADecimalRaisedToTen) {
  for (const std::string c :
       {"30>30", "10>10", "9>10", "0>10", "-15>10", "+20>20", "45s>45", "90.5>90", "0x20>10",
        "2147483647>2147483647", "abc>60", ">60", "2147483648>60", "-2147483649>60",
        "99999999999999999999999>60", "-2147483648>10"}) {
    const std::string value = c.substr(0, c.find('>')), seconds = c.substr(c.find('>') + 1);
    EXPECT_EQ(applied("SendIntervalSeconds=" + value + "\n").SendIntervalSeconds,
              std::stoi(seconds))
        << "value '" << value << "'";
  }
}

}  // namespace
