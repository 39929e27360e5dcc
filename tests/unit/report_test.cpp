#include "upload/report.h"

#include <gtest/gtest.h>

#include <locale>
#include <string>

namespace {

const char* const knownId = "90112233445566772/101";

ReportSnapshot snapshotWith(double miles, std::int32_t seconds) {
  ReportSnapshot snapshot;
  snapshot.serverId = knownId;
  snapshot.milesDelta = miles;
  snapshot.secondsDelta = seconds;
  snapshot.truckName = "Unknown";
  snapshot.trailerName = "None";
  return snapshot;
}

std::string bytes(std::initializer_list<unsigned char> list) {
  return std::string(list.begin(), list.end());
}

TEST(ReportBody, TypicalRoadIsExactBytes) {
  const std::string body = buildReportBody("Night Owl", snapshotWith(5 * 0.621371192237334, 60));
  EXPECT_EQ(body,
            "{\"player_name\":\"Night Owl\",\"server_id\":\"90112233445566772/101\","
            "\"miles_delta\":3.106856,\"seconds_delta\":60,\"truck\":\"Unknown\","
            "\"trailer\":\"None\"}");
}

struct EscapeCase {
  const char* name;
  std::string input;
  std::string expected;
};

class EscapeJson : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeJson, ByteByByte) {
  EXPECT_EQ(escapeJsonString(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EscapeJson,
    ::testing::Values(
        EscapeCase{"empty", "", ""}, EscapeCase{"backslash", "C:\\Rig 1", "C:\\\\Rig 1"},
        EscapeCase{"quotes", "\"Big\" Rig", "\\\"Big\\\" Rig"},
        EscapeCase{"named_controls", bytes({0x08, 0x09, 0x0A, 0x0C, 0x0D}), "\\b\\t\\n\\f\\r"},
        EscapeCase{"other_controls_lower_hex", bytes({0x00, 0x01, 0x0B, 0x1B, 0x1F}),
                   "\\u0000\\u0001\\u000b\\u001b\\u001f"},
        EscapeCase{"tab_and_unit_separator", bytes({'K', 0x09, 'W', 0x1F}), "K\\tW\\u001f"},
        EscapeCase{"solidus_and_del_unchanged", bytes({'a', '/', 'b', 0x7F}),
                   bytes({'a', '/', 'b', 0x7F})},
        EscapeCase{"utf8_unchanged", "Pet\xC3\xA9rbilt", "Pet\xC3\xA9rbilt"},
        EscapeCase{"invalid_utf8_unchanged", bytes({0x80, 0xFE, 0xFF}), bytes({0x80, 0xFE, 0xFF})},
        EscapeCase{"space_is_not_escaped", " ", " "}),
    [](const ::testing::TestParamInfo<EscapeCase>& info) { return std::string(info.param.name); });

struct NumberCase {
  const char* name;
  double miles;
  std::int32_t seconds;
  const char* expected;
};

std::string numbersPart(const std::string& body) {
  const std::string::size_type start = body.find("\"miles_delta\"");
  const std::string::size_type end = body.find(",\"truck\"");
  return body.substr(start, end - start);
}

const NumberCase numberCases[] = {
    {"zero_miles", 0.0, 61, "\"miles_delta\":0.000000,\"seconds_delta\":61"},
    {"rounds_to_zero", 0.0000004, 0, "\"miles_delta\":0.000000,\"seconds_delta\":0"},
    {"rounds_up", 0.0000015, 0, "\"miles_delta\":0.000002,\"seconds_delta\":0"},
    {"six_places", 12.5, 60, "\"miles_delta\":12.500000,\"seconds_delta\":60"},
    {"rounded_to_six", 3.10685596, 1, "\"miles_delta\":3.106856,\"seconds_delta\":1"},
    {"no_grouping", 1234.5, 86400, "\"miles_delta\":1234.500000,\"seconds_delta\":86400"},
    {"no_exponent", 1e20, 2147483647,
     "\"miles_delta\":100000000000000000000.000000,\"seconds_delta\":2147483647"},
};

// A game may install a global locale with a decimal comma and digit grouping.
struct CommaPunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

class GlobalLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::locale::global(std::locale(std::locale::classic(), new CommaPunct));
  }
  void TearDown() override { std::locale::global(previous_); }
  std::locale previous_;
};

// Classic fixed six decimals and plain integers, under any global locale.
TEST_F(GlobalLocale, NumbersStayClassic) {
  for (const NumberCase& c : numberCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(numbersPart(buildReportBody("P", snapshotWith(c.miles, c.seconds))), c.expected);
  }
}

}  // namespace
