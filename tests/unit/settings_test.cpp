#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "config/settings.h"
#include "vorn_deployment.h"

namespace {

Settings applied(const std::string& text) {
  Settings result = defaultSettings();
  std::istringstream input(text);
  applySettingsText(input, result);
  return result;
}

struct LineCase {
  const char* name;
  std::string text;
  std::string player;
  std::string url;
  std::string key;
};

TEST(SettingsFile, LinesAreReadByTheIniRules) {
  const std::string defaultUrl = deployment::defaultCollectorUrl;
  const LineCase cases[] = {
      {"spaces and CR LF trimmed, inner space kept", "  PlayerName  =  Night  Owl \r\n",
       "Night  Owl", defaultUrl, "PASTE_API_KEY_HERE"},
      {"keys are case-sensitive", "playername=x\nAPIKEY=y\n", "CHANGE_ME", defaultUrl,
       "PASTE_API_KEY_HERE"},
      {"nothing after = empties the field", "PlayerName=\n", "", defaultUrl,
       "PASTE_API_KEY_HERE"},
      {"a key without = and a line starting with = are ignored", "PlayerName\n=ApiKey\n",
       "CHANGE_ME", defaultUrl, "PASTE_API_KEY_HERE"},
      {"only the first = splits", "CollectorURL=http://h/p?a=1&b=2\n", "CHANGE_ME",
       "http://h/p?a=1&b=2", "PASTE_API_KEY_HERE"},
      {"quotes are part of the value", "PlayerName=\"Night Owl\"\n", "\"Night Owl\"", defaultUrl,
       "PASTE_API_KEY_HERE"},
      {"; and # after text are part of the value", "ApiKey=abc;def#ghi\n", "CHANGE_ME",
       defaultUrl, "abc;def#ghi"},
      {"comments start a trimmed line", "  # PlayerName=x\n; ApiKey=y\n", "CHANGE_ME",
       defaultUrl, "PASTE_API_KEY_HERE"},
      {"section headers mean nothing", "[Settings]\nPlayerName=a\n[Other]\nApiKey=b\n", "a",
       defaultUrl, "b"},
      {"the last occurrence wins", "PlayerName=first\nPlayerName=second\n", "second",
       defaultUrl, "PASTE_API_KEY_HERE"},
      {"a last line without line end counts", "ApiKey=k", "CHANGE_ME", defaultUrl, "k"},
      {"a byte-order mark hides the first key", "\xEF\xBB\xBFPlayerName=a\nApiKey=b\n",
       "CHANGE_ME", defaultUrl, "b"},
      {"a bad interval does not stop the reading",
       "SendIntervalSeconds=abc\nPlayerName=later\n", "later", defaultUrl,
       "PASTE_API_KEY_HERE"},
      {"an empty URL is allowed", "CollectorURL=\n", "CHANGE_ME", "", "PASTE_API_KEY_HERE"},
  };
  for (const LineCase& c : cases) {
    const Settings s = applied(c.text);
    EXPECT_EQ(s.PlayerName, c.player) << c.name;
    EXPECT_EQ(s.CollectorURL, c.url) << c.name;
    EXPECT_EQ(s.ApiKey, c.key) << c.name;
  }
}

struct IntervalCase {
  std::string value;
  std::int32_t expected;
};

TEST(SettingsFile, SendIntervalIsADecimalRaisedToTen) {
  const IntervalCase cases[] = {
      {"30", 30},         {"10", 10},       {"9", 10},
      {"0", 10},          {"-15", 10},      {"+20", 20},
      {"45s", 45},        {"90.5", 90},     {"0x20", 10},
      {"2147483647", 2147483647},           {"abc", 60},
      {"", 60},           {"2147483648", 60}, {"-2147483649", 60},
      {"99999999999999999999999", 60},      {"-2147483648", 10},
  };
  for (const IntervalCase& c : cases)
    EXPECT_EQ(applied("SendIntervalSeconds=" + c.value + "\n").SendIntervalSeconds, c.expected)
        << "value '" << c.value << "'";
}

TEST(SettingsFile, MissingKeysKeepEarlierValues) {
  Settings s = applied("PlayerName=a\nApiKey=b\nSendIntervalSeconds=25\n");
  std::istringstream second("ApiKey=c\n");
  applySettingsText(second, s);
  EXPECT_EQ(s.PlayerName, "a");
  EXPECT_EQ(s.ApiKey, "c");
  EXPECT_EQ(s.SendIntervalSeconds, 25);
}

TEST(ModuleDirectory, IsTheTextBeforeTheLastSeparator) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\Games\\ATS\\bin\\win_x64\\plugins\\VORN_Davida_Client.dll",
       "C:\\Games\\ATS\\bin\\win_x64\\plugins"},
      {"/opt/ats/bin/linux_x64/plugins/VORN_Davida_Client.so", "/opt/ats/bin/linux_x64/plugins"},
      {"C:/mixed\\sep/file.dll", "C:/mixed\\sep"},
      {"file.dll", "."},
      {"", "."},
      {"/file.so", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(directoryOfPath(c.first), c.second) << c.first;
}

TEST(ModuleDirectory, FindsTheDirectoryOfThisBinary) {
  const std::string directory = moduleDirectory();
  EXPECT_NE(directory, ".");
  EXPECT_NE(directory.find("tests"), std::string::npos) << directory;
}

}  // namespace
