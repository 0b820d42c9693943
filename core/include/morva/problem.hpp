// The QP record every solve receives:
//   minimise ½·xᵀPx + qᵀx + Σᵢ cᵢ·|xᵢ − aᵢ|
//   subject to A_eq·x = b_eq, A_in·x ≤ b_in, l ≤ x ≤ u.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "morva/error_types.hpp"
#include "morva/matrix.hpp"

namespace morva {

// The nonzero positions of some rows of a mostly-zero constraint matrix,
// known to the builder that wrote the rows (an industry's membership row:
// its members), so that a pass over the rows reads those positions alone.
// Every entry of a described row outside its positions is +0.
struct RowSupportRecord {
  // The matrix itself, its values shared: while the record holds them, a
  // write through any copy copies them first, so the record describes the
  // values at this address for as long as it lives.
  Matrix matrix;
  // Per row of `matrix`: its nonzero positions in increasing order, or
  // none: not known, the row is read whole.
  std::vector<std::vector<std::uint32_t>> rows;

  // Whether this records `m` (the same values at the same address).
  bool describes(const Matrix& m) const { return matrix.shares_values_with(m); }
};

// Per row of some constraint rows, its nonzero positions where recorded
// (RowSupportRecord), else none.
using KnownSupports = std::span<const std::span<const std::uint32_t>>;

struct LinearConstraints {
  Matrix matrix;            // m×n, one row per constraint
  std::vector<double> rhs;  // m
  // The rows' known nonzero positions, where a builder recorded them.
  std::shared_ptr<const RowSupportRecord> known_supports = {};

  // The empty block of an n-variable problem: 0×n with no right-hand side.
  static LinearConstraints empty(std::size_t n) { return {Matrix::zeros(0, n), {}}; }
  std::size_t rows() const { return matrix.rows(); }
  // Whether the record describes these rows (a record holds for the values
  // at its address alone).
  bool supports_known() const { return known_supports != nullptr && known_supports->describes(matrix); }
  // Row i's known nonzero positions, or none when they are not recorded.
  std::span<const std::uint32_t> known_support(std::size_t i) const {
    return supports_known() ? std::span<const std::uint32_t>(known_supports->rows[i])
                            : std::span<const std::uint32_t>{};
  }

  // The block's values; the record is derived from them.
  bool operator==(const LinearConstraints& other) const { return matrix == other.matrix && rhs == other.rhs; }
};

struct L1Term {
  std::vector<double> costs;   // cᵢ ≥ 0
  std::vector<double> anchor;  // aᵢ

  std::expected<void, ProblemError> validate(std::size_t n) const;
  bool operator==(const L1Term&) const = default;
};

// The costs rule of L1Term::validate: every cost finite and non-negative.
std::expected<void, ProblemError> validate_l1_costs(std::span<const double> costs);

// The box rules of QpProblem::validate on equal-length sides: per index, NaN
// first (either side), then a crossing lower > upper. Infinite sides pass.
std::expected<void, ProblemError> validate_box_values(std::span<const double> lower,
                                                      std::span<const double> upper);

struct QpProblem {
  FactorQuad quadratic;
  std::vector<double> linear;
  LinearConstraints equalities;
  LinearConstraints inequalities;
  std::vector<double> lower_bounds;
  std::vector<double> upper_bounds;
  std::optional<L1Term> l1;

  std::size_t n() const { return quadratic.assets(); }
  std::size_t m_eq() const { return equalities.rhs.size(); }
  std::size_t m_in() const { return inequalities.rhs.size(); }

  // Rules in order: quadratic form, vector lengths, equality block, inequality
  // block, linear finite, L1 term, bounds (NaN, then crossing). With
  // KnownFinite the entries of F, A_eq and A_in are not read.
  std::expected<void, ProblemError> validate(DataEntries entries = DataEntries::Check) const;

  // (½·xᵀPx + qᵀx) + Σ cᵢ|xᵢ − aᵢ|, every sum in index order.
  double objective(std::span<const double> x) const;
  // The same with P·x supplied (px = quadratic.apply(x) gives the same bits).
  double objective(std::span<const double> x, std::span<const double> px) const;

  bool operator==(const QpProblem&) const = default;
};

// A QpProblem that has passed validate(): what consumes one need not check it again.
class ValidatedQp {
 public:
  static std::expected<ValidatedQp, ProblemError> of(QpProblem problem,
                                                     DataEntries entries = DataEntries::Check);

  const QpProblem& problem() const { return problem_; }
  QpProblem release() && { return std::move(problem_); }

 private:
  explicit ValidatedQp(QpProblem problem) : problem_(std::move(problem)) {}

  QpProblem problem_;
};

}  // namespace morva
