#include "upload/report.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <locale>
#include <string>

namespace {

TEST(EscapeJson, ByteByByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"C:\\Rig 1", "C:\\\\Rig 1"},
      {"\"Big\" Rig", "\\\"Big\\\" Rig"},
      {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
      {std::string("\0\x01\x0B\x1B\x1F", 5), "\\u0000\\u0001\\u000b\\u001b\\u001f"},
      {"K\tW\x1F", "K\\tW\\u001f"},
      {" a/b\x7F", " a/b\x7F"},
      {"Pet\xC3\xA9rbilt", "Pet\xC3\xA9rbilt"},
      {"\x80\xFE\xFF", "\x80\xFE\xFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(escapeJsonString(c.first), c.second);
}

// A game may install a global locale with a decimal comma and digit grouping.
struct CommaPunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

// The whole body, with classic fixed six decimals and plain integers under
// any global locale.
TEST(ReportBody, IsExactBytesWithClassicNumbers) {
  const struct {
    double miles;
    std::int32_t seconds;
    const char* expected;
  } cases[] = {
      {5 * 0.621371192237334, 60, "3.106856,\"seconds_delta\":60"},
      {0.0, 61, "0.000000,\"seconds_delta\":61"},
      {0.0000004, 0, "0.000000,\"seconds_delta\":0"},
      {0.0000015, 0, "0.000002,\"seconds_delta\":0"},
      {12.5, 60, "12.500000,\"seconds_delta\":60"},
      {1234.5, 86400, "1234.500000,\"seconds_delta\":86400"},
      {1e20, 2147483647, "100000000000000000000.000000,\"seconds_delta\":2147483647"},
      // The longest fixed form of any double.
      {-DBL_MAX, 0,
       "-1797693134862315708145274237317043567980705675258449965989174768031572607800285"
       "38760589558632766878171540458953514382464234321326889464182768467546703537516986"
       "04991057655128207624549009038932894407586850845513394230458323690322294816580855"
       "9332123348274797826204144723168738177180919299881250404026184124858368.000000"
       ",\"seconds_delta\":0"},
  };
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new CommaPunct));
  for (const auto& c : cases) {
    const ReportSnapshot snapshot{"90112233445566772/101", c.miles, c.seconds, "Unknown", "None"};
    EXPECT_EQ(buildReportBody("Night Owl", snapshot),
              std::string("{\"player_name\":\"Night Owl\",\"server_id\":\"90112233445566772/101\","
                          "\"miles_delta\":") +
                  c.expected + ",\"truck\":\"Unknown\",\"trailer\":\"None\"}");
  }
  std::locale::global(previous);
}

}  // namespace
