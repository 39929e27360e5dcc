// Numbers as the operator types them: plain decimals in a stated range; and
// miles added as the store adds them. Pure functions, no locale.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

namespace collector {

// The range a number option takes, both ends included, as its help states it.
struct NumberRange {
  double min = 0.0;
  double max = 0.0;
  bool whole = false;  // digits only, no point
};

// The shortest fixed-point text of `value` (no exponent): 65535, 0.5.
std::string plainNumber(double value);

// Reads `text` as a plain decimal: digits, and (unless whole) one point
// between digits; no sign, space, exponent, hex, nan or inf. "" with `value`
// set when it is one within `range`; else what is wrong, to follow the
// option's name: "wants a whole number from 0 to 65535, got '0x50'" or
// "87870 is out of range (0 to 65535)".
std::string numberProblem(const std::string& text, const NumberRange& range, double& value);

// The same for whole numbers up to 2^63 - 1, read exactly (report ids).
std::string wholeProblem(const std::string& text, std::int64_t min, std::int64_t max,
                         std::int64_t& value);

// A number of miles in whole millionths (the plug-in's precision), and the
// sum of two amounts of miles in millionths, as the store's SQL adds them
// (COLLECTOR_MICRO_MILES in store/shared.h).
inline double microMiles(double miles) { return std::floor(miles * 1e6 + 0.5); }
inline double addMiles(double a, double b) { return (microMiles(a) + microMiles(b)) / 1e6; }

}  // namespace collector
