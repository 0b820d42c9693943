#include "morva/format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace morva {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kMinSubnormal = std::numeric_limits<double>::denorm_min();

// head, then `count` zeros, then tail (built by appending: GCC 12 warns
// spuriously on operator+ with a literal on the left).
std::string with_zeros(std::string head, std::size_t count, const std::string& tail = "") {
  head.append(count, '0');
  head.append(tail);
  return head;
}

// Reads a text back with strtod, which must consume all of it.
double read_back(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  EXPECT_EQ(end, text.c_str() + text.size()) << text;
  return value;
}

// Seeded doubles over the whole bit space (subnormals and huge values included)
// plus a band of subnormals; non-finite patterns are skipped.
std::vector<double> random_doubles(std::size_t count) {
  std::mt19937_64 rng(20240517);
  std::vector<double> values;
  while (values.size() < count) {
    std::uint64_t bits = rng();
    if (values.size() % 4 == 0) bits &= 0x800FFFFFFFFFFFFFull;  // zero exponent: subnormal
    const double v = std::bit_cast<double>(bits);
    if (std::isfinite(v)) values.push_back(v);
  }
  return values;
}

// Significant digits of the shortest round-trip text from std::to_chars.
std::string shortest_significand(double value) {
  char buffer[64];
  const auto r =
      std::to_chars(buffer, buffer + sizeof buffer, std::abs(value), std::chars_format::scientific);
  std::string digits;
  for (const char* p = buffer; p < r.ptr && *p != 'e'; ++p) {
    if (*p != '.') digits.push_back(*p);
  }
  return digits;
}

// Significant digits of a decimal or exponent text: leading zeros and the
// point dropped, trailing zeros of the digit string dropped.
std::string significand_of(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == 'e' || c == 'E') break;
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  digits.erase(0, first);
  digits.erase(digits.find_last_not_of('0') + 1);
  return digits;
}

struct TextCase {
  double value;
  std::string expected;
};

struct ScientificCase {
  double value;
  int digits;
  std::string expected;
};

TEST(FormatDecimal, PrintsShortestPlainDecimal) {
  const std::vector<TextCase> cases = {
      {1.0, "1"},
      {0.5, "0.5"},
      {1e-7, "0.0000001"},
      {250.0, "250"},
      {0.0, "0"},
      {-0.0, "-0"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1.0 / 3.0, "0.3333333333333333"},
      {123.456, "123.456"},
      {1e21, with_zeros("1", 21)},
      {1.2345678901234568e17, "123456789012345680"},
      {kMinSubnormal, with_zeros("0.", 323, "5")},
      {kMax, with_zeros("17976931348623157", 292)},
      {-kMax, with_zeros("-17976931348623157", 292)},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {kNaN, "NaN"},
      {-kNaN, "NaN"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_decimal(c.value), c.expected) << "value " << c.value;
  }
}

TEST(FormatDecimal, RoundTripsWithoutExponent) {
  for (double v : random_doubles(2000)) {
    const std::string text = format_decimal(v);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(read_back(text)), std::bit_cast<std::uint64_t>(v)) << text;
    EXPECT_EQ(significand_of(text), shortest_significand(v)) << text;
  }
}

TEST(FormatScientific, PrintsRoundedMantissaAndBareExponent) {
  const std::vector<ScientificCase> cases = {
      {1e6, 1, "1.0e6"},
      {0.5, 3, "5.000e-1"},
      {2.0, 3, "2.000e0"},
      {0.0, 3, "0.000e0"},
      {-0.0, 1, "-0.0e0"},
      {1e-7, 1, "1.0e-7"},
      {1e-6, 1, "1.0e-6"},
      {1e100, 1, "1.0e100"},
      {1e-300, 3, "1.000e-300"},
      {0.1, 6, "1.000000e-1"},
      {-1234.5678, 6, "-1.234568e3"},
      {123456.0, 3, "1.235e5"},
      {0.5, 0, "5e-1"},
      // Rounding carries into the exponent.
      {9.96, 1, "1.0e1"},
      {999999.6, 1, "1.0e6"},
      // Exact binary ties (0.125 = 1/8, 0.375 = 3/8, 1.25 = 5/4) round half to even.
      {0.125, 1, "1.2e-1"},
      {0.375, 1, "3.8e-1"},
      {1.25, 1, "1.2e0"},
      // 9.95 is stored just below the tie, so it rounds down.
      {9.95, 1, "9.9e0"},
      {kMinSubnormal, 3, "4.941e-324"},
      {kMax, 6, "1.797693e308"},
      {kMax, 1, "1.8e308"},
      {kInf, 3, "inf"},
      {-kInf, 1, "-inf"},
      {kNaN, 6, "NaN"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_scientific(c.value, c.digits), c.expected)
        << "value " << c.value << " digits " << c.digits;
  }
}

TEST(FormatScientific, MatchesCorrectlyRoundedPrintf) {
  // The mantissa is the correctly rounded one (glibc printf is exact and also
  // rounds ties to even); only the exponent is rewritten.
  const std::regex printf_exponent("e([+-])0*([0-9]+)$");
  for (double v : random_doubles(500)) {
    for (int digits : {1, 3, 6}) {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%.*e", digits, v);
      std::smatch m;
      std::string text(buffer);
      ASSERT_TRUE(std::regex_search(text, m, printf_exponent)) << text;
      const std::string expected = m.prefix().str() + "e" + (m[1] == "-" ? "-" : "") + m[2].str();
      EXPECT_EQ(format_scientific(v, digits), expected);
    }
  }
}

TEST(FormatWhole, RoundsToWholeNumber) {
  const std::vector<TextCase> cases = {
      {7.0, "7"},
      {6.6, "7"},
      {6.4, "6"},
      {0.4, "0"},
      {-3.7, "-4"},
      {0.0, "0"},
      {-0.0, "-0"},
      // Exact ties round half to even.
      {2.5, "2"},
      {3.5, "4"},
      {1e21, with_zeros("1", 21)},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {kNaN, "NaN"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_whole(c.value), c.expected) << "value " << c.value;
  }
  // The exact integer value of the largest double, all 309 digits.
  const std::string max_text = format_whole(kMax);
  EXPECT_EQ(max_text.size(), 309u);
  EXPECT_EQ(max_text.substr(0, 20), "17976931348623157081");
  EXPECT_EQ(max_text.find('.'), std::string::npos);
}

TEST(FormatJsonNumber, UsesDecimalOrSignedExponent) {
  const std::vector<TextCase> cases = {
      {250.0, "250.0"},
      {0.04, "0.04"},
      {1.0, "1.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {-3.0, "-3.0"},
      {123456.789, "123456.789"},
      {0.1 + 0.2, "0.30000000000000004"},
      {0.0001, "0.0001"},
      {1e-5, "0.00001"},
      {1e15, "1000000000000000.0"},
      {1e-6, "1e-6"},
      {1e-7, "1e-7"},
      {1e16, "1e+16"},
      {1e+300, "1e+300"},
      {1.5e-300, "1.5e-300"},
      {-1.25e20, "-1.25e+20"},
      {kMinSubnormal, "5e-324"},
      {kMax, "1.7976931348623157e+308"},
      {kInf, "null"},
      {-kInf, "null"},
      {kNaN, "null"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_json_number(c.value), c.expected) << "value " << c.value;
  }
}

TEST(FormatJsonNumber, RoundTripsBitForBitInJsonGrammar) {
  const std::regex json_number(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)");
  for (double v : random_doubles(5000)) {
    const std::string text = format_json_number(v);
    ASSERT_TRUE(std::regex_match(text, json_number)) << text;
    // A float never looks like an integer: it has a point or an exponent.
    EXPECT_NE(text.find_first_of(".e"), std::string::npos) << text;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(read_back(text)), std::bit_cast<std::uint64_t>(v)) << text;
    EXPECT_EQ(significand_of(text), shortest_significand(v)) << text;
  }
}

}  // namespace
}  // namespace morva
