// Number texts used inside messages, hints, reprs and JSON.
//
// Every function formats the exact value of the double with correct decimal
// rounding (std::to_chars underneath); none depends on the C locale.
#pragma once

#include <string>

namespace morva {

// "{}": the shortest decimal text that reads back to the same double, never in
// exponent notation; integral values print without a fraction (1, 0.5,
// 0.0000001); "inf", "-inf", "NaN"; negative zero prints as "-0".
std::string format_decimal(double value);

// "{:.Ne}": scientific notation with `digits` digits after the point, a
// lower-case e and the exponent without "+" or leading zeros (5.000e-1, 1.0e6).
std::string format_scientific(double value, int digits);

// "{:.0}": the value rounded to a whole number, printed without a point.
std::string format_whole(double value);

// A finite double as a JSON number, shortest round-trip digits: an integral
// value keeps ".0" (250.0), moderate magnitudes are plain decimals (0.04),
// very small or large ones use a signed exponent without leading zeros and
// without a point after a one-digit mantissa (1e-7, 1e+300, 1.5e-300).
// A non-finite value gives "null", the writer's text for a missing number.
std::string format_json_number(double value);

}  // namespace morva
