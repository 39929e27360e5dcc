// The game's telemetry ABI as this plug-in uses it: the scalar types, constants,
// payload structures and function types of the SCS telemetry SDK (versions 1.00
// and 1.01, 64-bit). The layouts are pinned by static_asserts below so that a
// mistake fails the build instead of corrupting memory inside the game.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef std::uint8_t scs_u8_t;
typedef std::uint16_t scs_u16_t;
typedef std::int32_t scs_s32_t;
typedef std::uint32_t scs_u32_t;
typedef std::uint64_t scs_u64_t;
typedef std::int64_t scs_s64_t;
typedef float scs_float_t;
typedef double scs_double_t;
typedef const char* scs_string_t;
typedef void* scs_context_t;
typedef std::uint64_t scs_timestamp_t;
typedef std::int32_t scs_result_t;
typedef std::uint32_t scs_event_t;
typedef std::int32_t scs_log_type_t;
typedef std::uint32_t scs_value_type_t;

const scs_u32_t SCS_U32_NIL = 0xFFFFFFFFu;

const scs_result_t SCS_RESULT_ok = 0;
const scs_result_t SCS_RESULT_unsupported = -1;
const scs_result_t SCS_RESULT_invalid_parameter = -2;
const scs_result_t SCS_RESULT_already_registered = -3;
const scs_result_t SCS_RESULT_not_found = -4;
const scs_result_t SCS_RESULT_unsupported_type = -5;
const scs_result_t SCS_RESULT_not_now = -6;
const scs_result_t SCS_RESULT_generic_error = -7;

const scs_log_type_t SCS_LOG_TYPE_message = 0;
const scs_log_type_t SCS_LOG_TYPE_warning = 1;
const scs_log_type_t SCS_LOG_TYPE_error = 2;

const scs_u32_t SCS_TELEMETRY_VERSION_1_00 = 0x00010000u;
const scs_u32_t SCS_TELEMETRY_VERSION_1_01 = 0x00010001u;

const scs_event_t SCS_TELEMETRY_EVENT_invalid = 0;
const scs_event_t SCS_TELEMETRY_EVENT_frame_start = 1;
const scs_event_t SCS_TELEMETRY_EVENT_frame_end = 2;
const scs_event_t SCS_TELEMETRY_EVENT_paused = 3;
const scs_event_t SCS_TELEMETRY_EVENT_started = 4;
const scs_event_t SCS_TELEMETRY_EVENT_configuration = 5;

const scs_u32_t SCS_TELEMETRY_FRAME_START_FLAG_timer_restart = 0x00000001u;

const scs_value_type_t SCS_VALUE_TYPE_INVALID = 0;
const scs_value_type_t SCS_VALUE_TYPE_bool = 1;
const scs_value_type_t SCS_VALUE_TYPE_s32 = 2;
const scs_value_type_t SCS_VALUE_TYPE_u32 = 3;
const scs_value_type_t SCS_VALUE_TYPE_u64 = 4;
const scs_value_type_t SCS_VALUE_TYPE_float = 5;
const scs_value_type_t SCS_VALUE_TYPE_double = 6;
const scs_value_type_t SCS_VALUE_TYPE_fvector = 7;
const scs_value_type_t SCS_VALUE_TYPE_dvector = 8;
const scs_value_type_t SCS_VALUE_TYPE_euler = 9;
const scs_value_type_t SCS_VALUE_TYPE_fplacement = 10;
const scs_value_type_t SCS_VALUE_TYPE_dplacement = 11;
const scs_value_type_t SCS_VALUE_TYPE_string = 12;
const scs_value_type_t SCS_VALUE_TYPE_s64 = 13;

const scs_u32_t SCS_TELEMETRY_CHANNEL_FLAG_none = 0x00000000u;
const scs_u32_t SCS_TELEMETRY_CHANNEL_FLAG_each_frame = 0x00000001u;
const scs_u32_t SCS_TELEMETRY_CHANNEL_FLAG_no_value = 0x00000002u;

struct scs_value_bool_t { scs_u8_t value; };
struct scs_value_s32_t { scs_s32_t value; };
struct scs_value_u32_t { scs_u32_t value; };
struct scs_value_u64_t { scs_u64_t value; };
struct scs_value_s64_t { scs_s64_t value; };
struct scs_value_float_t { scs_float_t value; };
struct scs_value_double_t { scs_double_t value; };
struct scs_value_fvector_t { scs_float_t x, y, z; };
struct scs_value_dvector_t { scs_double_t x, y, z; };
struct scs_value_euler_t { scs_float_t heading, pitch, roll; };
struct scs_value_fplacement_t {
  scs_value_fvector_t position;
  scs_value_euler_t orientation;
};
struct scs_value_dplacement_t {
  scs_value_dvector_t position;
  scs_value_euler_t orientation;
  scs_u32_t _padding;
};
struct scs_value_string_t { scs_string_t value; };

struct scs_value_t {
  scs_value_type_t type;
  scs_u32_t _padding;
  union {
    scs_value_bool_t value_bool;
    scs_value_s32_t value_s32;
    scs_value_u32_t value_u32;
    scs_value_u64_t value_u64;
    scs_value_s64_t value_s64;
    scs_value_float_t value_float;
    scs_value_double_t value_double;
    scs_value_fvector_t value_fvector;
    scs_value_dvector_t value_dvector;
    scs_value_euler_t value_euler;
    scs_value_fplacement_t value_fplacement;
    scs_value_dplacement_t value_dplacement;
    scs_value_string_t value_string;
  };
};

struct scs_named_value_t {
  scs_string_t name;
  scs_u32_t index;
  scs_u32_t _padding;
  scs_value_t value;
};

struct scs_telemetry_frame_start_t {
  scs_u32_t flags;
  scs_u32_t _padding;
  scs_timestamp_t render_time;
  scs_timestamp_t simulation_time;
  scs_timestamp_t paused_simulation_time;
};

struct scs_telemetry_configuration_t {
  scs_string_t id;
  const scs_named_value_t* attributes;
};

typedef void (*scs_log_t)(scs_log_type_t type, scs_string_t message);
typedef void (*scs_telemetry_event_callback_t)(scs_event_t event, const void* event_info,
                                               scs_context_t context);
typedef void (*scs_telemetry_channel_callback_t)(scs_string_t name, scs_u32_t index,
                                                 const scs_value_t* value, scs_context_t context);
typedef scs_result_t (*scs_telemetry_register_for_event_t)(scs_event_t event,
                                                           scs_telemetry_event_callback_t callback,
                                                           scs_context_t context);
typedef scs_result_t (*scs_telemetry_unregister_from_event_t)(scs_event_t event);
typedef scs_result_t (*scs_telemetry_register_for_channel_t)(
    scs_string_t name, scs_u32_t index, scs_value_type_t type, scs_u32_t flags,
    scs_telemetry_channel_callback_t callback, scs_context_t context);
typedef scs_result_t (*scs_telemetry_unregister_from_channel_t)(scs_string_t name, scs_u32_t index,
                                                                scs_value_type_t type);

struct scs_sdk_init_params_v100_t {
  scs_string_t game_name;
  scs_string_t game_id;
  scs_u32_t game_version;
  scs_u32_t _padding;
  scs_log_t log;
};

struct scs_telemetry_init_params_v100_t {
  scs_sdk_init_params_v100_t common;
  scs_telemetry_register_for_event_t register_for_event;
  scs_telemetry_unregister_from_event_t unregister_from_event;
  scs_telemetry_register_for_channel_t register_for_channel;
  scs_telemetry_unregister_from_channel_t unregister_from_channel;
};

// Both accepted versions hand over the 1.00 layout.
typedef scs_telemetry_init_params_v100_t scs_telemetry_init_params_v101_t;
typedef scs_telemetry_init_params_v100_t scs_telemetry_init_params_t;

}  // extern "C"

static_assert(sizeof(void*) == 8, "the plug-in is built for 64-bit games only");

static_assert(sizeof(scs_value_t) == 48, "scs_value_t");
static_assert(offsetof(scs_value_t, type) == 0, "scs_value_t::type");
static_assert(offsetof(scs_value_t, value_bool) == 8, "scs_value_t union");
static_assert(offsetof(scs_value_t, value_float) == 8, "scs_value_t::value_float");
static_assert(offsetof(scs_value_t, value_string) == 8, "scs_value_t::value_string");
static_assert(offsetof(scs_value_t, value_dplacement) == 8, "scs_value_t::value_dplacement");
static_assert(sizeof(scs_value_fplacement_t) == 24, "scs_value_fplacement_t");
static_assert(sizeof(scs_value_dplacement_t) == 40, "scs_value_dplacement_t");

static_assert(sizeof(scs_named_value_t) == 64, "scs_named_value_t");
static_assert(offsetof(scs_named_value_t, name) == 0, "scs_named_value_t::name");
static_assert(offsetof(scs_named_value_t, index) == 8, "scs_named_value_t::index");
static_assert(offsetof(scs_named_value_t, value) == 16, "scs_named_value_t::value");

static_assert(sizeof(scs_telemetry_frame_start_t) == 32, "scs_telemetry_frame_start_t");
static_assert(offsetof(scs_telemetry_frame_start_t, flags) == 0, "frame_start::flags");
static_assert(offsetof(scs_telemetry_frame_start_t, render_time) == 8, "frame_start::render_time");
static_assert(offsetof(scs_telemetry_frame_start_t, simulation_time) == 16,
              "frame_start::simulation_time");
static_assert(offsetof(scs_telemetry_frame_start_t, paused_simulation_time) == 24,
              "frame_start::paused_simulation_time");

static_assert(sizeof(scs_telemetry_configuration_t) == 16, "scs_telemetry_configuration_t");
static_assert(offsetof(scs_telemetry_configuration_t, id) == 0, "configuration::id");
static_assert(offsetof(scs_telemetry_configuration_t, attributes) == 8, "configuration::attributes");

static_assert(sizeof(scs_sdk_init_params_v100_t) == 32, "scs_sdk_init_params_v100_t");
static_assert(offsetof(scs_sdk_init_params_v100_t, game_name) == 0, "common::game_name");
static_assert(offsetof(scs_sdk_init_params_v100_t, game_id) == 8, "common::game_id");
static_assert(offsetof(scs_sdk_init_params_v100_t, game_version) == 16, "common::game_version");
static_assert(offsetof(scs_sdk_init_params_v100_t, log) == 24, "common::log");

static_assert(sizeof(scs_telemetry_init_params_v100_t) == 64, "scs_telemetry_init_params_v100_t");
static_assert(offsetof(scs_telemetry_init_params_v100_t, register_for_event) == 32,
              "init_params::register_for_event");
static_assert(offsetof(scs_telemetry_init_params_v100_t, unregister_from_event) == 40,
              "init_params::unregister_from_event");
static_assert(offsetof(scs_telemetry_init_params_v100_t, register_for_channel) == 48,
              "init_params::register_for_channel");
static_assert(offsetof(scs_telemetry_init_params_v100_t, unregister_from_channel) == 56,
              "init_params::unregister_from_channel");
