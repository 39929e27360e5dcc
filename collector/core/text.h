// Text helpers every layer shares: numbers as text, times as text, and text
// that is safe on an operator's terminal or in a spreadsheet. Pure functions:
// no I/O, no locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace collector {

// The shortest text that reads back as the same double, in no locale.
std::string shortestNumber(double value);

// `value` with exactly `decimals` digits after the point, in no locale.
std::string fixedDecimals(double value, int decimals);

// `value` with `decimals` digits after the point and its thousands grouped
// by commas, in no locale: 3,000 and -1,234,567.3.
std::string groupedNumber(double value, int decimals);

// An ISO 8601 UTC time stamp, as 2026-05-04T13:02:09Z.
std::string isoTime(std::int64_t ms);

// The bytes of the character at text[at] when it is one that a terminal
// would obey rather than show: a C0 control, DEL, a C1 control (as UTF-8) or
// a bidirectional control (U+061C, U+200E, U+200F, U+202A-U+202E,
// U+2066-U+2069); 0 for any other.
std::size_t controlCharacterBytes(const std::string& text, std::size_t at);

// Text safe to print on an operator's terminal or open in a spreadsheet:
// control characters (C0, DEL, and C1 as UTF-8) and bidirectional controls
// (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069), which a terminal
// would obey, become U+FFFD.
std::string terminalSafe(const std::string& text);

// A CSV cell. One that a spreadsheet would take for a formula (it begins
// with = + - @, a tab or a carriage return) gets a leading '; control
// characters are made terminal-safe. Cells with a comma or a quote are
// quoted, quotes doubled.
std::string csvField(const std::string& text);

// "1 report", "2 reports": a count and its noun, plural by adding an s.
std::string counted(std::int64_t count, const char* noun);

// Every byte but A-Z a-z 0-9 - . _ ~ as %XX: a name as a part of a URL's
// path or query.
std::string percentEncode(const std::string& text);

// Bytes of unknown encoding as ASCII for a log line: printable ASCII as it
// is, a backslash doubled, every other byte as \xHH (a Latin-1 "M\xFCller").
std::string escapedBytes(const std::string& bytes);

}  // namespace collector
