// Pieces of the portfolio lowering that the one-shot path (portfolio.cpp) and
// rolling sequences (sequence.cpp) share, so both lower the same way. Private
// to the library.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "morva/error_types.hpp"
#include "morva/matrix.hpp"
#include "morva/portfolio.hpp"
#include "morva/problem.hpp"

namespace morva {

// The failures the builders report, as values.
inline std::unexpected<PortfolioError> problem_failure(ProblemError error) {
  return std::unexpected(PortfolioError::problem_invalid(std::move(error)));
}
inline std::unexpected<PortfolioError> parameter_failure(std::string reason) {
  return std::unexpected(PortfolioError::invalid_parameter(std::move(reason)));
}
inline std::unexpected<PortfolioError> template_failure(std::string reason) {
  return std::unexpected(PortfolioError::invalid_template(std::move(reason)));
}
inline bool any_nan(std::span<const double> values) {
  return std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); });
}

// A vector of n finite values, or the first broken rule under `name`.
std::expected<void, PortfolioError> check_finite_vector(const char* name, std::span<const double> values,
                                                        std::size_t n);

// The box rules of with_bounds: n values on each side (lower first), no NaN
// (infinite sides pass), then no index with lower > upper.
std::expected<void, PortfolioError> check_box(std::span<const double> lower, std::span<const double> upper,
                                              std::size_t n);

// The cost rules of with_l1_turnover: n finite values, none negative.
std::expected<void, PortfolioError> check_l1_costs(std::span<const double> costs, std::size_t n);

// The sums Σx a box l ≤ x ≤ u can reach: Σl and Σu added left to right,
// each with a bound on its rounding error, so that a budget the box reaches
// in exact arithmetic is never refused because its sum rounded the other way
// (ten caps of 0.1 add up to 0.9999999999999999).
class BudgetReach {
 public:
  static BudgetReach of(std::span<const double> lower, std::span<const double> upper);

  // Nothing when Σl − e_l ≤ B ≤ Σu + e_u; otherwise BudgetInfeasible naming
  // the plain sums.
  std::expected<void, PortfolioError> admits(double budget) const;

 private:
  double lowest_ = 0.0;
  double highest_ = 0.0;
  double lowest_error_ = 0.0;
  double highest_error_ = 0.0;
};

// Constraint rows appended to a block, written once into the storage the
// block is kept in. A block is rows [lead, ...) of its storage: the equality
// block sits behind a row of ones, the budget row its lowering puts first,
// so that lowering copies no row. The new rows go behind the block's; a
// builder made `behind` a storage holds it from the start, so that rows it
// writes in place are not moved again.
struct RowsBuilder {
  std::size_t count = 0;        // new rows
  bool behind_storage = false;  // `data` starts with the storage's values
  std::vector<double> data;     // the new rows, row-major (after the storage's values when behind_storage)
  std::vector<double> rhs;      // their right-hand sides
  // Per new row, its nonzero positions in increasing order when the builder
  // knows them (every other entry +0), else none; or no entries at all.
  std::vector<std::vector<std::uint32_t>> supports;

  // `room`: values the new rows will take, reserved with the storage's.
  static RowsBuilder behind(const Matrix& storage, std::size_t room = 0);
  // One more row, `row` or its negation (sign −1), with its right-hand side.
  void add(std::span<const double> row, double sign, double right_hand_side);

  struct Appended {
    Matrix storage;
    LinearConstraints block;  // rows [lead, ...) of storage
  };
  // The storage followed by these rows (Matrix::create; MatrixError →
  // MatrixInvalid), and the block with their right-hand sides behind its
  // own ("constraints.rhs" on a count mismatch).
  std::expected<Appended, PortfolioError> appended_to(const Matrix& storage, std::size_t lead,
                                                      const LinearConstraints& block) &&;
};

// `rows` behind a row of ones: the storage of an equality block.
Matrix behind_ones_row(const Matrix& rows);

// An upper bound on |fl(Σx) − Σx| for the left-to-right sum of `values`
// (zero for fewer than two values or a sum that is not finite).
double summation_error_bound(std::span<const double> values);

// What the linear term is made of: the returns μ, the turnover anchor x⁰ when
// the problem has a turnover term, the tracked benchmark b when it has one.
struct LinearTermData {
  std::span<const double> expected_returns;
  std::optional<std::span<const double>> anchor;
  std::optional<std::span<const double>> benchmark;
};

// q = −μ − τx⁰ − λΣb, the gradient at x = 0 of the smooth terms after
// expanding ½λ(x − b)ᵀΣ(x − b) and ½τ‖x − x⁰‖²; computed as q = −μ, then
// qᵢ −= τx⁰ᵢ, then qᵢ −= λ(Σb)ᵢ. Finite data can still overflow here.
std::vector<double> linear_term(const FactorQuad& covariance, double risk_aversion, double turnover_penalty,
                                const LinearTermData& data);

// b_eq as lowered: the budget B first when there is one, then the problem's
// own equality right-hand sides.
std::vector<double> equality_rhs_with_budget(std::optional<double> budget, std::span<const double> rows);

}  // namespace morva
