// gamehost: plays the game's side of the telemetry ABI for tests and the demo.
// It loads a plug-in library, initialises it with a log function and
// registration functions that record every call, delivers frame starts,
// configurations and channel values from a scenario, and shuts it down.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "common/text_escapes.h"
#include "sdk/scssdk_telemetry.h"

namespace {

const char* const usage = R"(usage: gamehost [--plugin PATH] [--steam PATH] [SCENARIO]

Loads a telemetry plug-in the way the game does and runs a scenario, one
command a line (from SCENARIO, or standard input when it is omitted or "-").
Blank lines and lines starting with # are skipped. Output, one line an event:
  gamelog TYPE TEXT                      the plug-in wrote to the game's log
  register-event EVENT -> RESULT         a registration and what we answered
  register-channel NAME INDEX TYPE FLAGS -> RESULT
  init -> RESULT | shutdown MS ms | loaded PATH | unloaded | error TEXT

Commands before init:
  steam PATH          load a Steam client stand-in (as the game has Steam loaded)
  steam-hold          park the detector in its next Steam call (tools/fakesteam)
                      so the frames that follow see no detector cycle; prints
                      "steam-hold ok" or "error steam-hold timed out"
  steam-release       let it go on (shutdown does this too)
  load PATH           load the plug-in (--plugin does this before the scenario)
  version N           SDK version passed to init (default 0x00010001)
  game ID             game id (default ats); "game @null" passes a null id
  params @null        pass a null parameter pointer
  nolog               pass no game-log function
  fail-event N        registering event N answers -7
  fail-channel NAME   registering channel NAME answers -7
Lifecycle:
  init | shutdown | unload
Telemetry (delivered only to registered callbacks):
  frame US [restart]          frame start, paused_simulation_time US microseconds
  frame @null                 frame start with a null payload
  advance SECONDS [restart]   frame start SECONDS after the last one
  config ID [ATTR; ATTR...]   configuration; ATTR is NAME=TYPE:VALUE with TYPE
                              bool s32 u32 u64 s64 float double string nullstring
                              (string values take \t \n \r \\ \xHH escapes)
  config ID @null-attributes  configuration with a null attribute pointer
  config @null-id | config @null
  channel NAME TYPE VALUE     channel value (TYPE as above); "channel NAME @null"
  odometer KM                 truck.odometer as float
  drive SECONDS KM [STEP] [realtime]
                              frames every STEP seconds (default 0.1) with the
                              odometer advancing evenly; realtime paces it
Control:
  sleep MS                    wall-clock wait
  timeout MS                  limit of wait-log (default 20000)
  wait-log TEXT               wait until the plug-in's log holds TEXT
  echo TEXT                   print TEXT
Exit status: 0, or 2 on a usage or load error, or 3 when a wait-log timed out.
)";

#if defined(_WIN32)
using LibraryHandle = HMODULE;
LibraryHandle openLibrary(const std::string& path) { return LoadLibraryA(path.c_str()); }
void* librarySymbol(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(library, name));
}
void closeLibrary(LibraryHandle library) { FreeLibrary(library); }
#else
using LibraryHandle = void*;
LibraryHandle openLibrary(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
}
void* librarySymbol(LibraryHandle library, const char* name) { return dlsym(library, name); }
void closeLibrary(LibraryHandle library) { dlclose(library); }
#endif

using InitFunction = scs_result_t (*)(scs_u32_t, const scs_telemetry_init_params_t*);
using ShutdownFunction = void (*)();

struct Host {
  LibraryHandle plugin = nullptr;
  std::vector<LibraryHandle> steamLibraries;
  std::string pluginPath;
  InitFunction init = nullptr;
  ShutdownFunction shutdown = nullptr;

  scs_u32_t version = SCS_TELEMETRY_VERSION_1_01;
  std::string gameId = "ats";
  bool nullGameId = false;
  bool nullParams = false;
  bool withLog = true;

  double pausedSeconds = 0.0;
  float odometerKm = 0.0f;
  int waitLimitMs = 20000;
  bool waitFailed = false;
};

Host host;
std::set<scs_event_t> failingEvents;
std::set<std::string> failingChannels;
std::map<scs_event_t, scs_telemetry_event_callback_t> eventCallbacks;
std::map<std::string, scs_telemetry_channel_callback_t> channelCallbacks;

void say(const std::string& line) {
  std::cout << line << '\n';
  std::cout.flush();
}

void SCSAPI_log(scs_log_type_t type, scs_string_t message) {
  say("gamelog " + std::to_string(type) + " " + (message ? message : "(null)"));
}

scs_result_t registerForEvent(scs_event_t event, scs_telemetry_event_callback_t callback,
                              scs_context_t) {
  const scs_result_t result = failingEvents.count(event) ? SCS_RESULT_generic_error : SCS_RESULT_ok;
  if (result == SCS_RESULT_ok) eventCallbacks[event] = callback;
  say("register-event " + std::to_string(event) + " -> " + std::to_string(result));
  return result;
}

scs_result_t unregisterFromEvent(scs_event_t event) {
  eventCallbacks.erase(event);
  say("unregister-event " + std::to_string(event));
  return SCS_RESULT_ok;
}

scs_result_t registerForChannel(scs_string_t name, scs_u32_t index, scs_value_type_t type,
                                scs_u32_t flags, scs_telemetry_channel_callback_t callback,
                                scs_context_t) {
  const std::string channel = name ? name : "(null)";
  const scs_result_t result =
      failingChannels.count(channel) ? SCS_RESULT_generic_error : SCS_RESULT_ok;
  if (result == SCS_RESULT_ok) channelCallbacks[channel] = callback;
  say("register-channel " + channel + " " + std::to_string(index) + " " + std::to_string(type) +
      " " + std::to_string(flags) + " -> " + std::to_string(result));
  return result;
}

scs_result_t unregisterFromChannel(scs_string_t name, scs_u32_t, scs_value_type_t) {
  say(std::string("unregister-channel ") + (name ? name : "(null)"));
  return SCS_RESULT_ok;
}

std::string trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

struct FirstWord {
  std::string word;
  std::string rest;  // trimmed
};

FirstWord splitFirstWord(const std::string& line) {
  FirstWord split;
  std::istringstream words(line);
  words >> split.word;
  std::getline(words, split.rest);
  split.rest = trim(split.rest);
  return split;
}

// Texts handed to the plug-in must stay alive for the duration of the call.
struct ValueStore {
  std::vector<std::string> texts;
};

bool parseValue(const std::string& type, const std::string& text, scs_value_t& value,
                std::string& storage, bool& nullString) {
  std::memset(&value, 0, sizeof value);
  nullString = false;
  if (type == "bool") { value.type = SCS_VALUE_TYPE_bool; value.value_bool.value = static_cast<scs_u8_t>(std::strtoul(text.c_str(), nullptr, 0)); }
  else if (type == "s32") { value.type = SCS_VALUE_TYPE_s32; value.value_s32.value = static_cast<scs_s32_t>(std::strtol(text.c_str(), nullptr, 0)); }
  else if (type == "u32") { value.type = SCS_VALUE_TYPE_u32; value.value_u32.value = static_cast<scs_u32_t>(std::strtoul(text.c_str(), nullptr, 0)); }
  else if (type == "u64") { value.type = SCS_VALUE_TYPE_u64; value.value_u64.value = std::strtoull(text.c_str(), nullptr, 0); }
  else if (type == "s64") { value.type = SCS_VALUE_TYPE_s64; value.value_s64.value = std::strtoll(text.c_str(), nullptr, 0); }
  else if (type == "float") { value.type = SCS_VALUE_TYPE_float; value.value_float.value = std::strtof(text.c_str(), nullptr); }
  else if (type == "double") { value.type = SCS_VALUE_TYPE_double; value.value_double.value = std::strtod(text.c_str(), nullptr); }
  else if (type == "string") { value.type = SCS_VALUE_TYPE_string; storage = text_escapes::unescape(text); }
  else if (type == "nullstring") { value.type = SCS_VALUE_TYPE_string; nullString = true; }
  else return false;
  return true;
}

void deliverFrame(scs_u64_t pausedUs, bool restart, bool nullInfo) {
  auto found = eventCallbacks.find(SCS_TELEMETRY_EVENT_frame_start);
  if (found == eventCallbacks.end()) return;
  scs_telemetry_frame_start_t info{};
  info.flags = restart ? SCS_TELEMETRY_FRAME_START_FLAG_timer_restart : 0;
  info.render_time = pausedUs;
  info.simulation_time = pausedUs;
  info.paused_simulation_time = pausedUs;
  found->second(SCS_TELEMETRY_EVENT_frame_start, nullInfo ? nullptr : &info, nullptr);
}

void deliverChannel(const std::string& name, const scs_value_t* value) {
  auto found = channelCallbacks.find(name);
  if (found == channelCallbacks.end()) return;
  found->second(name.c_str(), SCS_U32_NIL, value, nullptr);
}

void deliverOdometer(float km) {
  scs_value_t value{};
  value.type = SCS_VALUE_TYPE_float;
  value.value_float.value = km;
  deliverChannel("truck.odometer", &value);
}

bool configCommand(const std::string& rest) {
  auto found = eventCallbacks.find(SCS_TELEMETRY_EVENT_configuration);
  const auto [id, attributesText] = splitFirstWord(rest);
  if (found == eventCallbacks.end()) return true;
  if (id == "@null") {
    found->second(SCS_TELEMETRY_EVENT_configuration, nullptr, nullptr);
    return true;
  }
  std::vector<std::string> storage;
  std::vector<std::string> names;
  std::vector<scs_named_value_t> attributes;
  std::vector<bool> nullStrings;
  std::stringstream list(attributesText);
  std::string item;
  while (std::getline(list, item, ';')) {
    item = trim(item);
    if (item.empty() || item == "@null-attributes") continue;
    const std::size_t equals = item.find('=');
    const std::size_t colon = item.find(':', equals == std::string::npos ? 0 : equals);
    if (equals == std::string::npos || colon == std::string::npos) return false;
    scs_named_value_t attribute{};
    std::string text;
    bool nullString = false;
    if (!parseValue(item.substr(equals + 1, colon - equals - 1), item.substr(colon + 1),
                    attribute.value, text, nullString))
      return false;
    attribute.index = SCS_U32_NIL;
    names.push_back(item.substr(0, equals));
    storage.push_back(text);
    nullStrings.push_back(nullString);
    attributes.push_back(attribute);
  }
  for (std::size_t i = 0; i < attributes.size(); ++i) {
    attributes[i].name = names[i] == "@null" ? nullptr : names[i].c_str();
    if (attributes[i].value.type == SCS_VALUE_TYPE_string)
      attributes[i].value.value_string.value = nullStrings[i] ? nullptr : storage[i].c_str();
  }
  attributes.push_back(scs_named_value_t{});
  scs_telemetry_configuration_t info{};
  info.id = id == "@null-id" ? nullptr : id.c_str();
  info.attributes = attributesText == "@null-attributes" ? nullptr : attributes.data();
  found->second(SCS_TELEMETRY_EVENT_configuration, &info, nullptr);
  return true;
}

std::string pluginLogPath() {
  const std::size_t cut = host.pluginPath.find_last_of("\\/");
  const std::string directory = cut == std::string::npos ? "." : host.pluginPath.substr(0, cut);
#if defined(_WIN32)
  return directory + "\\VORN_Davida_Client.log";
#else
  return directory + "/VORN_Davida_Client.log";
#endif
}

bool logContains(const std::string& text) {
  std::ifstream log(pluginLogPath(), std::ios::binary);
  std::stringstream content;
  content << log.rdbuf();
  return content.str().find(text) != std::string::npos;
}

void waitForLog(const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(host.waitLimitMs);
  while (!logContains(text)) {
    if (std::chrono::steady_clock::now() > deadline) {
      say("error wait-log timed out: " + text);
      host.waitFailed = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  say("found " + text);
}

bool loadPlugin(const std::string& path) {
  host.plugin = openLibrary(path);
  if (host.plugin == nullptr) {
    say("error cannot load " + path);
    return false;
  }
  host.pluginPath = path;
  host.init = reinterpret_cast<InitFunction>(librarySymbol(host.plugin, "scs_telemetry_init"));
  host.shutdown =
      reinterpret_cast<ShutdownFunction>(librarySymbol(host.plugin, "scs_telemetry_shutdown"));
  if (host.init == nullptr || host.shutdown == nullptr) {
    say("error the library lacks scs_telemetry_init or scs_telemetry_shutdown");
    return false;
  }
  say("loaded " + path);
  return true;
}

void runInit() {
  if (host.init == nullptr) {
    say("error no plug-in loaded");
    return;
  }
  scs_telemetry_init_params_t params{};
  params.common.game_name = "American Truck Simulator";
  params.common.game_id = host.nullGameId ? nullptr : host.gameId.c_str();
  params.common.game_version = 0x00010012;
  params.common.log = host.withLog ? &SCSAPI_log : nullptr;
  params.register_for_event = &registerForEvent;
  params.unregister_from_event = &unregisterFromEvent;
  params.register_for_channel = &registerForChannel;
  params.unregister_from_channel = &unregisterFromChannel;
  const scs_result_t result = host.init(host.version, host.nullParams ? nullptr : &params);
  say("init -> " + std::to_string(result));
}

using HoldFunction = int (*)(int);
using ReleaseFunction = void (*)();

// The fakesteam hold, for stretches of frames that must not see a detector cycle.
void* steamControl(const char* name) {
  for (LibraryHandle steam : host.steamLibraries)
    if (void* found = librarySymbol(steam, name)) return found;
  return nullptr;
}

void releaseSteam() {
  if (auto release = reinterpret_cast<ReleaseFunction>(steamControl("fakesteam_release")))
    release();
}

void holdSteam() {
  auto hold = reinterpret_cast<HoldFunction>(steamControl("fakesteam_hold"));
  if (hold != nullptr && hold(15000) == 1) {
    say("steam-hold ok");
  } else {
    say("error steam-hold timed out");
    host.waitFailed = true;
  }
}

void runShutdown() {
  if (host.shutdown == nullptr) return;
  releaseSteam();
  const auto start = std::chrono::steady_clock::now();
  host.shutdown();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  // The game forgets the callbacks of a plug-in it shut down.
  eventCallbacks.clear();
  channelCallbacks.clear();
  say("shutdown " + std::to_string(took.count()) + " ms");
}

void drive(double seconds, double km, double step, bool realtime) {
  const int steps = step > 0 ? static_cast<int>(seconds / step + 0.5) : 0;
  const double startKm = host.odometerKm;
  for (int i = 1; i <= steps; ++i) {
    host.pausedSeconds += step;
    deliverFrame(static_cast<scs_u64_t>(host.pausedSeconds * 1e6 + 0.5), false, false);
    host.odometerKm = static_cast<float>(startKm + km * i / steps);
    deliverOdometer(host.odometerKm);
    if (realtime) std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(step * 1e6)));
  }
}

// Runs one command; false on a malformed line.
bool runCommand(const std::string& line) {
  const auto [command, rest] = splitFirstWord(line);
  std::istringstream args(rest);

  if (command == "steam") {
    LibraryHandle steam = openLibrary(rest);
    if (steam == nullptr) {
      say("error cannot load Steam stand-in " + rest);
      return false;
    }
    host.steamLibraries.push_back(steam);
  } else if (command == "steam-hold") {
    holdSteam();
  } else if (command == "steam-release") {
    releaseSteam();
  } else if (command == "load") {
    return loadPlugin(rest);
  } else if (command == "version") {
    host.version = static_cast<scs_u32_t>(std::strtoul(rest.c_str(), nullptr, 0));
  } else if (command == "game") {
    host.nullGameId = rest == "@null";
    host.gameId = rest;
  } else if (command == "params") {
    host.nullParams = rest == "@null";
  } else if (command == "nolog") {
    host.withLog = false;
  } else if (command == "fail-event") {
    failingEvents.insert(static_cast<scs_event_t>(std::strtoul(rest.c_str(), nullptr, 0)));
  } else if (command == "fail-channel") {
    failingChannels.insert(rest);
  } else if (command == "init") {
    runInit();
  } else if (command == "shutdown") {
    runShutdown();
  } else if (command == "unload") {
    if (host.plugin != nullptr) closeLibrary(host.plugin);
    host.plugin = nullptr;
    host.init = nullptr;
    host.shutdown = nullptr;
    say("unloaded");
  } else if (command == "frame") {
    std::string when, flag;
    args >> when >> flag;
    if (when == "@null") {
      deliverFrame(0, false, true);
    } else {
      const scs_u64_t us = std::strtoull(when.c_str(), nullptr, 0);
      host.pausedSeconds = static_cast<double>(us) / 1e6;
      deliverFrame(us, flag == "restart", false);
    }
  } else if (command == "advance") {
    double seconds = 0;
    std::string flag;
    args >> seconds >> flag;
    host.pausedSeconds += seconds;
    deliverFrame(static_cast<scs_u64_t>(host.pausedSeconds * 1e6 + 0.5), flag == "restart", false);
  } else if (command == "config") {
    return configCommand(rest);
  } else if (command == "channel") {
    std::string name, type, valueText;
    args >> name >> type;
    std::getline(args, valueText);
    if (type == "@null") {
      deliverChannel(name, nullptr);
    } else {
      scs_value_t value{};
      std::string text;
      bool nullString = false;
      if (!parseValue(type, trim(valueText), value, text, nullString)) return false;
      if (value.type == SCS_VALUE_TYPE_string) value.value_string.value = nullString ? nullptr : text.c_str();
      deliverChannel(name, &value);
    }
  } else if (command == "odometer") {
    host.odometerKm = std::strtof(rest.c_str(), nullptr);
    deliverOdometer(host.odometerKm);
  } else if (command == "drive") {
    double seconds = 0, km = 0, step = 0.1;
    std::string flag;
    args >> seconds >> km;
    if (!(args >> step)) step = 0.1;
    args.clear();
    args >> flag;
    drive(seconds, km, step, flag == "realtime" || rest.find("realtime") != std::string::npos);
  } else if (command == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::strtol(rest.c_str(), nullptr, 10)));
  } else if (command == "timeout") {
    host.waitLimitMs = static_cast<int>(std::strtol(rest.c_str(), nullptr, 10));
  } else if (command == "wait-log") {
    waitForLog(rest);
  } else if (command == "echo") {
    say(rest);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string scenarioPath = "-";
  std::string pluginPath;
  std::vector<std::string> steamPaths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << usage;
      return 0;
    } else if (arg == "--plugin" && i + 1 < argc) {
      pluginPath = argv[++i];
    } else if (arg == "--steam" && i + 1 < argc) {
      steamPaths.push_back(argv[++i]);
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      std::cerr << usage;
      return 2;
    } else {
      scenarioPath = arg;
    }
  }
  for (const std::string& path : steamPaths)
    if (!runCommand("steam " + path)) return 2;
  if (!pluginPath.empty() && !loadPlugin(pluginPath)) return 2;

  std::ifstream scenarioFile;
  if (scenarioPath != "-") {
    scenarioFile.open(scenarioPath);
    if (!scenarioFile) {
      std::cerr << "gamehost: cannot read " << scenarioPath << '\n';
      return 2;
    }
  }
  std::istream& scenario = scenarioPath == "-" ? std::cin : scenarioFile;
  std::string line;
  int lineNumber = 0;
  while (std::getline(scenario, line)) {
    ++lineNumber;
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    if (!runCommand(line)) {
      say("error line " + std::to_string(lineNumber) + ": " + line);
      return 2;
    }
  }
  // A parked detector would keep a plug-in that was never shut down from ending.
  releaseSteam();
  return host.waitFailed ? 3 : 0;
}
