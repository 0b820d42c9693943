#include "morva/format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace morva {
namespace {

// Large enough for the exact fixed-point text of DBL_MAX (309 digits) plus sign.
constexpr std::size_t kBufferSize = 400;
// Room around the mantissa digits of a scientific text: sign, lead digit, point, "e-324".
constexpr std::size_t kExponentSlack = 16;

// JSON writer: plain decimal when the decimal point sits at position p with
// kJsonMinPoint < p <= kJsonMaxPoint (p = number of digits before the point,
// negative for leading zeros after it); exponent notation otherwise.
constexpr int kJsonMinPoint = -5;
constexpr int kJsonMaxPoint = 16;

// Shortest round-trip decimal digits of a finite double: value = ±0.d1d2...dk × 10^point.
struct ShortestDigits {
  bool negative = false;
  std::string digits;  // no leading or trailing zeros, except "0" for zero
  int point = 0;       // position of the decimal point relative to the first digit
};

// The exponent of a scientific text "d.ddde±XX" whose 'e' is at `e_pos`.
int exponent_of(std::string_view text, std::size_t e_pos) {
  std::string_view digits = text.substr(e_pos + 1);
  if (digits.front() == '+') digits.remove_prefix(1);
  int exponent = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
  return exponent;
}

ShortestDigits shortest_digits(double value) {
  std::array<char, kBufferSize> buffer{};
  // Scientific shortest form "-d.ddde±XX": its digits are the shortest that round-trip.
  const auto result =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::scientific);
  const std::string_view text(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
  ShortestDigits out;
  std::size_t pos = 0;
  if (text[pos] == '-') {
    out.negative = true;
    ++pos;
  }
  const std::size_t e_pos = text.find('e');
  for (std::size_t i = pos; i < e_pos; ++i) {
    if (text[i] != '.') out.digits.push_back(text[i]);
  }
  // d.ddd × 10^e = 0.dddd × 10^(e+1)
  out.point = exponent_of(text, e_pos) + 1;
  if (out.digits == "0") out.point = 1;
  return out;
}

// Lays the digits out without an exponent; `keep_fraction` appends ".0" to integral values.
std::string plain_layout(const ShortestDigits& d, bool keep_fraction) {
  std::string out;
  if (d.negative) out.push_back('-');
  const int count = static_cast<int>(d.digits.size());
  if (d.point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.point), '0');
    out += d.digits;
  } else if (d.point >= count) {
    out += d.digits;
    out.append(static_cast<std::size_t>(d.point - count), '0');
    if (keep_fraction) out += ".0";
  } else {
    out.append(d.digits, 0, static_cast<std::size_t>(d.point));
    out.push_back('.');
    out.append(d.digits, static_cast<std::size_t>(d.point), std::string::npos);
  }
  return out;
}

// "inf", "-inf" or "NaN" for a non-finite value.
std::string non_finite_text(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

}  // namespace

std::string format_decimal(double value) {
  if (!std::isfinite(value)) return non_finite_text(value);
  return plain_layout(shortest_digits(value), false);
}

std::string format_scientific(double value, int digits) {
  if (!std::isfinite(value)) return non_finite_text(value);
  if (digits < 0) digits = 0;
  // Sign, one digit, point, `digits` digits and "e-324" always fit.
  std::string buffer(static_cast<std::size_t>(digits) + kExponentSlack, '\0');
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::scientific, digits);
  const std::string_view text(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
  // to_chars writes "d.ddde±XX"; the exponent is written without "+" and leading zeros.
  const std::size_t e_pos = text.find('e');
  return std::string(text.substr(0, e_pos + 1)) + std::to_string(exponent_of(text, e_pos));
}

std::string format_whole(double value) {
  if (!std::isfinite(value)) return non_finite_text(value);
  std::array<char, kBufferSize> buffer{};
  const auto result =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, 0);
  return std::string(buffer.data(), result.ptr);
}

std::string format_json_number(double value) {
  // JSON has no infinities or NaN; the writer's convention for them is null.
  if (!std::isfinite(value)) return "null";
  const ShortestDigits d = shortest_digits(value);
  if (d.point > kJsonMinPoint && d.point <= kJsonMaxPoint) return plain_layout(d, true);
  // Exponent notation: d[.ddd]e±X with the exponent of the first digit.
  std::string out;
  if (d.negative) out.push_back('-');
  out.push_back(d.digits.front());
  if (d.digits.size() > 1) {
    out.push_back('.');
    out.append(d.digits, 1, std::string::npos);
  }
  const int exponent = d.point - 1;
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  out += std::to_string(std::abs(exponent));
  return out;
}

}  // namespace morva
