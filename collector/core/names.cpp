#include "core/names.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uspoof.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdio>

namespace collector {

namespace {

std::string codePoint(UChar32 c) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
  return text;
}

// Why one character may not be in a name, or "".
std::string characterProblem(UChar32 c) {
  const std::string at = " (" + codePoint(c) + ")";
  if (u_hasBinaryProperty(c, UCHAR_BIDI_CONTROL)) {
    return "holds a bidirectional control character" + at;
  }
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
      return "holds a control character" + at;
    case U_FORMAT_CHAR:
      return "holds an invisible format character" + at;
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return "holds a line or paragraph separator" + at;
    case U_PRIVATE_USE_CHAR:
      return "holds a private-use character" + at;
    case U_UNASSIGNED:
      return "holds a code point that Unicode does not assign" + at;
    default:
      return "";
  }
}

// The skeleton of a UTF-8 name; the name itself when ICU cannot make one.
std::string skeleton(const USpoofChecker* checker, const std::string& name) {
  if (!checker) return name;
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = static_cast<int32_t>(name.size());
  std::string out(name.size() * 4 + 16, '\0');
  int32_t needed = uspoof_getSkeletonUTF8(checker, 0, name.data(), length, &out[0],
                                          static_cast<int32_t>(out.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    status = U_ZERO_ERROR;
    out.assign(static_cast<std::size_t>(needed) + 1, '\0');
    needed = uspoof_getSkeletonUTF8(checker, 0, name.data(), length, &out[0],
                                    static_cast<int32_t>(out.size()), &status);
  }
  if (U_FAILURE(status)) return name;
  out.resize(static_cast<std::size_t>(needed));
  return out;
}

}  // namespace

std::string playerNameProblem(const std::string& name) {
  if (name.empty()) return "the name is empty";
  const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
  const auto length = static_cast<int32_t>(name.size());
  std::size_t characters = 0;
  for (int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return "the name is not UTF-8";
    if (++characters > maxNameCharacters) {
      return "the name is longer than " + std::to_string(maxNameCharacters) + " characters";
    }
    const std::string problem = characterProblem(c);
    if (!problem.empty()) return "the name " + problem;
  }
  UChar32 first = 0;
  UChar32 last = 0;
  int32_t at = 0;
  U8_NEXT(bytes, at, length, first);
  at = length;
  U8_PREV(bytes, 0, at, last);
  if (u_isUWhiteSpace(first) || u_isUWhiteSpace(last)) {
    return "the name starts or ends with a space, which the plug-in's ini reader or the "
           "leaderboard would not show";
  }
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(name);
  if (U_FAILURE(status)) return "the name cannot be checked: " + std::string(u_errorName(status));
  if (!nfc->isNormalized(text, status) || U_FAILURE(status)) {
    std::string composed;
    nfc->normalize(text, status).toUTF8String(composed);
    return "the name is not in Unicode's composed form (NFC); composed, it is '" + composed + "'";
  }
  if (name == "CHANGE_ME") return "the name is the plug-in's placeholder, which it never sends";
  return "";
}

std::string confusableName(const std::string& name, const std::vector<std::string>& existing) {
  UErrorCode status = U_ZERO_ERROR;
  USpoofChecker* checker = uspoof_open(&status);
  if (U_FAILURE(status)) checker = nullptr;
  const std::string mine = skeleton(checker, name);
  std::string found;
  for (const std::string& other : existing) {
    if (skeleton(checker, other) == mine) {
      found = other;
      break;
    }
  }
  uspoof_close(checker);
  return found;
}

}  // namespace collector
