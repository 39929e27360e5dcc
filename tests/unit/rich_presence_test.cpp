#include "detect/rich_presence.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "fake_steam.h"
#include "vorn_deployment.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;
using Keys = std::vector<std::optional<std::string>>;
using Values = std::map<std::string, std::optional<std::string>>;

const std::uint64_t selfId = 76561198000000001ull;
const std::string server3 = deployment::knownServerIds[2];
const std::string server4 = deployment::knownServerIds[3];

const std::vector<std::string> allFixedKeys = {
    "connect", "status", "steam_display", "steam_player_group", "steam_player_group_size",
    "launch"};

std::vector<std::string> then(std::vector<std::string> first, const std::vector<std::string>& more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}

struct ReaderCase {
  const char* name;
  std::optional<std::int32_t> keyCount;
  Keys enumerated;
  Values values;
  Entries expectedMap;
  std::string expectedResult;
  std::vector<std::string> expectedValueReads;
};
void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

class ReadRichPresence : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReadRichPresence, FillsTheMapAndStopsAtAKnownServer) {
  const ReaderCase& c = GetParam();
  fakesteam::reset();
  fakesteam::state.selfId = selfId;
  fakesteam::state.keyCount = c.keyCount;
  fakesteam::state.enumeratedKeys = c.enumerated;
  fakesteam::state.values = c.values;

  RichPresenceMap presence{{"left over", "from the last cycle"}};
  const std::string result = readRichPresence(fakesteam::binding(), selfId, presence);

  EXPECT_EQ(result, c.expectedResult);
  EXPECT_EQ(Entries(presence.begin(), presence.end()), c.expectedMap);
  EXPECT_EQ(fakesteam::state.valueReads, c.expectedValueReads);
  EXPECT_EQ(fakesteam::state.requestCalls, 1);
  EXPECT_EQ(fakesteam::state.foreignCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadRichPresence,
    ::testing::Values(
        ReaderCase{"EnumeratedEmptyValueIsKeptFixedEmptyValueIsNot",
                   std::nullopt,
                   {"status"},
                   {{"status", ""}, {"launch", ""}, {"steam_display", "#Driving"}},
                   {{"status", ""}, {"steam_display", "#Driving"}},
                   "",
                   then({"status"}, allFixedKeys)},
        ReaderCase{"CountZeroStillReadsConnectDirectly",
                   0,
                   {"status"},
                   {{"connect", "+connect 203.0.113.5:1"}, {"status", "x"}},
                   {{"connect", "+connect 203.0.113.5:1"}, {"status", "x"}},
                   "",
                   allFixedKeys},
        ReaderCase{"NegativeCountSkipsTheEnumeration",
                   -3,
                   {"private"},
                   {{"private", "x"}},
                   {},
                   "",
                   allFixedKeys},
        ReaderCase{"NullAndEmptyKeysAreSkippedNullValueIsEmptyText",
                   std::nullopt,
                   {std::nullopt, std::string(), "a", "b"},
                   {{"a", "1"}, {"b", std::nullopt}},
                   {{"a", "1"}, {"b", ""}},
                   "",
                   then({"a", "b"}, allFixedKeys)},
        ReaderCase{"KnownIdInAnEnumeratedValueEndsTheRead",
                   std::nullopt,
                   {"a", "b", "connect"},
                   {{"a", "x"}, {"b", "join " + server3 + " now"}, {"connect", "+connect 1"}},
                   {{"a", "x"}, {"b", "join " + server3 + " now"}},
                   server3,
                   {"a", "b"}},
        ReaderCase{"KnownIdInAFixedKeyEndsTheFixedList",
                   0,
                   {},
                   {{"status", "on " + server4}, {"steam_display", "x"}},
                   {{"status", "on " + server4}},
                   server4,
                   {"connect", "status"}},
        ReaderCase{"KeysAreCaseSensitive",
                   std::nullopt,
                   {"Connect"},
                   {{"Connect", "x"}, {"connect", "y"}},
                   {{"Connect", "x"}, {"connect", "y"}},
                   "",
                   then({"Connect"}, allFixedKeys)}),
    [](const ::testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

}  // namespace
