#include "plugin/plugin.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

#include "config/settings.h"

namespace {

std::vector<std::string> gameLog;
std::string registered;  // "WHAT|" a registration
int startsBeforeFailure = 0;
scs_event_t failingEvent = 0;
std::string failingChannel;

void recordLog(scs_log_type_t type, scs_string_t text) {
  gameLog.push_back(std::to_string(type) + " " + text);
}
scs_result_t acceptEvent(scs_event_t event, scs_telemetry_event_callback_t, scs_context_t) {
  registered += "event " + std::to_string(event) + "|";
  return event == failingEvent ? SCS_RESULT_generic_error : SCS_RESULT_ok;
}
scs_result_t acceptChannel(scs_string_t name, scs_u32_t index, scs_value_type_t type,
                           scs_u32_t flags, scs_telemetry_channel_callback_t, scs_context_t) {
  registered += std::string(name) + " " + std::to_string(index) + " " + std::to_string(type) + " " +
                std::to_string(flags) + "|";
  return name == failingChannel ? SCS_RESULT_generic_error : SCS_RESULT_ok;
}

std::thread failingStarter(void (*body)()) {
  if (startsBeforeFailure-- <= 0)
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  return std::thread(body);
}

// In-process init: there is no ini beside the test binary, so loadSettings
// leaves the credentials set here in place.
class PluginInit : public ::testing::Test {
 protected:
  void SetUp() override {
    gameLog.clear(), registered.clear(), failingChannel.clear();
    failingEvent = 0;
    settings = defaultSettings();
    settings.PlayerName = "Night Owl";
    settings.ApiKey = "unit-test-key";
    params.common.game_id = "ats";
    params.common.log = &recordLog;
    params.register_for_event = &acceptEvent;
    params.register_for_channel = &acceptChannel;
  }
  void TearDown() override {
    scs_telemetry_shutdown();
    startWorker = &startWorkerThread;
  }
  scs_telemetry_init_params_t params{};
};

TEST_F(PluginInit, OutcomesAndWhatEachLeavesInTheGameLog) {
  const std::string started = std::string("0 ") + gameLogStartLine;
  const std::string edit = std::string("2 ") + settingsWarning;
  const std::string refused = std::string("2 ") + registrationWarning;
  const std::string all =
      "event 1|event 5|truck.speed 4294967295 5 0|truck.odometer 4294967295 5 0|";
  const scs_u32_t v1 = SCS_TELEMETRY_VERSION_1_01;
  const struct {
    const char* name;
    scs_u32_t version;
    const char *game, *player, *key;
    scs_event_t failEvent;
    const char* failChannel;
    scs_result_t result;
    std::string log, registrations;
  } cases[] = {
      {"version 1.00", SCS_TELEMETRY_VERSION_1_00, "ats", "P", "K", 0, "", 0, started, all},
      {"version 1.02", 0x00010002, "ats", "P", "K", 0, "", -1, "", ""},
      {"version 0", 0, "ats", "P", "K", 0, "", -1, "", ""},
      {"game eut2", v1, "eut2", "P", "K", 0, "", -1, "", ""},
      {"game ATS", v1, "ATS", "P", "K", 0, "", -1, "", ""},
      {"null game", v1, nullptr, "P", "K", 0, "", -1, "", ""},
      {"player placeholder", v1, "ats", "CHANGE_ME", "K", 0, "", -7, edit, ""},
      {"key placeholder", v1, "ats", "P", "PASTE_API_KEY_HERE", 0, "", -7, edit, ""},
      {"empty player", v1, "ats", "", "K", 0, "", -7, edit, ""},
      {"empty key", v1, "ats", "P", "", 0, "", -7, edit, ""},
      {"placeholders in lower case", v1, "ats", "change_me", "paste_api_key_here", 0, "", 0,
       started, all},
      {"frame start refused", v1, "ats", "P", "K", 1, "", -7, refused, "event 1|"},
      {"configuration refused", v1, "ats", "P", "K", 5, "", -7, refused, "event 1|event 5|"},
      {"odometer refused", v1, "ats", "P", "K", 0, "truck.odometer", 0, started, all},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    params.common.game_id = c.game;
    settings.PlayerName = c.player;
    settings.ApiKey = c.key;
    failingEvent = c.failEvent;
    failingChannel = c.failChannel;
    EXPECT_EQ(scs_telemetry_init(c.version, &params), c.result);
    EXPECT_EQ(running.load(), c.result == SCS_RESULT_ok);
    EXPECT_EQ(registered, c.registrations);
    EXPECT_EQ(gameLog.empty() ? "" : gameLog[0], c.log);
    EXPECT_LE(gameLog.size(), 1u);
    TearDown();
  }
  // Without parameters, without a game-log function or a registration function.
  EXPECT_EQ(scs_telemetry_init(v1, nullptr), SCS_RESULT_unsupported);
  params.common.log = nullptr;
  params.register_for_channel = nullptr;
  EXPECT_EQ(scs_telemetry_init(v1, &params), SCS_RESULT_ok);
  TearDown();
  params.register_for_event = nullptr;
  EXPECT_EQ(scs_telemetry_init(v1, &params), SCS_RESULT_generic_error);
}

TEST_F(PluginInit, AThreadThatCannotStartLeavesThePluginIdle) {
  for (int failAt : {0, 1}) {
    gameLog.clear();
    startsBeforeFailure = failAt;
    startWorker = &failingStarter;
    EXPECT_EQ(scs_telemetry_init(SCS_TELEMETRY_VERSION_1_01, &params), SCS_RESULT_generic_error)
        << "failing start " << failAt;
    EXPECT_FALSE(running.load() || detectorThread.joinable() || senderThread.joinable());
    EXPECT_EQ(gameLog, std::vector<std::string>{std::string("2 ") + threadStartWarning});
  }
  // Idle means a later init can start normally.
  startWorker = &startWorkerThread;
  gameLog.clear();
  EXPECT_EQ(scs_telemetry_init(SCS_TELEMETRY_VERSION_1_01, &params), SCS_RESULT_ok);
  EXPECT_TRUE(running.load());
}

TEST_F(PluginInit, ASecondInitWhileRunningStartsNoSecondPair) {
  ASSERT_EQ(scs_telemetry_init(SCS_TELEMETRY_VERSION_1_00, &params), SCS_RESULT_ok);
  const auto before = std::make_pair(detectorThread.get_id(), senderThread.get_id());
  settings.PlayerName = "changed";
  EXPECT_EQ(scs_telemetry_init(SCS_TELEMETRY_VERSION_1_00, &params), SCS_RESULT_generic_error);
  EXPECT_EQ(std::make_pair(detectorThread.get_id(), senderThread.get_id()), before);
  EXPECT_EQ(settings.PlayerName, "changed") << "settings were not reloaded";
  EXPECT_EQ(gameLog.size(), 1u) << "only the first start message";
}

}  // namespace
