#include "detect/rich_presence.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fake_steam.h"
#include "vorn_deployment.h"

namespace {

const std::uint64_t selfId = 76561198000000001ull;
const std::string server3 = deployment::knownServerIds[2];
const std::string server4 = deployment::knownServerIds[3];
const std::string fixed =
    "connect;status;steam_display;steam_player_group;steam_player_group_size;launch";

// "A;B;C" as its items; "~" stands for a null text.
std::vector<std::optional<std::string>> items(const std::string& list) {
  std::vector<std::optional<std::string>> out;
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ';');)
    out.push_back(item == "~" ? std::nullopt : std::optional<std::string>(item));
  return out;
}

// "A=1;B=~" as a map; "~" stands for a null value.
std::map<std::string, std::optional<std::string>> pairs(const std::string& list) {
  std::map<std::string, std::optional<std::string>> out;
  for (const auto& item : items(list))
    out[item->substr(0, item->find('='))] = items(item->substr(item->find('=') + 1) + ";")[0];
  return out;
}

TEST(ReadRichPresence, FillsTheMapAndStopsAtAKnownServer) {
  const struct {
    const char* name;
    std::optional<std::int32_t> keyCount;
    std::string enumerated, values, expectedMap, expectedResult, expectedReads;
  } cases[] = {
      {"an enumerated empty value is kept, a fixed empty value is not", std::nullopt, "status",
       "status=;launch=;steam_display=#Driving", "status=;steam_display=#Driving", "",
       "status;" + fixed},
      {"count zero still reads connect directly", 0, "status",
       "connect=+connect 203.0.113.5:1;status=x", "connect=+connect 203.0.113.5:1;status=x", "",
       fixed},
      {"a negative count skips the enumeration", -3, "private", "private=x", "", "", fixed},
      {"null and empty keys are skipped, a null value is empty text", std::nullopt, "~;;a;b",
       "a=1;b=~", "a=1;b=", "", "a;b;" + fixed},
      {"a known id in an enumerated value ends the read", std::nullopt, "a;b;connect",
       "a=x;b=join " + server3 + " now;connect=+connect 1", "a=x;b=join " + server3 + " now",
       server3, "a;b"},
      {"a known id in a fixed key ends the fixed list", 0, "",
       "status=on " + server4 + ";steam_display=x", "status=on " + server4, server4,
       "connect;status"},
      {"keys are case-sensitive", std::nullopt, "Connect", "Connect=x;connect=y",
       "Connect=x;connect=y", "", "Connect;" + fixed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fakesteam::reset();
    fakesteam::state.selfId = selfId;
    fakesteam::state.keyCount = c.keyCount;
    fakesteam::state.enumeratedKeys = items(c.enumerated);
    fakesteam::state.values = pairs(c.values);

    RichPresenceMap presence{{"left over", "from the last cycle"}};
    EXPECT_EQ(readRichPresence(fakesteam::binding(), selfId, presence), c.expectedResult);

    EXPECT_EQ(decltype(pairs(""))(presence.begin(), presence.end()), pairs(c.expectedMap));
    const auto& reads = fakesteam::state.valueReads;
    EXPECT_EQ(decltype(items(""))(reads.begin(), reads.end()), items(c.expectedReads));
    EXPECT_EQ(fakesteam::state.requestCalls, 1);
    EXPECT_EQ(fakesteam::state.foreignCalls, 0);
  }
}

}  // namespace
