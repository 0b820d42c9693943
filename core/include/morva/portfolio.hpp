// The factor mean-variance portfolio, its validating builders and constraint
// templates, its lowering to a QP, one-shot solves and the explanation of
// certificates in portfolio terms.
//
//   minimise ½λ(x − b)ᵀΣ(x − b) − μᵀx + ½τ‖x − x⁰‖² + Σ cᵢ|xᵢ − x⁰ᵢ|
//   subject to Σx = B, A_eq x = b_eq, A_in x ≤ b_in, l ≤ x ≤ u.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "morva/error_types.hpp"
#include "morva/matrix.hpp"
#include "morva/portfolio_inputs.hpp"
#include "morva/problem.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"

namespace morva {

class PortfolioError {
 public:
  enum class Kind {
    ProblemInvalid,
    MatrixInvalid,
    SolverFailed,
    InvalidParameter,
    InvalidTemplate,
    BudgetInfeasible,
    IncompleteInput
  };

  // Rules on which inputs come together and in which form, checked while
  // building from fields.
  enum class InputRule {
    BoundsTogether,        // lower and upper bounds, both or neither
    EqualitiesTogether,    // equality matrix and right-hand side
    InequalitiesTogether,  // inequality matrix and right-hand side
    AnchorForPenalty,      // a non-zero quadratic turnover penalty needs previous weights
    AnchorForCosts,        // L1 turnover costs need previous weights
    CostsKind,             // L1 costs are one number or one per asset
    IdsForTargets,         // industry targets need industry ids
    StylesTogether,        // style matrix, lower and upper, all or none
  };

  static PortfolioError problem_invalid(ProblemError error);
  static PortfolioError matrix_invalid(MatrixError error);
  static PortfolioError solver_failed(SolverError error);
  static PortfolioError invalid_parameter(std::string reason);
  static PortfolioError invalid_template(std::string reason);
  static PortfolioError budget_infeasible(double budget, double lowest, double highest);
  static PortfolioError incomplete_input(InputRule rule);

  Kind kind() const { return kind_; }
  // Wrapped errors print their own message unchanged.
  std::string message() const;

  InputRule input_rule() const { return input_rule_; }

  bool operator==(const PortfolioError&) const = default;

 private:
  Kind kind_{};
  std::variant<std::monostate, ProblemError, MatrixError, SolverError> wrapped_;
  std::string reason_;
  double budget_ = 0.0;
  double lowest_ = 0.0;
  double highest_ = 0.0;
  InputRule input_rule_{};
};

class PortfolioProblem;
struct RowsBuilder;
using PortfolioResult = std::expected<PortfolioProblem, PortfolioError>;

// Immutable once built; every builder consumes the problem (call on an rvalue)
// and returns it updated or the first violated rule.
class PortfolioProblem {
 public:
  static PortfolioResult create(Matrix factors, FactorCovariance omega, std::vector<double> specific_variance,
                                std::vector<double> expected_returns);
  // The same with F scanned as it was read in.
  static PortfolioResult create(FactorScan factors, FactorCovariance omega,
                                std::vector<double> specific_variance, std::vector<double> expected_returns);

  // F and Ω replaced under create's rules (the factor count may change),
  // the specific variances kept.
  PortfolioResult with_factors(FactorScan factors, FactorCovariance omega) &&;
  PortfolioResult with_risk_aversion(double risk_aversion) &&;
  PortfolioResult with_budget(std::optional<double> budget) &&;
  PortfolioResult with_bounds(std::vector<double> lower, std::vector<double> upper) &&;
  PortfolioResult with_equalities(Matrix matrix, std::vector<double> rhs) &&;
  PortfolioResult with_inequalities(Matrix matrix, std::vector<double> rhs) &&;
  PortfolioResult with_quadratic_turnover(std::vector<double> previous_weights, double penalty) &&;
  PortfolioResult with_l1_turnover(std::vector<double> previous_weights, std::vector<double> costs) &&;
  PortfolioResult with_tracking_benchmark(std::vector<double> benchmark) &&;
  // Σ|xᵢ| ≤ limit (130/30 is 1.6), or none; a limit below |budget| is refused.
  PortfolioResult with_gross_leverage(std::optional<double> limit) &&;

  // Constraint templates: rows appended after the existing ones, limits
  // applied through with_bounds.
  PortfolioResult with_group_targets(std::vector<std::uint64_t> groups, std::vector<double> targets) &&;
  PortfolioResult with_industry_neutrality(std::vector<std::uint64_t> industry_ids) &&;
  PortfolioResult with_style_bounds(Matrix style_matrix, std::vector<double> style_lower,
                                    std::vector<double> style_upper) &&;
  PortfolioResult with_concentration_limit(double max_weight) &&;
  PortfolioResult with_short_limit(double max_short) &&;
  PortfolioResult append_group_equalities(const std::string& name, const std::vector<std::uint64_t>& ids,
                                          std::vector<double> targets) &&;

  // Budget reachability, then P = λΣ + τI, q = −μ − τx⁰ − λΣb, budget row
  // first, L1 term when costs and previous weights exist.
  std::expected<QpProblem, PortfolioError> to_qp() const;
  // The same, carrying its validation to the workspace that solves it.
  std::expected<ValidatedQp, PortfolioError> to_validated_qp() const;
  std::expected<Solution, PortfolioError> solve_with(const SolverSettings& settings,
                                                     const std::optional<WarmStart>& warm_start) const;

  std::size_t dimension() const { return covariance_.assets(); }
  const FactorQuad& covariance() const { return covariance_; }
  const std::vector<double>& expected_returns() const { return expected_returns_; }
  const double& risk_aversion() const { return risk_aversion_; }
  const std::optional<double>& budget() const { return budget_; }
  const LinearConstraints& equalities() const { return equalities_; }
  const LinearConstraints& inequalities() const { return inequalities_; }
  const std::vector<double>& lower_bounds() const { return lower_bounds_; }
  const std::vector<double>& upper_bounds() const { return upper_bounds_; }
  const std::optional<std::vector<double>>& previous_weights() const { return previous_weights_; }
  const double& turnover_penalty() const { return turnover_penalty_; }
  const std::optional<std::vector<double>>& l1_turnover_costs() const { return l1_turnover_costs_; }
  const std::optional<std::vector<double>>& benchmark_weights() const { return benchmark_weights_; }
  const std::optional<double>& gross_leverage() const { return gross_leverage_; }

  bool operator==(const PortfolioProblem&) const = default;

 private:
  PortfolioProblem() = default;
  // equalities_ = rows [1, m] of `storage`, whose row 0 is ones.
  void keep_equalities(Matrix storage, std::vector<double> rhs);
  std::expected<void, PortfolioError> append_equalities(RowsBuilder rows);

  FactorQuad covariance_;
  std::vector<double> expected_returns_;
  double risk_aversion_ = kDefaultRiskAversion;
  std::optional<double> budget_ = kDefaultBudget;
  LinearConstraints equalities_;
  // A row of ones, then the rows of equalities_ (which shares their values):
  // with a budget the lowered equality block is all of it, copied from nothing.
  Matrix budget_and_equalities_;
  LinearConstraints inequalities_;
  std::vector<double> lower_bounds_;
  std::vector<double> upper_bounds_;
  std::optional<std::vector<double>> previous_weights_;
  double turnover_penalty_ = kDefaultTurnoverPenalty;
  std::optional<std::vector<double>> l1_turnover_costs_;
  std::optional<std::vector<double>> benchmark_weights_;
  std::optional<double> gross_leverage_;
};

// create, then the builders in one fixed order: risk aversion, budget, bounds,
// equalities, inequalities, turnover (quadratic, then L1), benchmark,
// industry groups, style bounds, concentration and short limits. The first
// broken rule is returned.
PortfolioResult build_portfolio(PortfolioFields fields);

// Settings absent: the defaults. Then solve_with.
std::expected<Solution, PortfolioError> solve_mean_variance_factor(
    const PortfolioProblem& problem, const std::optional<SolverSettings>& settings = std::nullopt,
    const std::optional<WarmStart>& warm_start = std::nullopt);

// Puts a portfolio-language explanation of the solution's certificate first
// among its hints. `equality_rows` counts the problem's own equality rows
// (budget row excluded).
void append_certificate_hints(Solution& solution, std::optional<double> budget, std::size_t equality_rows);

// "3, 8"; more than five: "0, 1, 2, 3, 4, ... (7 total)".
std::string enumerate_indices(const std::vector<std::size_t>& indices);

}  // namespace morva
