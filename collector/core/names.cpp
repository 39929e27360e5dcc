#include "core/names.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
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

// Hangul fillers: letters that show as nothing, or as blank as a space.
bool isHangulFiller(UChar32 c) { return c == 0x115F || c == 0x1160 || c == 0x3164 || c == 0xFFA0; }

// Why one character may not be in a name, or "". The character classes come
// first; then the characters a reader cannot see or tell from a space.
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
      break;
  }
  if (isHangulFiller(c)) return "holds a Hangul filler, which shows as blank" + at;
  if (u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT)) {
    return "holds a character that is not shown (default-ignorable)" + at;
  }
  if (c == 0x2800) return "holds the Braille blank, which shows as a space" + at;
  if (c == 0xFFFD) return "holds the replacement character, left where text was not UTF-8" + at;
  return "";
}

bool isUtf8(const std::string& text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

bool isCombiningMark(UChar32 c) { return (U_GET_GC_MASK(c) & U_GC_M_MASK) != 0; }

// The capital letter a small capital stands for ("LATIN LETTER SMALL CAPITAL
// N" is drawn as "LATIN CAPITAL LETTER N" is, only shorter), or `c` itself.
UChar32 capitalOfSmallCapital(UChar32 c) {
  char name[128];
  UErrorCode status = U_ZERO_ERROR;
  u_charName(c, U_UNICODE_CHAR_NAME, name, sizeof name, &status);
  if (U_FAILURE(status)) return c;
  std::string text = name;
  for (const char* small : {"LETTER SMALL CAPITAL ", "SMALL CAPITAL LETTER "}) {
    const std::size_t at = text.find(small);
    if (at == std::string::npos) continue;
    text.replace(at, std::char_traits<char>::length(small), "CAPITAL LETTER ");
    status = U_ZERO_ERROR;
    const UChar32 capital = u_charFromName(U_UNICODE_CHAR_NAME, text.c_str(), &status);
    return U_SUCCESS(status) ? capital : c;
  }
  return c;
}

// A name as a reader sees it, before its confusable skeleton: compatibility
// forms folded (NFKC: full-width letters, ligatures, the ideographic space),
// small capitals as capitals, combining marks that identifiers never need
// (a combining low line) left out, and each run of white space as one space.
std::string foldedName(const std::string& name) {
  if (!isUtf8(name)) return name;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
  const icu::UnicodeSet* recommended = uspoof_getRecommendedUnicodeSet(&status);
  if (U_FAILURE(status)) return name;
  const icu::UnicodeString text = nfkc->normalize(icu::UnicodeString::fromUTF8(name), status);
  if (U_FAILURE(status)) return name;
  icu::UnicodeString folded;
  bool space = false;
  for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
    const UChar32 c = text.char32At(i);
    if (u_isUWhiteSpace(c)) {
      space = true;
      continue;
    }
    if (isCombiningMark(c) && !recommended->contains(c)) continue;
    if (space && !folded.isEmpty()) folded.append(UChar32{0x20});
    space = false;
    folded.append(capitalOfSmallCapital(c));
  }
  std::string out;
  return folded.toUTF8String(out);
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
    if (characters == 1 && isCombiningMark(c)) {
      return "the name starts with a combining mark (" + codePoint(c) +
             "), which has no letter of its own to sit on";
    }
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
  const std::string mine = skeleton(checker, foldedName(name));
  std::string found;
  for (const std::string& other : existing) {
    if (skeleton(checker, foldedName(other)) == mine) {
      found = other;
      break;
    }
  }
  uspoof_close(checker);
  return found;
}

}  // namespace collector
