#include "morva/error_types.hpp"

#include <string>
#include <utility>

#include "morva/format.hpp"

namespace morva {

MatrixError MatrixError::dimension_overflow(std::uint64_t rows, std::uint64_t cols) {
  return {Kind::DimensionOverflow, rows, cols, 0, 0};
}

MatrixError MatrixError::shape_mismatch(std::uint64_t rows, std::uint64_t cols, std::uint64_t supplied) {
  return {Kind::ShapeMismatch, rows, cols, rows * cols, supplied};
}

MatrixError MatrixError::ragged_row(std::uint64_t row, std::uint64_t length, std::uint64_t expected_cols) {
  return {Kind::RaggedRow, row, expected_cols, 0, length};
}

std::string MatrixError::message() const {
  switch (kind) {
    case Kind::DimensionOverflow:
      return "matrix dimensions " + std::to_string(rows) + "x" + std::to_string(cols) +
             " overflow the address space";
    case Kind::ShapeMismatch:
      return "matrix shape " + std::to_string(rows) + "x" + std::to_string(cols) + " requires " +
             std::to_string(required) + " values, got " + std::to_string(supplied);
    case Kind::RaggedRow:
      return "matrix row " + std::to_string(rows) + " has " + std::to_string(supplied) +
             " columns; expected " + std::to_string(cols);
  }
  return {};
}

ProblemError ProblemError::dimension_mismatch(std::string name, std::uint64_t expected,
                                              std::uint64_t actual) {
  ProblemError e;
  e.kind = Kind::DimensionMismatch;
  e.name = std::move(name);
  e.expected = expected;
  e.actual = actual;
  return e;
}

ProblemError ProblemError::non_finite(std::string name) {
  ProblemError e;
  e.kind = Kind::NonFinite;
  e.name = std::move(name);
  return e;
}

ProblemError ProblemError::non_convex(std::string reason) {
  ProblemError e;
  e.kind = Kind::NonConvex;
  e.name = std::move(reason);
  return e;
}

ProblemError ProblemError::not_square(std::string name) {
  ProblemError e;
  e.kind = Kind::NotSquare;
  e.name = std::move(name);
  return e;
}

ProblemError ProblemError::not_symmetric(std::string name) {
  ProblemError e;
  e.kind = Kind::NotSymmetric;
  e.name = std::move(name);
  return e;
}

ProblemError ProblemError::invalid_bounds(std::uint64_t index, double lower, double upper) {
  ProblemError e;
  e.kind = Kind::InvalidBounds;
  e.index = index;
  e.lower = lower;
  e.upper = upper;
  return e;
}

std::string ProblemError::message() const {
  switch (kind) {
    case Kind::DimensionMismatch:
      return name + " has dimension " + std::to_string(actual) + "; expected " + std::to_string(expected);
    case Kind::NonFinite: return name + " contains a non-finite coefficient";
    case Kind::NonConvex: return "non-convex quadratic data: " + name;
    case Kind::NotSquare: return name + " must be square";
    case Kind::NotSymmetric: return name + " must be symmetric";
    case Kind::InvalidBounds:
      return "invalid bounds at index " + std::to_string(index) + ": lower " + format_decimal(lower) +
             " exceeds upper " + format_decimal(upper);
  }
  return {};
}

SolverError SolverError::from_problem(ProblemError error) {
  SolverError e;
  e.kind = Kind::Problem;
  e.problem = std::move(error);
  return e;
}

SolverError SolverError::invalid_setting(std::string_view rule) {
  SolverError e;
  e.kind = Kind::InvalidSetting;
  e.rule = rule;
  return e;
}

SolverError SolverError::covariance_not_psd() {
  SolverError e;
  e.kind = Kind::CovarianceNotPositiveSemidefinite;
  return e;
}

SolverError SolverError::factorization_failed() {
  SolverError e;
  e.kind = Kind::ReducedFactorizationFailed;
  return e;
}

SolverError SolverError::length_mismatch(const LengthMismatch& mismatch) {
  SolverError e;
  e.kind = Kind::LengthMismatch;
  e.name = mismatch.name;
  e.found = mismatch.actual;
  e.expected = mismatch.expected;
  return e;
}

SolverError SolverError::warm_start_length(std::string name, std::uint64_t found, std::uint64_t expected) {
  SolverError e;
  e.kind = Kind::WarmStartLength;
  e.name = std::move(name);
  e.found = found;
  e.expected = expected;
  return e;
}

SolverError SolverError::warm_start_non_finite(std::string name) {
  SolverError e;
  e.kind = Kind::WarmStartNonFinite;
  e.name = std::move(name);
  return e;
}

std::string SolverError::message() const {
  switch (kind) {
    case Kind::Problem: return problem.message();
    case Kind::InvalidSetting: return "invalid solver setting: " + std::string(rule);
    case Kind::CovarianceNotPositiveSemidefinite:
      return "dense factor covariance is not positive semidefinite";
    case Kind::ReducedFactorizationFailed: return "failed to factor the reduced linear system";
    case Kind::LengthMismatch:
      return name + " has length " + std::to_string(found) + "; expected " + std::to_string(expected);
    case Kind::WarmStartLength:
      return "warm-start " + name + " has length " + std::to_string(found) + "; expected " +
             std::to_string(expected);
    case Kind::WarmStartNonFinite: return "warm-start " + name + " contains a non-finite value";
  }
  return "unknown solver error";
}

}  // namespace morva
