// The portfolio record: validating builders, building from decoded fields,
// lowering to a QP and one-shot solves. The constraint templates live in
// portfolio_templates.cpp, the reading of certificates in portfolio_explain.cpp.
#include "morva/portfolio.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "detail/vector_ops.hpp"
#include "known_supports.hpp"
#include "morva/format.hpp"
#include "morva/large_storage.hpp"
#include "morva/workspace.hpp"
#include "portfolio_internal.hpp"

namespace morva {

// Failures and checks that every builder uses.
namespace {

using detail::all_finite;
using detail::finite_non_negative;

// Shared validation of a replacement constraint block: width, finite entries,
// finite right-hand side, then one right-hand side per row.
std::expected<LinearConstraints, PortfolioError> validated_constraints(const char* name, Matrix matrix,
                                                                       std::vector<double> rhs,
                                                                       std::size_t n) {
  if (matrix.cols() != n) return problem_failure(ProblemError::dimension_mismatch(name, n, matrix.cols()));
  if (!all_finite(matrix.data()) || !all_finite(rhs)) return problem_failure(ProblemError::non_finite(name));
  if (rhs.size() != matrix.rows()) {
    return problem_failure(ProblemError::dimension_mismatch("constraints.rhs", matrix.rows(), rhs.size()));
  }
  return LinearConstraints{std::move(matrix), std::move(rhs)};
}

}  // namespace

// A vector of n finite values, or the first broken rule under `name`.
std::expected<void, PortfolioError> check_finite_vector(const char* name, std::span<const double> values,
                                                        std::size_t n) {
  if (values.size() != n) return problem_failure(ProblemError::dimension_mismatch(name, n, values.size()));
  if (!all_finite(values)) return problem_failure(ProblemError::non_finite(name));
  return {};
}

std::expected<void, PortfolioError> check_box(std::span<const double> lower, std::span<const double> upper,
                                              std::size_t n) {
  if (lower.size() != n)
    return problem_failure(ProblemError::dimension_mismatch("lower_bounds", n, lower.size()));
  if (any_nan(lower)) return problem_failure(ProblemError::non_finite("lower_bounds"));
  if (upper.size() != n)
    return problem_failure(ProblemError::dimension_mismatch("upper_bounds", n, upper.size()));
  if (any_nan(upper)) return problem_failure(ProblemError::non_finite("upper_bounds"));
  for (std::size_t i = 0; i < n; ++i) {
    if (lower[i] > upper[i]) return problem_failure(ProblemError::invalid_bounds(i, lower[i], upper[i]));
  }
  return {};
}

std::expected<void, PortfolioError> check_l1_costs(std::span<const double> costs, std::size_t n) {
  if (auto ok = check_finite_vector("l1_turnover_costs", costs, n); !ok) return ok;
  if (std::any_of(costs.begin(), costs.end(), [](double c) { return c < 0.0; })) {
    return parameter_failure("l1 turnover costs must be non-negative");
  }
  return {};
}

// Errors: the kinds of PortfolioError and their messages.

PortfolioError PortfolioError::problem_invalid(ProblemError error) {
  PortfolioError result;
  result.kind_ = Kind::ProblemInvalid;
  result.wrapped_ = std::move(error);
  return result;
}

PortfolioError PortfolioError::matrix_invalid(MatrixError error) {
  PortfolioError result;
  result.kind_ = Kind::MatrixInvalid;
  result.wrapped_ = std::move(error);
  return result;
}

PortfolioError PortfolioError::solver_failed(SolverError error) {
  PortfolioError result;
  result.kind_ = Kind::SolverFailed;
  result.wrapped_ = std::move(error);
  return result;
}

PortfolioError PortfolioError::invalid_parameter(std::string reason) {
  PortfolioError result;
  result.kind_ = Kind::InvalidParameter;
  result.reason_ = std::move(reason);
  return result;
}

PortfolioError PortfolioError::invalid_template(std::string reason) {
  PortfolioError result;
  result.kind_ = Kind::InvalidTemplate;
  result.reason_ = std::move(reason);
  return result;
}

PortfolioError PortfolioError::budget_infeasible(double budget, double lowest, double highest) {
  PortfolioError result;
  result.kind_ = Kind::BudgetInfeasible;
  result.budget_ = budget;
  result.lowest_ = lowest;
  result.highest_ = highest;
  return result;
}

PortfolioError PortfolioError::incomplete_input(InputRule rule) {
  PortfolioError result;
  result.kind_ = Kind::IncompleteInput;
  result.input_rule_ = rule;
  return result;
}

namespace {

std::string_view input_rule_text(PortfolioError::InputRule rule) {
  using Rule = PortfolioError::InputRule;
  switch (rule) {
    case Rule::BoundsTogether: return "lower_bounds and upper_bounds must be provided together";
    case Rule::EqualitiesTogether: return "equality_matrix and equality_rhs must be provided together";
    case Rule::InequalitiesTogether: return "inequality_matrix and inequality_rhs must be provided together";
    case Rule::AnchorForPenalty: return "previous_weights is required when turnover_penalty is non-zero";
    case Rule::AnchorForCosts: return "previous_weights is required when l1_turnover_costs is provided";
    case Rule::CostsKind: return "l1_turnover_costs must be a float or a one-dimensional float array";
    case Rule::IdsForTargets: return "industry_targets requires industry_ids";
    case Rule::StylesTogether: return "style_matrix, style_lower, and style_upper must be provided together";
  }
  return {};
}

}  // namespace

std::string PortfolioError::message() const {
  switch (kind_) {
    case Kind::ProblemInvalid: return std::get<ProblemError>(wrapped_).message();
    case Kind::MatrixInvalid: return std::get<MatrixError>(wrapped_).message();
    case Kind::SolverFailed: return std::get<SolverError>(wrapped_).message();
    case Kind::InvalidParameter: return "invalid portfolio parameter: " + reason_;
    case Kind::InvalidTemplate: return "invalid constraint template: " + reason_;
    case Kind::BudgetInfeasible:
      return "budget " + format_decimal(budget_) +
             " is impossible under the box constraints: reachable sum is [" + format_decimal(lowest_) + ", " +
             format_decimal(highest_) + "]";
    case Kind::IncompleteInput: return std::string(input_rule_text(input_rule_));
  }
  return {};
}

// Construction and the basic builders: each checks its input, then replaces
// one part of the record.

PortfolioResult PortfolioProblem::create(Matrix factors, FactorCovariance omega,
                                         std::vector<double> specific_variance,
                                         std::vector<double> expected_returns) {
  return create(FactorScan::of(std::move(factors)), std::move(omega), std::move(specific_variance),
                std::move(expected_returns));
}

PortfolioResult PortfolioProblem::create(FactorScan factors, FactorCovariance omega,
                                         std::vector<double> specific_variance,
                                         std::vector<double> expected_returns) {
  auto covariance = FactorQuad::create(std::move(factors), std::move(omega), std::move(specific_variance));
  if (!covariance) return problem_failure(std::move(covariance.error()));
  const std::size_t n = covariance->assets();
  if (auto ok = check_finite_vector("expected_returns", expected_returns, n); !ok) {
    return std::unexpected(std::move(ok.error()));
  }

  PortfolioProblem problem;
  problem.covariance_ = std::move(*covariance);
  problem.expected_returns_ = std::move(expected_returns);
  problem.keep_equalities(behind_ones_row(Matrix::zeros(0, n)), {});
  problem.inequalities_ = LinearConstraints::empty(n);
  problem.lower_bounds_.assign(n, 0.0);
  problem.upper_bounds_.assign(n, 1.0);
  return problem;
}

PortfolioResult PortfolioProblem::with_factors(FactorScan factors, FactorCovariance omega) && {
  auto covariance = FactorQuad::create(std::move(factors), std::move(omega), std::move(covariance_.diagonal));
  if (!covariance) return problem_failure(std::move(covariance.error()));
  covariance_ = std::move(*covariance);
  return std::move(*this);
}

PortfolioResult PortfolioProblem::with_risk_aversion(double risk_aversion) && {
  // Positive subnormals pass: only zero, negatives and non-finite values fail.
  if (!(std::isfinite(risk_aversion) && risk_aversion > 0.0)) {
    return parameter_failure("risk_aversion must be finite and positive");
  }
  risk_aversion_ = risk_aversion;
  return std::move(*this);
}

PortfolioResult PortfolioProblem::with_gross_leverage(std::optional<double> limit) && {
  if (limit && !(std::isfinite(*limit) && *limit > 0.0))
    return parameter_failure("gross_leverage must be finite and positive");
  if (limit && budget_ && *limit < std::abs(*budget_)) {
    return parameter_failure("gross_leverage " + format_decimal(*limit) + " is below the budget " +
                             format_decimal(*budget_) +
                             ": weights that sum to the budget hold at least |budget| "
                             "gross; raise gross_leverage to at least " +
                             format_decimal(std::abs(*budget_)));
  }
  gross_leverage_ = limit;
  return std::move(*this);
}

PortfolioResult PortfolioProblem::with_budget(std::optional<double> budget) && {
  if (budget && !std::isfinite(*budget)) return parameter_failure("budget must be finite when provided");
  budget_ = budget;
  return std::move(*this);
}

PortfolioResult PortfolioProblem::with_bounds(std::vector<double> lower, std::vector<double> upper) && {
  if (auto ok = check_box(lower, upper, dimension()); !ok) return std::unexpected(std::move(ok.error()));
  lower_bounds_ = std::move(lower);
  upper_bounds_ = std::move(upper);
  return std::move(*this);
}

PortfolioResult PortfolioProblem::with_equalities(Matrix matrix, std::vector<double> rhs) && {
  auto block = validated_constraints("equalities", std::move(matrix), std::move(rhs), dimension());
  if (!block) return std::unexpected(std::move(block.error()));
  keep_equalities(behind_ones_row(block->matrix), std::move(block->rhs));
  return std::move(*this);
}

std::expected<void, PortfolioError> PortfolioProblem::append_equalities(RowsBuilder rows) {
  auto grown = std::move(rows).appended_to(budget_and_equalities_, 1, equalities_);
  if (!grown) return std::unexpected(std::move(grown.error()));
  budget_and_equalities_ = std::move(grown->storage);
  equalities_ = std::move(grown->block);
  return {};
}

void PortfolioProblem::keep_equalities(Matrix storage, std::vector<double> rhs) {
  equalities_ = {Matrix::rows_of(storage, 1, storage.rows() - 1), std::move(rhs)};
  budget_and_equalities_ = std::move(storage);
}

PortfolioResult PortfolioProblem::with_inequalities(Matrix matrix, std::vector<double> rhs) && {
  auto block = validated_constraints("inequalities", std::move(matrix), std::move(rhs), dimension());
  if (!block) return std::unexpected(std::move(block.error()));
  inequalities_ = std::move(*block);
  return std::move(*this);
}

PortfolioResult PortfolioProblem::with_quadratic_turnover(std::vector<double> previous_weights,
                                                          double penalty) && {
  if (auto ok = check_finite_vector("previous_weights", previous_weights, dimension()); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  if (!finite_non_negative(penalty))
    return parameter_failure("turnover_penalty must be finite and non-negative");
  previous_weights_ = std::move(previous_weights);
  turnover_penalty_ = penalty;
  return std::move(*this);
}

PortfolioResult PortfolioProblem::with_l1_turnover(std::vector<double> previous_weights,
                                                   std::vector<double> costs) && {
  const std::size_t n = dimension();
  if (auto ok = check_finite_vector("previous_weights", previous_weights, n); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  if (auto ok = check_l1_costs(costs, n); !ok) return std::unexpected(std::move(ok.error()));
  previous_weights_ = std::move(previous_weights);
  l1_turnover_costs_ = std::move(costs);
  return std::move(*this);
}

PortfolioResult PortfolioProblem::with_tracking_benchmark(std::vector<double> benchmark) && {
  if (auto ok = check_finite_vector("benchmark_weights", benchmark, dimension()); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  benchmark_weights_ = std::move(benchmark);
  return std::move(*this);
}

RowsBuilder RowsBuilder::behind(const Matrix& storage, std::size_t room) {
  RowsBuilder rows;
  rows.behind_storage = true;
  rows.data = large_storage(storage.data().size() + room);
  rows.data.assign(storage.data().begin(), storage.data().end());
  return rows;
}

std::expected<RowsBuilder::Appended, PortfolioError> RowsBuilder::appended_to(
    const Matrix& storage, std::size_t lead, const LinearConstraints& block) && {
  const std::size_t cols = storage.cols();
  const std::size_t rows = block.rows() + count;
  // Behind an empty storage the new rows are the storage itself.
  if (!behind_storage && storage.rows() > 0) {
    std::vector<double> joined = large_storage(storage.data().size() + data.size());
    joined.assign(storage.data().begin(), storage.data().end());
    joined.insert(joined.end(), data.begin(), data.end());
    data = std::move(joined);
  }
  auto matrix = Matrix::create(lead + rows, cols, std::move(data));
  if (!matrix) return std::unexpected(PortfolioError::matrix_invalid(std::move(matrix.error())));

  std::vector<double> combined_rhs = block.rhs;
  combined_rhs.insert(combined_rhs.end(), rhs.begin(), rhs.end());
  if (combined_rhs.size() != rows) {
    return problem_failure(ProblemError::dimension_mismatch("constraints.rhs", rows, combined_rhs.size()));
  }
  Matrix rows_only = Matrix::rows_of(*matrix, lead, rows);
  // The block's rows keep what is known of them, the new rows bring theirs,
  // now at the joined storage's address.
  auto known = record_supports(rows_only, 0, block, std::move(supports));
  return Appended{std::move(*matrix),
                  LinearConstraints{std::move(rows_only), std::move(combined_rhs), std::move(known)}};
}

Matrix behind_ones_row(const Matrix& rows) {
  std::vector<double> data(rows.cols(), 1.0);
  data.insert(data.end(), rows.data().begin(), rows.data().end());
  // One row more than a matrix that exists.
  return *Matrix::create(rows.rows() + 1, rows.cols(), std::move(data));
}

void RowsBuilder::add(std::span<const double> row, double sign, double right_hand_side) {
  const std::size_t first = data.size();
  data.insert(data.end(), row.begin(), row.end());
  if (sign < 0.0) {
    for (std::size_t j = first; j < data.size(); ++j) data[j] = -data[j];
  }
  rhs.push_back(right_hand_side);
  ++count;
}

// Building from decoded fields: the one builder chain that the JSON reader
// and the Python module run.

namespace {

using Rule = PortfolioError::InputRule;

std::unexpected<PortfolioError> input_failure(Rule rule) {
  return std::unexpected(PortfolioError::incomplete_input(rule));
}

// The costs of every asset; a single number applies to all n.
std::expected<std::vector<double>, PortfolioError> costs_per_asset(L1Costs costs, std::size_t n) {
  if (auto* each = std::get_if<std::vector<double>>(&costs)) return std::move(*each);
  if (const auto* one = std::get_if<double>(&costs)) return std::vector<double>(n, *one);
  return input_failure(Rule::CostsKind);
}

PortfolioResult with_scalars(PortfolioProblem&& problem, PortfolioFields& fields) {
  auto result = std::move(problem).with_risk_aversion(fields.risk_aversion);
  if (!result) return result;
  return std::move(*result).with_budget(fields.budget);
}

// Two inputs that only make sense together: both or neither; the builder
// runs when both are given.
template <class First, class Second>
PortfolioResult with_pair(PortfolioProblem&& problem, std::optional<First>& first,
                          std::optional<Second>& second, Rule rule,
                          PortfolioResult (PortfolioProblem::*builder)(First, Second) &&) {
  if (first.has_value() != second.has_value()) return input_failure(rule);
  if (!first) return std::move(problem);
  return (std::move(problem).*builder)(std::move(*first), std::move(*second));
}

PortfolioResult with_box(PortfolioProblem&& problem, PortfolioFields& fields) {
  return with_pair(std::move(problem), fields.lower_bounds, fields.upper_bounds, Rule::BoundsTogether,
                   &PortfolioProblem::with_bounds);
}

PortfolioResult with_equality_rows(PortfolioProblem&& problem, PortfolioFields& fields) {
  return with_pair(std::move(problem), fields.equality_matrix, fields.equality_rhs, Rule::EqualitiesTogether,
                   &PortfolioProblem::with_equalities);
}

PortfolioResult with_inequality_rows(PortfolioProblem&& problem, PortfolioFields& fields) {
  return with_pair(std::move(problem), fields.inequality_matrix, fields.inequality_rhs,
                   Rule::InequalitiesTogether, &PortfolioProblem::with_inequalities);
}

// Both turnover terms are measured from the previous weights. The quadratic
// builder runs even for a zero penalty: it validates the penalty and installs
// the anchor the L1 term shares.
PortfolioResult with_turnover(PortfolioProblem&& problem, PortfolioFields& fields) {
  if (!fields.previous_weights) {
    // NaN compares unequal to zero, so a NaN penalty counts as non-zero.
    if (fields.turnover_penalty != 0.0) return input_failure(Rule::AnchorForPenalty);
    if (fields.l1_turnover_costs) return input_failure(Rule::AnchorForCosts);
    return std::move(problem);
  }
  const std::size_t n = problem.dimension();
  auto result = std::move(problem).with_quadratic_turnover(*fields.previous_weights, fields.turnover_penalty);
  if (!result || !fields.l1_turnover_costs) return result;
  auto costs = costs_per_asset(std::move(*fields.l1_turnover_costs), n);
  if (!costs) return std::unexpected(std::move(costs.error()));
  return std::move(*result).with_l1_turnover(std::move(*fields.previous_weights), std::move(*costs));
}

PortfolioResult with_benchmark(PortfolioProblem&& problem, PortfolioFields& fields) {
  if (!fields.benchmark_weights) return std::move(problem);
  return std::move(problem).with_tracking_benchmark(std::move(*fields.benchmark_weights));
}

// Explicit targets per group, or targets derived from the benchmark.
PortfolioResult with_industries(PortfolioProblem&& problem, PortfolioFields& fields) {
  if (!fields.industry_ids && fields.industry_targets) return input_failure(Rule::IdsForTargets);
  if (!fields.industry_ids) return std::move(problem);
  if (fields.industry_targets) {
    return std::move(problem).with_group_targets(std::move(*fields.industry_ids),
                                                 std::move(*fields.industry_targets));
  }
  return std::move(problem).with_industry_neutrality(std::move(*fields.industry_ids));
}

PortfolioResult with_styles(PortfolioProblem&& problem, PortfolioFields& fields) {
  const int parts = static_cast<int>(fields.style_matrix.has_value()) +
                    static_cast<int>(fields.style_lower.has_value()) +
                    static_cast<int>(fields.style_upper.has_value());
  if (parts == 0) return std::move(problem);
  if (parts != 3) return input_failure(Rule::StylesTogether);
  return std::move(problem).with_style_bounds(std::move(*fields.style_matrix), std::move(*fields.style_lower),
                                              std::move(*fields.style_upper));
}

PortfolioResult with_limits(PortfolioProblem&& problem, PortfolioFields& fields) {
  PortfolioResult result = std::move(problem);
  if (fields.max_weight) result = std::move(*result).with_concentration_limit(*fields.max_weight);
  if (result && fields.max_short) result = std::move(*result).with_short_limit(*fields.max_short);
  return result;
}

}  // namespace

PortfolioResult build_portfolio(PortfolioFields fields) {
  using Builder = PortfolioResult (*)(PortfolioProblem&&, PortfolioFields&);
  static constexpr Builder kBuilders[] = {with_scalars,         with_box,      with_equality_rows,
                                          with_inequality_rows, with_turnover, with_benchmark,
                                          with_industries,      with_styles,   with_limits};
  auto problem =
      PortfolioProblem::create(std::move(fields.factors), std::move(fields.omega),
                               std::move(fields.specific_variance), std::move(fields.expected_returns));
  for (const Builder builder : kBuilders) {
    if (!problem) break;
    problem = builder(std::move(*problem), fields);
  }
  return problem;
}

// Lowering: budget reachability, P and q of the QP with the budget row first,
// and the one-shot solve.

double summation_error_bound(std::span<const double> values) {
  // Recursive summation of n terms errs by at most γ_{n−1}·Σ|x|, with
  // γ_m = m·u/(1 − m·u) and u = 2⁻⁵³. Σ|x| is itself a rounded left-to-right
  // sum of non-negative terms, at least (1 − γ_{n−1}) times the exact one, so
  // the bound used is γ_{n−1}/(1 − γ_{n−1})·fl(Σ|x|) = m·u/(1 − 2m·u)·fl(Σ|x|).
  // m·u and 1 − 2m·u are exact; the quotient and the product each round by at
  // most a factor 1 + u, and each step to the next double up gains more than
  // that, so two steps keep the result above the exact bound.
  if (values.size() < 2) return 0.0;
  double total = 0.0;
  double magnitude = 0.0;
  for (const double v : values) {
    total += v;
    magnitude += std::abs(v);
  }
  // An infinite or undefined sum is compared as it is, as before.
  if (!std::isfinite(total)) return 0.0;
  constexpr double kUnitRoundoff = 0x1p-53;
  const double mu = static_cast<double>(values.size() - 1) * kUnitRoundoff;
  const double bound = mu / (1.0 - 2.0 * mu) * magnitude;
  if (bound == 0.0) return 0.0;
  const double infinity = std::numeric_limits<double>::infinity();
  return std::nextafter(std::nextafter(bound, infinity), infinity);
}

BudgetReach BudgetReach::of(std::span<const double> lower, std::span<const double> upper) {
  BudgetReach reach;
  for (const double l : lower) reach.lowest_ += l;
  for (const double u : upper) reach.highest_ += u;
  reach.lowest_error_ = summation_error_bound(lower);
  reach.highest_error_ = summation_error_bound(upper);
  return reach;
}

std::expected<void, PortfolioError> BudgetReach::admits(double budget) const {
  // Written as differences: near the edge B and the sum are within a factor
  // two of each other, so B − Σu is exact and only the bound decides.
  if (lowest_ - budget > lowest_error_ || budget - highest_ > highest_error_) {
    return std::unexpected(PortfolioError::budget_infeasible(budget, lowest_, highest_));
  }
  return {};
}

std::vector<double> linear_term(const FactorQuad& covariance, double risk_aversion, double turnover_penalty,
                                const LinearTermData& data) {
  const std::size_t n = data.expected_returns.size();
  std::vector<double> linear(n);
  for (std::size_t i = 0; i < n; ++i) linear[i] = -data.expected_returns[i];
  if (data.anchor) {
    for (std::size_t i = 0; i < n; ++i) linear[i] -= turnover_penalty * (*data.anchor)[i];
  }
  if (data.benchmark) {
    const std::vector<double> covariance_times_benchmark = covariance.apply(*data.benchmark);
    for (std::size_t i = 0; i < n; ++i) linear[i] -= risk_aversion * covariance_times_benchmark[i];
  }
  return linear;
}

std::vector<double> equality_rhs_with_budget(std::optional<double> budget, std::span<const double> rows) {
  std::vector<double> rhs;
  rhs.reserve(rows.size() + (budget ? 1 : 0));
  if (budget) rhs.push_back(*budget);
  rhs.insert(rhs.end(), rows.begin(), rows.end());
  return rhs;
}

std::expected<QpProblem, PortfolioError> PortfolioProblem::to_qp() const {
  auto qp = to_validated_qp();
  if (!qp) return std::unexpected(std::move(qp.error()));
  return std::move(*qp).release();
}

std::expected<ValidatedQp, PortfolioError> PortfolioProblem::to_validated_qp() const {
  const std::size_t n = dimension();
  const double lambda = risk_aversion_;
  const double tau = turnover_penalty_;

  if (budget_) {
    if (auto ok = BudgetReach::of(lower_bounds_, upper_bounds_).admits(*budget_); !ok) {
      return std::unexpected(std::move(ok.error()));
    }
  }

  // P = λΣ + τI = diag(λd + τ) + F·(λΩ)·Fᵀ, sharing F (and what its scan
  // found); validated with the rest of the QP below, the quadratic form first.
  FactorQuad quadratic = covariance_;
  if (quadratic.omega.is_dense()) {
    for (double& v : quadratic.omega.dense_matrix().data()) v *= lambda;
  } else {
    for (double& v : quadratic.omega.diagonal_values()) v *= lambda;
  }
  for (std::size_t i = 0; i < n; ++i) quadratic.diagonal[i] = lambda * covariance_.diagonal[i] + tau;

  LinearTermData linear_data{expected_returns_, std::nullopt, std::nullopt};
  if (previous_weights_) linear_data.anchor = *previous_weights_;
  if (benchmark_weights_) linear_data.benchmark = *benchmark_weights_;
  std::vector<double> linear = linear_term(covariance_, lambda, tau, linear_data);

  std::optional<L1Term> l1;
  if (l1_turnover_costs_ && previous_weights_) l1 = L1Term{*l1_turnover_costs_, *previous_weights_};

  // The budget row is row 0 of the QP's equality block; certificates and the
  // explanations rely on that. The rows are kept behind a row of ones, so
  // either block shares their values.
  LinearConstraints equalities =
      budget_ ? LinearConstraints{Matrix::rows_of(budget_and_equalities_, 0, equalities_.rows() + 1),
                                  equality_rhs_with_budget(budget_, equalities_.rhs)}
              : equalities_;
  // The rows' known positions behind the budget row's, which is read whole.
  if (budget_) equalities.known_supports = record_supports(equalities.matrix, 1, equalities_, {});
  if (equalities.rhs.size() != equalities.rows()) {
    return problem_failure(
        ProblemError::dimension_mismatch("constraints.rhs", equalities.rows(), equalities.rhs.size()));
  }

  // F, the equality rows (and the budget row of ones) and the inequality rows
  // were checked finite when the problem was built; what lowering derives
  // from them (λΩ, λd + τ, q) is checked here.
  std::optional<GrossLeverage> leverage;
  if (gross_leverage_) leverage = GrossLeverage{*gross_leverage_, {}};
  auto qp =
      ValidatedQp::of(QpProblem{std::move(quadratic), std::move(linear), std::move(equalities), inequalities_,
                                lower_bounds_, upper_bounds_, std::move(l1), std::move(leverage)},
                      DataEntries::KnownFinite);
  if (!qp) return problem_failure(std::move(qp.error()));
  return std::move(*qp);
}

std::expected<Solution, PortfolioError> PortfolioProblem::solve_with(
    const SolverSettings& settings, const std::optional<WarmStart>& warm_start) const {
  auto qp = to_validated_qp();
  if (!qp) return std::unexpected(std::move(qp.error()));
  // The solve time includes equilibration and the first factorisation.
  const Clock::time_point start = Clock::now();
  auto workspace = Workspace::create(settings, std::move(*qp));
  if (!workspace) return std::unexpected(PortfolioError::solver_failed(std::move(workspace.error())));
  auto solution = workspace->solve_from(start, warm_start);
  if (!solution) return std::unexpected(PortfolioError::solver_failed(std::move(solution.error())));
  append_certificate_hints(*solution, budget_, equalities_.rows());
  return std::move(*solution);
}

std::expected<Solution, PortfolioError> solve_mean_variance_factor(
    const PortfolioProblem& problem, const std::optional<SolverSettings>& settings,
    const std::optional<WarmStart>& warm_start) {
  return problem.solve_with(settings.value_or(SolverSettings{}), warm_start);
}

}  // namespace morva
