// The report body over arbitrary names, identifiers and amounts. The body must
// be exactly one JSON object with the six members in their fixed order, every
// string member must decode back to the bytes it was built from, and the two
// numbers must read back as the amounts.
//
// The checker is our own and strict on purpose: no white space anywhere, no
// raw control bytes in strings, lower-case \u escapes, JSON number grammar.
// Bytes from 0x80 up are taken as themselves, as the body passes them through
// unchanged (a general JSON library would insist on valid UTF-8 there).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/fuzz_check.h"
#include "upload/report.h"

namespace {

struct Member {
  std::string name;
  bool isString = false;
  std::string value;  // decoded bytes of a string, or the number's text
};

class StrictObjectReader {
 public:
  explicit StrictObjectReader(const std::string& text) : text_(text) {}

  // The whole text must be one object and nothing else.
  bool read(std::vector<Member>& members) {
    if (!take('{')) return false;
    if (take('}')) return atEnd();
    do {
      Member member;
      if (!string(member.name) || !take(':')) return false;
      if (peek() == '"') {
        member.isString = true;
        if (!string(member.value)) return false;
      } else if (!number(member.value)) {
        return false;
      }
      members.push_back(std::move(member));
    } while (take(','));
    return take('}') && atEnd();
  }

 private:
  int peek() const { return at_ < text_.size() ? static_cast<unsigned char>(text_[at_]) : -1; }
  bool take(char c) {
    if (peek() != static_cast<unsigned char>(c)) return false;
    ++at_;
    return true;
  }
  bool atEnd() const { return at_ == text_.size(); }

  static int hexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper-case hex is not what the body writes
  }

  bool string(std::string& out) {
    if (!take('"')) return false;
    for (;;) {
      const int c = peek();
      if (c < 0) return false;
      ++at_;
      if (c == '"') return true;
      if (c < 0x20) return false;  // JSON forbids raw control bytes in strings
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      const int e = peek();
      ++at_;
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          int code = 0;
          for (int i = 0; i < 4; ++i) {
            const int digit = hexValue(peek());
            if (digit < 0) return false;
            ++at_;
            code = code * 16 + digit;
          }
          // One code unit per byte only makes sense for ASCII; anything above
          // would decode to other bytes than the ones that were escaped.
          if (code >= 0x80) return false;
          out += static_cast<char>(code);
          break;
        }
        default:
          return false;
      }
    }
  }

  bool digits() {
    const std::size_t start = at_;
    while (peek() >= '0' && peek() <= '9') ++at_;
    return at_ > start;
  }

  bool number(std::string& out) {
    const std::size_t start = at_;
    take('-');
    if (take('0')) {
      if (peek() >= '0' && peek() <= '9') return false;  // no leading zeros
    } else if (!digits()) {
      return false;
    }
    if (take('.') && !digits()) return false;
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digits()) return false;
    }
    out = text_.substr(start, at_ - start);
    return true;
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

const char* const memberNames[] = {"player_name",   "server_id", "miles_delta",
                                   "seconds_delta", "truck",     "trailer"};

// "-"? digits "." six digits: the fixed-point form, no exponent.
bool isFixedSix(const std::string& text) {
  const std::size_t point = text.find('.');
  if (point == std::string::npos || text.size() - point - 1 != 6) return false;
  return text.find_first_of("eE") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string playerName = input.ConsumeRandomLengthString(64);
  ReportSnapshot snapshot;
  snapshot.serverId = fuzzcheck::serverishText(input, 16);
  snapshot.truckName = input.ConsumeRandomLengthString(64);
  snapshot.trailerName = input.ConsumeRandomLengthString(64);
  snapshot.secondsDelta = input.ConsumeIntegral<std::int32_t>();
  // Any finite double: the counted miles are always finite (every added step
  // is at most 25 km), so infinities and NaN never reach a report.
  const std::uint64_t bits = input.ConsumeIntegral<std::uint64_t>();
  std::memcpy(&snapshot.milesDelta, &bits, sizeof bits);
  if (!std::isfinite(snapshot.milesDelta)) snapshot.milesDelta = input.ConsumeProbability<double>();

  const std::string escaped = escapeJsonString(playerName);
  const std::string body = buildReportBody(playerName, snapshot);

  std::vector<Member> members;
  FUZZ_REQUIRE(StrictObjectReader(body).read(members),
               "not one strict JSON object: " + fuzzcheck::quoted(body));
  FUZZ_REQUIRE(members.size() == 6, "member count " + std::to_string(members.size()));
  for (std::size_t i = 0; i < 6; ++i)
    FUZZ_REQUIRE(members[i].name == memberNames[i],
                 "member " + std::to_string(i) + " is " + fuzzcheck::quoted(members[i].name));

  const std::string* const strings[] = {&playerName, &snapshot.serverId,  nullptr,
                                        nullptr,     &snapshot.truckName, &snapshot.trailerName};
  for (std::size_t i = 0; i < 6; ++i) {
    FUZZ_REQUIRE(members[i].isString == (strings[i] != nullptr), memberNames[i]);
    if (strings[i] != nullptr)
      FUZZ_REQUIRE(members[i].value == *strings[i], std::string(memberNames[i]) + " decodes to " +
                                                        fuzzcheck::quoted(members[i].value) +
                                                        ", built from " +
                                                        fuzzcheck::quoted(*strings[i]));
  }
  FUZZ_REQUIRE(fuzzcheck::contains(body, "{\"player_name\":\"" + escaped + "\","),
               "the escaped name is not the body's first value");

  const std::string& miles = members[2].value;
  FUZZ_REQUIRE(isFixedSix(miles), "miles not in fixed six-decimal form: " + miles);
  const double milesRead = std::strtod(miles.c_str(), nullptr);
  const double tolerance = 5e-7 + std::fabs(snapshot.milesDelta) * 1e-15;
  FUZZ_REQUIRE(std::fabs(milesRead - snapshot.milesDelta) <= tolerance,
               miles + " is not " + std::to_string(snapshot.milesDelta));

  const std::string& seconds = members[3].value;
  FUZZ_REQUIRE(seconds.find_first_of(".eE") == std::string::npos, "seconds " + seconds);
  FUZZ_REQUIRE(std::strtoll(seconds.c_str(), nullptr, 10) == snapshot.secondsDelta,
               "seconds " + seconds + " is not " + std::to_string(snapshot.secondsDelta));
  return 0;
}
