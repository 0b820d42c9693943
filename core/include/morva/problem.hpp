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

struct RowSupportRecord;  // the rows' known nonzero positions (internal: known_supports.hpp)

// Per row of some constraint rows, its nonzero positions where its builder
// recorded them (every other entry +0), else none.
using KnownSupports = std::span<const std::span<const std::uint32_t>>;

struct LinearConstraints {
  Matrix matrix;                                                // m×n, one row per constraint
  std::vector<double> rhs;                                      // m
  std::shared_ptr<const RowSupportRecord> known_supports = {};  // where a builder recorded them

  // The empty block of an n-variable problem: 0×n with no right-hand side.
  static LinearConstraints empty(std::size_t n) { return {Matrix::zeros(0, n), {}}; }
  std::size_t rows() const { return matrix.rows(); }

  // The block's values; the record is derived from them.
  bool operator==(const LinearConstraints& other) const { return matrix == other.matrix && rhs == other.rhs; }
};

struct L1Term {
  std::vector<double> costs;   // cᵢ ≥ 0
  std::vector<double> anchor;  // aᵢ

  std::expected<void, ProblemError> validate(std::size_t n) const;
  bool operator==(const L1Term&) const = default;
};

// A gross-leverage limit Σ wᵢ|xᵢ| ≤ limit, held in the box block's
// projection (wᵢ = 1 when `weights` is empty; equilibration writes its
// column scaling there, since x = D·x̂).
struct GrossLeverage {
  double limit = 0.0;
  std::vector<double> weights;

  double weight(std::size_t i) const { return weights.empty() ? 1.0 : weights[i]; }
  // Σ wᵢ|xᵢ|.
  double gross(std::span<const double> x) const;
  bool operator==(const GrossLeverage&) const = default;
};

// The projection of v onto {l ≤ z ≤ u, Σ wᵢ|zᵢ| ≤ limit}:
// zᵢ = clip(soft(vᵢ, θwᵢ), lᵢ, uᵢ) with the least θ ≥ 0 that meets the
// limit, found from `theta` (the last one, a warm start) by safeguarded
// Newton steps on the piecewise-linear, non-increasing Σ wᵢ|zᵢ(θ)|. When no
// θ meets it (the box holds no point within the limit) z is the box's
// point nearest zero, θ infinite. Returns θ; z must not alias v.
double project_box_and_leverage(std::span<const double> v, std::span<const double> lower,
                                std::span<const double> upper, const GrossLeverage& leverage, double theta,
                                std::span<double> z);

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
  std::optional<GrossLeverage> leverage;

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
