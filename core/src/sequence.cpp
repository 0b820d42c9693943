// Rolling rebalance over one workspace.
//
// A date may change only vectors that leave the factored system
//   P + σI + ρ(A_eqᵀA_eq + A_inᵀA_in + I [+ I])
// intact: the linear term q = −μ − τ·x⁰ − λ·Σ·b, the L1 anchor x⁰, the
// right-hand sides b_eq = [B; user rows] and b_in, and the data of the
// projections alone: the box l ≤ x ≤ u and the L1 costs c. Everything a date writes is
// computed and validated before the first write, so a rejected date leaves the
// sequence exactly as it was.
#include "morva/sequence.hpp"

#include <cmath>
#include <span>
#include <string>

#include "detail/vector_ops.hpp"
#include "portfolio_internal.hpp"

namespace morva {

namespace {

using detail::all_finite;

constexpr const char* kPreviousWeightsWithoutTurnover =
    "previous_weights updates require a base problem built with with_quadratic_turnover and/or "
    "with_l1_turnover; the L2 penalty and the L1 costs are part of the problem structure and stay "
    "fixed for the whole sequence";
constexpr const char* kBenchmarkWithoutTracking =
    "benchmark_weights updates require a base problem built with with_tracking_benchmark; switching "
    "between absolute-risk and tracking objectives changes what the sequence is solving";
constexpr const char* kBudgetWithoutBudgetRow =
    "budget updates require a base problem with a budget constraint; adding or removing the budget row "
    "changes the factored system";
constexpr const char* kBudgetNotFinite = "budget must be finite when provided";
constexpr const char* kCostsWithoutL1 =
    "l1_turnover_costs updates require a base problem built with with_l1_turnover; adding or removing "
    "the L1 term changes the factored system";

template <typename T>
const T& given_or(const std::optional<T>& given, const T& current) {
  return given ? *given : current;
}

}  // namespace

std::expected<PortfolioSequence, PortfolioError> sequence_with(const PortfolioProblem& problem,
                                                               const SolverSettings& settings) {
  auto qp = problem.to_validated_qp();
  if (!qp) return std::unexpected(std::move(qp.error()));

  auto workspace = Workspace::create(settings, std::move(*qp));
  if (!workspace) return std::unexpected(PortfolioError::solver_failed(std::move(workspace.error())));

  PortfolioSequence sequence(std::move(*workspace));
  sequence.budget_ = problem.budget();
  sequence.expected_returns_ = problem.expected_returns();
  sequence.previous_weights_ = problem.previous_weights();
  sequence.benchmark_weights_ = problem.benchmark_weights();
  sequence.equality_rhs_ = problem.equalities().rhs;
  sequence.covariance_ = problem.covariance();
  sequence.risk_aversion_ = problem.risk_aversion();
  sequence.turnover_penalty_ = problem.turnover_penalty();
  sequence.has_l1_costs_ = problem.l1_turnover_costs().has_value();
  return sequence;
}

// The steps of solve_next, in order. Everything a date writes is computed and
// checked before the first write.
struct SequenceSteps {
  // Every check of a date, in field order; nothing is written here.
  static std::expected<void, PortfolioError> check(const PortfolioSequence& sequence,
                                                   const RebalanceStep& step) {
    const std::size_t n = sequence.dimension();
    const QpProblem& lowered = sequence.workspace_.problem();
    // A given vector of `length` finite values.
    const auto finite = [](const char* name, const std::optional<std::vector<double>>& given,
                           std::size_t length) -> std::expected<void, PortfolioError> {
      if (!given) return {};
      return check_finite_vector(name, *given, length);
    };
    if (auto ok = finite("expected_returns", step.expected_returns, n); !ok) return ok;
    if (step.previous_weights && !sequence.previous_weights_)
      return parameter_failure(kPreviousWeightsWithoutTurnover);
    if (auto ok = finite("previous_weights", step.previous_weights, n); !ok) return ok;
    if (step.benchmark_weights && !sequence.benchmark_weights_)
      return parameter_failure(kBenchmarkWithoutTracking);
    if (auto ok = finite("benchmark_weights", step.benchmark_weights, n); !ok) return ok;
    if (step.budget && !sequence.budget_) return parameter_failure(kBudgetWithoutBudgetRow);
    if (step.budget && !std::isfinite(*step.budget)) return parameter_failure(kBudgetNotFinite);
    // A date with a new box checks the reach against it, once it is known.
    if (step.budget && !changes_box(step)) {
      if (auto ok = BudgetReach::of(lowered.lower_bounds, lowered.upper_bounds).admits(*step.budget); !ok)
        return ok;
    }
    const std::size_t m_eq = sequence.equality_rhs_.size();
    if (auto ok = finite("equality_rhs", step.equality_rhs, m_eq); !ok) return ok;
    if (auto ok = finite("inequality_rhs", step.inequality_rhs, lowered.m_in()); !ok) return ok;
    // The box as with_bounds checks it, then the budget's reach under it (the
    // lowering's rule), then the L1 costs as with_l1_turnover checks them.
    if (changes_box(step)) {
      const std::vector<double>& lower = given_or(step.lower_bounds, lowered.lower_bounds);
      const std::vector<double>& upper = given_or(step.upper_bounds, lowered.upper_bounds);
      if (auto ok = check_box(lower, upper, n); !ok) return ok;
      if (sequence.budget_) {
        const double budget = given_or(step.budget, *sequence.budget_);
        if (auto ok = BudgetReach::of(lower, upper).admits(budget); !ok) return ok;
      }
    }
    if (step.l1_turnover_costs && !sequence.has_l1_costs_) return parameter_failure(kCostsWithoutL1);
    if (step.l1_turnover_costs) return check_l1_costs(*step.l1_turnover_costs, n);
    return {};
  }

  static bool changes_box(const RebalanceStep& step) { return step.lower_bounds || step.upper_bounds; }

  // The lowering's linear term for the updated data; nothing when the date
  // changes none of its inputs.
  static std::expected<std::optional<std::vector<double>>, PortfolioError> linear_term_for(
      const PortfolioSequence& sequence, const RebalanceStep& step) {
    if (!step.expected_returns && !step.previous_weights && !step.benchmark_weights) return std::nullopt;
    LinearTermData data{given_or(step.expected_returns, sequence.expected_returns_), std::nullopt,
                        std::nullopt};
    if (sequence.previous_weights_)
      data.anchor = given_or(step.previous_weights, *sequence.previous_weights_);
    if (sequence.benchmark_weights_)
      data.benchmark = given_or(step.benchmark_weights, *sequence.benchmark_weights_);
    std::vector<double> q =
        linear_term(sequence.covariance_, sequence.risk_aversion_, sequence.turnover_penalty_, data);
    // Finite inputs can still overflow (a huge μ meeting a huge τ·x⁰).
    if (!all_finite(q)) return problem_failure(ProblemError::non_finite("linear"));
    return q;
  }

  // b_eq for the updated data, the budget row first as lowered; nothing when
  // the date changes neither part.
  static std::optional<std::vector<double>> equality_rhs_for(const PortfolioSequence& sequence,
                                                             const RebalanceStep& step) {
    if (!step.budget && !step.equality_rhs) return std::nullopt;
    std::optional<double> budget = sequence.budget_;
    if (budget && step.budget) budget = *step.budget;
    return equality_rhs_with_budget(budget, given_or(step.equality_rhs, sequence.equality_rhs_));
  }

  // Each write keeps the unscaled problem and its equilibrated copy in step.
  // Their own checks cannot fail for data validated by check.
  static std::expected<void, PortfolioError> write(PortfolioSequence& sequence, const RebalanceStep& step,
                                                   const std::optional<std::vector<double>>& linear,
                                                   const std::optional<std::vector<double>>& equality_rhs) {
    // The first write that fails stops the others.
    Workspace& workspace = sequence.workspace_;
    std::expected<void, ProblemError> written;
    if (linear) written = workspace.update_linear(*linear);
    if (written && step.previous_weights && sequence.has_l1_costs_) {
      written = workspace.update_l1_anchor(*step.previous_weights);
    }
    if (written && equality_rhs) written = workspace.update_equality_rhs(*equality_rhs);
    if (written && step.inequality_rhs) written = workspace.update_inequality_rhs(*step.inequality_rhs);
    if (written && changes_box(step)) {
      // Copies: a side the date keeps is read from the vector being replaced.
      const QpProblem& lowered = workspace.problem();
      const std::vector<double> lower = given_or(step.lower_bounds, lowered.lower_bounds);
      const std::vector<double> upper = given_or(step.upper_bounds, lowered.upper_bounds);
      written = workspace.update_bounds(lower, upper);
    }
    if (written && step.l1_turnover_costs) written = workspace.update_l1_costs(*step.l1_turnover_costs);
    if (!written) return problem_failure(std::move(written.error()));
    if (step.expected_returns) sequence.expected_returns_ = *step.expected_returns;
    if (step.previous_weights) sequence.previous_weights_ = *step.previous_weights;
    if (step.benchmark_weights) sequence.benchmark_weights_ = *step.benchmark_weights;
    if (step.budget) sequence.budget_ = *step.budget;
    if (step.equality_rhs) sequence.equality_rhs_ = *step.equality_rhs;
    return {};
  }

  // Solves from the previous date's iterate and keeps the start for the next.
  static std::expected<Solution, PortfolioError> solve_warm(PortfolioSequence& sequence) {
    auto solution = sequence.workspace_.solve_from(Clock::now(), sequence.warm_start_);
    if (!solution) return std::unexpected(PortfolioError::solver_failed(std::move(solution.error())));

    append_certificate_hints(*solution, sequence.budget_, sequence.equality_rhs_.size());

    // An unconverged iterate is still a good start; an infeasibility or a
    // numerical failure is not, so the next date starts cold.
    if (solution->status == SolveStatus::Solved || solution->status == SolveStatus::MaxIterations) {
      sequence.warm_start_ = solution->warm_start();
    } else {
      sequence.warm_start_.reset();
    }
    return std::move(*solution);
  }
};

std::expected<void, PortfolioError> PortfolioSequence::start_from(WarmStart start) {
  if (auto ok = workspace_.check_warm_start(start); !ok)
    return std::unexpected(PortfolioError::solver_failed(std::move(ok.error())));
  warm_start_ = std::move(start);
  return {};
}

std::expected<Solution, PortfolioError> PortfolioSequence::solve_next(const RebalanceStep& step) {
  if (auto ok = SequenceSteps::check(*this, step); !ok) return std::unexpected(std::move(ok.error()));
  auto linear = SequenceSteps::linear_term_for(*this, step);
  if (!linear) return std::unexpected(std::move(linear.error()));
  const std::optional<std::vector<double>> equality_rhs = SequenceSteps::equality_rhs_for(*this, step);

  if (auto ok = SequenceSteps::write(*this, step, *linear, equality_rhs); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return SequenceSteps::solve_warm(*this);
}

}  // namespace morva
