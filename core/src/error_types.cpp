#include "morva/error_types.hpp"

#include <string>

#include "morva/format.hpp"

namespace morva {
namespace {

// "{name} has {measure} {found}; expected {expected}": every size mismatch
// prints the size found before the size expected.
std::string mismatch(const std::string& name, const char* measure, std::uint64_t found,
                     std::uint64_t expected) {
  return name + " has " + measure + " " + std::to_string(found) + "; expected " + std::to_string(expected);
}

}  // namespace

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
    case Kind::CompressedStarts:
      return "compressed matrix of " + std::to_string(rows) +
             " rows: its row starts must rise from 0 to the " + std::to_string(supplied) +
             " entries stored, one more start than rows";
    case Kind::CompressedColumns:
      return "compressed matrix row " + std::to_string(rows) +
             ": its column indices must increase and lie below " + std::to_string(cols);
  }
  return {};
}

std::string ProblemError::message() const {
  switch (kind) {
    case Kind::DimensionMismatch: return mismatch(name, "dimension", actual, expected);
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

std::string SolverError::message() const {
  switch (kind) {
    case Kind::Problem: return problem.message();
    case Kind::InvalidSetting: return "invalid solver setting: " + std::string(rule);
    case Kind::CovarianceNotPositiveSemidefinite:
      return "dense factor covariance is not positive semidefinite";
    case Kind::ReducedFactorizationFailed: return "failed to factor the reduced linear system";
    case Kind::LengthMismatch: return mismatch(name, "length", found, expected);
    case Kind::WarmStartLength: return "warm-start " + mismatch(name, "length", found, expected);
    case Kind::WarmStartNonFinite: return "warm-start " + name + " contains a non-finite value";
  }
  return "unknown solver error";
}

}  // namespace morva
