// The errors the engine reports: a matrix's shape, a problem's data, a
// vector handed to a check, and a solve's settings, data and linear algebra.
// Each is a plain record of its kind and what its message needs; the named
// constructors fill the fields that kind uses and leave the others zero.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace morva {

struct MatrixError {
  enum class Kind { DimensionOverflow, ShapeMismatch, RaggedRow, CompressedStarts, CompressedColumns };

  Kind kind{};
  // DimensionOverflow / ShapeMismatch: the claimed shape. RaggedRow: `rows`
  // is the offending row index and `cols` the expected column count.
  // CompressedStarts: `rows` row starts (rows + 1 expected) for `supplied`
  // stored entries. CompressedColumns: row `rows` stores a column not
  // increasing or not below `cols`.
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::uint64_t required = 0;  // ShapeMismatch: rows·cols
  std::uint64_t supplied = 0;  // ShapeMismatch: values given; RaggedRow: that row's length

  static MatrixError dimension_overflow(std::uint64_t rows, std::uint64_t cols) {
    return {Kind::DimensionOverflow, rows, cols};
  }
  static MatrixError shape_mismatch(std::uint64_t rows, std::uint64_t cols, std::uint64_t supplied) {
    return {Kind::ShapeMismatch, rows, cols, rows * cols, supplied};
  }
  static MatrixError ragged_row(std::uint64_t row, std::uint64_t length, std::uint64_t expected_cols) {
    return {Kind::RaggedRow, row, expected_cols, 0, length};
  }
  static MatrixError compressed_starts(std::uint64_t rows, std::uint64_t entries) {
    return {Kind::CompressedStarts, rows, 0, 0, entries};
  }
  static MatrixError compressed_columns(std::uint64_t row, std::uint64_t cols) {
    return {Kind::CompressedColumns, row, cols};
  }

  std::string message() const;
  bool operator==(const MatrixError&) const = default;
};

struct ProblemError {
  enum class Kind { DimensionMismatch, NonFinite, NonConvex, NotSquare, NotSymmetric, InvalidBounds };

  Kind kind{};
  // Field name ("quadratic.omega", "l1.costs", ...) or, for NonConvex, the reason text.
  std::string name{};
  std::uint64_t expected = 0;  // DimensionMismatch
  std::uint64_t actual = 0;    // DimensionMismatch
  std::uint64_t index = 0;     // InvalidBounds
  double lower = 0.0;          // InvalidBounds
  double upper = 0.0;          // InvalidBounds

  static ProblemError dimension_mismatch(std::string name, std::uint64_t expected, std::uint64_t actual) {
    return {Kind::DimensionMismatch, std::move(name), expected, actual};
  }
  static ProblemError non_finite(std::string name) { return {Kind::NonFinite, std::move(name)}; }
  static ProblemError non_convex(std::string reason) { return {Kind::NonConvex, std::move(reason)}; }
  static ProblemError not_square(std::string name) { return {Kind::NotSquare, std::move(name)}; }
  static ProblemError not_symmetric(std::string name) { return {Kind::NotSymmetric, std::move(name)}; }
  static ProblemError invalid_bounds(std::uint64_t index, double lower, double upper) {
    return {.kind = Kind::InvalidBounds, .index = index, .lower = lower, .upper = upper};
  }

  // "{} has dimension {}; expected {}" prints the actual size before the expected one.
  std::string message() const;
  bool operator==(const ProblemError&) const = default;
};

// A vector handed to a check has the wrong length.
struct LengthMismatch {
  std::string name;
  std::uint64_t expected = 0;
  std::uint64_t actual = 0;

  bool operator==(const LengthMismatch&) const = default;
};

struct SolverError {
  enum class Kind {
    Problem,
    InvalidSetting,
    CovarianceNotPositiveSemidefinite,
    ReducedFactorizationFailed,
    LengthMismatch,
    WarmStartLength,
    WarmStartNonFinite,
  };

  Kind kind{};
  ProblemError problem{};      // Problem
  std::string_view rule{};     // InvalidSetting: static rule text
  std::string name{};          // LengthMismatch / WarmStart*: block name
  std::uint64_t found = 0;     // LengthMismatch / WarmStartLength
  std::uint64_t expected = 0;  // LengthMismatch / WarmStartLength

  static SolverError from_problem(ProblemError error) { return {Kind::Problem, std::move(error)}; }
  static SolverError invalid_setting(std::string_view rule) {
    return {.kind = Kind::InvalidSetting, .rule = rule};
  }
  static SolverError covariance_not_psd() { return {Kind::CovarianceNotPositiveSemidefinite}; }
  static SolverError factorization_failed() { return {Kind::ReducedFactorizationFailed}; }
  static SolverError length_mismatch(const LengthMismatch& mismatch) {
    return {.kind = Kind::LengthMismatch,
            .name = mismatch.name,
            .found = mismatch.actual,
            .expected = mismatch.expected};
  }
  static SolverError warm_start_length(std::string name, std::uint64_t found, std::uint64_t expected) {
    return {.kind = Kind::WarmStartLength, .name = std::move(name), .found = found, .expected = expected};
  }
  static SolverError warm_start_non_finite(std::string name) {
    return {.kind = Kind::WarmStartNonFinite, .name = std::move(name)};
  }

  std::string message() const;
  bool operator==(const SolverError&) const = default;
};

}  // namespace morva
