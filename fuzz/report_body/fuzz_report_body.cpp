// The report body over arbitrary names, identifiers and amounts. The body must
// be exactly one JSON object with the six members in their fixed order, every
// string member must decode back to the text it was built from, the miles
// must be in fixed six-decimal form and both numbers must read back as the
// amounts. Texts are ASCII here, so that a strict JSON reader can judge the
// escapes; that bytes from 0x80 up pass through untouched is the unit table's.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "common/fuzz_check.h"
#include "upload/report.h"

namespace {

std::string asciiText(FuzzedDataProvider& input, std::size_t maxLength) {
  std::string text = input.ConsumeRandomLengthString(maxLength);
  for (char& c : text) c = static_cast<char>(c & 0x7F);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string playerName = asciiText(input, 64);
  ReportSnapshot snapshot;
  snapshot.serverId = fuzzcheck::serverishText(input, 16);
  for (char& c : snapshot.serverId) c = static_cast<char>(c & 0x7F);
  snapshot.truckName = asciiText(input, 64);
  snapshot.trailerName = asciiText(input, 64);
  snapshot.secondsDelta = input.ConsumeIntegral<std::int32_t>();
  // Any finite double: the counted miles are always finite (every added step
  // is at most 25 km), so infinities and NaN never reach a report.
  const std::uint64_t bits = input.ConsumeIntegral<std::uint64_t>();
  std::memcpy(&snapshot.milesDelta, &bits, sizeof bits);
  if (!std::isfinite(snapshot.milesDelta)) snapshot.milesDelta = input.ConsumeProbability<double>();

  const std::string body = buildReportBody(playerName, snapshot);
  const auto json = nlohmann::ordered_json::parse(body, nullptr, false);
  FUZZ_REQUIRE(json.is_object() && json.size() == 6,
               "not one JSON object of six members: " + fuzzcheck::quoted(body));
  const char* const names[] = {"player_name",   "server_id", "miles_delta",
                               "seconds_delta", "truck",     "trailer"};
  std::size_t at = 0;
  for (auto member = json.begin(); member != json.end(); ++member, ++at)
    FUZZ_REQUIRE(member.key() == names[at], "member " + member.key() + " out of order");
  const std::string* const texts[] = {&playerName, &snapshot.serverId, &snapshot.truckName,
                                      &snapshot.trailerName};
  const char* const textNames[] = {"player_name", "server_id", "truck", "trailer"};
  for (std::size_t i = 0; i < 4; ++i)
    FUZZ_REQUIRE(json[textNames[i]].is_string() && json[textNames[i]] == *texts[i],
                 std::string(textNames[i]) + " does not decode to " + fuzzcheck::quoted(*texts[i]));

  static const std::regex milesForm("\"miles_delta\":(-?[0-9]+\\.[0-9]{6}),");
  std::smatch miles;
  FUZZ_REQUIRE(std::regex_search(body, miles, milesForm),
               "miles not in fixed six-decimal form: " + fuzzcheck::quoted(body));
  const double tolerance = 5e-7 + std::fabs(snapshot.milesDelta) * 1e-15;
  FUZZ_REQUIRE(std::fabs(std::stod(miles[1]) - snapshot.milesDelta) <= tolerance,
               miles[1].str() + " is not " + std::to_string(snapshot.milesDelta));
  FUZZ_REQUIRE(
      json["seconds_delta"].is_number_integer() && json["seconds_delta"] == snapshot.secondsDelta,
      "seconds are not " + std::to_string(snapshot.secondsDelta));
  return 0;
}
