#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

#include "config/settings.h"
#include "plugin/plugin.h"

namespace {

std::vector<std::string> gameLog;
int startsBeforeFailure = 0;

void recordLog(scs_log_type_t type, scs_string_t text) {
  gameLog.push_back(std::to_string(type) + " " + text);
}
scs_result_t acceptEvent(scs_event_t, scs_telemetry_event_callback_t, scs_context_t) {
  return SCS_RESULT_ok;
}
scs_result_t acceptChannel(scs_string_t, scs_u32_t, scs_value_type_t, scs_u32_t,
                           scs_telemetry_channel_callback_t, scs_context_t) {
  return SCS_RESULT_ok;
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
    gameLog.clear();
    settings = defaultSettings();
    settings.PlayerName = "Night Owl";
    settings.ApiKey = "unit-test-key";
    settings.CollectorURL = "http://127.0.0.1:1/";
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

TEST_F(PluginInit, AThreadThatCannotStartLeavesThePluginIdle) {
  for (int failAt : {0, 1}) {
    gameLog.clear();
    startsBeforeFailure = failAt;
    startWorker = &failingStarter;
    EXPECT_EQ(scs_telemetry_init(SCS_TELEMETRY_VERSION_1_01, &params), SCS_RESULT_generic_error)
        << "failing start " << failAt;
    EXPECT_FALSE(running.load());
    EXPECT_FALSE(detectorThread.joinable());
    EXPECT_FALSE(senderThread.joinable());
    ASSERT_EQ(gameLog.size(), 1u);
    EXPECT_EQ(gameLog[0], std::string("2 ") + threadStartWarning);
  }
  // Idle means a later init can start normally.
  startWorker = &startWorkerThread;
  gameLog.clear();
  EXPECT_EQ(scs_telemetry_init(SCS_TELEMETRY_VERSION_1_01, &params), SCS_RESULT_ok);
  EXPECT_TRUE(running.load());
}

TEST_F(PluginInit, ASecondInitWhileRunningStartsNoSecondPair) {
  ASSERT_EQ(scs_telemetry_init(SCS_TELEMETRY_VERSION_1_00, &params), SCS_RESULT_ok);
  const std::thread::id detector = detectorThread.get_id();
  const std::thread::id sender = senderThread.get_id();
  settings.PlayerName = "changed";
  EXPECT_EQ(scs_telemetry_init(SCS_TELEMETRY_VERSION_1_00, &params), SCS_RESULT_generic_error);
  EXPECT_EQ(detectorThread.get_id(), detector);
  EXPECT_EQ(senderThread.get_id(), sender);
  EXPECT_EQ(settings.PlayerName, "changed") << "settings were not reloaded";
  EXPECT_EQ(gameLog.size(), 1u) << "only the first start message";
  scs_telemetry_shutdown();
  EXPECT_FALSE(running.load());
  EXPECT_FALSE(detectorThread.joinable());
  EXPECT_FALSE(senderThread.joinable());
}

TEST_F(PluginInit, MissingRegistrationFunctionsAreRefusedNotCalled) {
  params.register_for_event = nullptr;
  EXPECT_EQ(scs_telemetry_init(SCS_TELEMETRY_VERSION_1_01, &params), SCS_RESULT_generic_error);
  params.register_for_event = &acceptEvent;
  params.register_for_channel = nullptr;
  EXPECT_EQ(scs_telemetry_init(SCS_TELEMETRY_VERSION_1_01, &params), SCS_RESULT_ok);
}

}  // namespace
