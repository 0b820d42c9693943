// Rolling sequences: date validation and its order, the untouched state after
// a rejection, the written data against a fresh lowering, warm-start chaining
// by status, and the factorisation count across dates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "factor_rows.hpp"
#include "morva/portfolio.hpp"
#include "morva/sequence.hpp"
#include "support/dense.hpp"
#include "support/same_solution.hpp"

namespace morva {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kAssets = 6;

// Everything a date may change, plus the structural switches of the base.
// Six assets, two factors:
//   equality   x0 + x2 = eq_rhs[0]           (after the budget row)
//   inequality x2 + x3 ≤ in_rhs[0],  x4 + x5 ≤ in_rhs[1]
//   box        l = (−0.1, −0.2, −0.3, −0.05, −0.05, −0.05), u = (0.1, 0.2, 0.3, 0.5, 0.5, 0.5)
// so the reachable budget sums are lo = −0.7500000000000002 (left to right)
// and hi = 2.1.
struct Market {
  std::vector<double> expected_returns{0.05, 0.04, 0.07, 0.03, 0.06, 0.045};
  std::vector<double> previous_weights{0.1, 0.2, 0.2, 0.2, 0.15, 0.15};
  std::vector<double> benchmark_weights{0.15, 0.15, 0.2, 0.2, 0.15, 0.15};
  std::optional<double> budget = 1.0;
  std::vector<double> equality_rhs{0.3};
  std::vector<double> inequality_rhs{0.45, 0.6};
  std::vector<double> lower_bounds{-0.1, -0.2, -0.3, -0.05, -0.05, -0.05};
  std::vector<double> upper_bounds{0.1, 0.2, 0.3, 0.5, 0.5, 0.5};
  std::vector<double> costs = std::vector<double>(6, 0.002);
  double turnover_penalty = 0.5;
  bool quadratic_turnover = true;
  bool l1_costs = true;
  bool tracking = true;
  bool rows = true;
};

constexpr double kLowestSum = -0.7500000000000002;
constexpr double kHighestSum = 2.1;

PortfolioProblem build(const Market& m) {
  Matrix factors =
      Matrix::create(kAssets, 2, {1.0, 0.2, 0.9, -0.1, 1.1, 0.4, 0.8, 0.0, 1.2, -0.3, 0.7, 0.5}).value();
  auto p = PortfolioProblem::create(std::move(factors), FactorCovariance::diagonal({0.04, 0.02}),
                                    {0.010, 0.015, 0.020, 0.012, 0.018, 0.025}, m.expected_returns)
               .value();
  p = std::move(p).with_risk_aversion(3.0).value();
  p = std::move(p).with_budget(m.budget).value();
  p = std::move(p).with_bounds(m.lower_bounds, m.upper_bounds).value();
  if (m.rows) {
    p = std::move(p)
            .with_equalities(Matrix::create(1, kAssets, {1, 0, 1, 0, 0, 0}).value(), m.equality_rhs)
            .value();
    p = std::move(p)
            .with_inequalities(Matrix::create(2, kAssets, {0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 1, 1}).value(),
                               m.inequality_rhs)
            .value();
  }
  if (m.quadratic_turnover) {
    p = std::move(p).with_quadratic_turnover(m.previous_weights, m.turnover_penalty).value();
  }
  if (m.l1_costs) {
    p = std::move(p).with_l1_turnover(m.previous_weights, m.costs).value();
  }
  if (m.tracking) p = std::move(p).with_tracking_benchmark(m.benchmark_weights).value();
  return p;
}

// No budget, no rows, no turnover, no benchmark.
Market bare_market() {
  Market m;
  m.budget = std::nullopt;
  m.quadratic_turnover = m.l1_costs = m.tracking = m.rows = false;
  return m;
}

// A date that sets every field to a valid value different from the base.
RebalanceStep full_step() {
  RebalanceStep s;
  s.expected_returns = {0.057, 0.046, 0.079, 0.035, 0.068, 0.0515};
  s.previous_weights = {0.05, 0.2, 0.25, 0.2, 0.15, 0.15};
  s.benchmark_weights = {0.1, 0.15, 0.25, 0.2, 0.15, 0.15};
  s.budget = 0.9;
  s.equality_rhs = {0.25};
  s.inequality_rhs = {0.5, 0.55};
  return s;
}

RebalanceStep returns_step() {
  RebalanceStep s;
  s.expected_returns = {0.045, 0.05, 0.06, 0.04, 0.055, 0.05};
  return s;
}

double max_abs_difference(const std::vector<double>& a, const std::vector<double>& b) {
  EXPECT_EQ(a.size(), b.size());
  double largest = 0.0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    largest = std::max(largest, std::abs(a[i] - b[i]));
  return largest;
}

PortfolioSequence make_sequence(const Market& m, const SolverSettings& settings = {}) {
  auto sequence = sequence_with(build(m), settings);
  EXPECT_TRUE(sequence.has_value()) << sequence.error().message();
  return std::move(*sequence);
}

// ---- Rejected dates ----

enum class Base { Full, Bare };

struct Rejection {
  const char* name;
  Base base;
  void (*edit)(RebalanceStep&);
  PortfolioError::Kind kind;
  std::string message;
};

const std::string kPreviousWeightsText =
    "invalid portfolio parameter: previous_weights updates require a base problem built with "
    "with_quadratic_turnover and/or with_l1_turnover; the L2 penalty and the L1 costs are part of the "
    "problem structure and stay fixed for the whole sequence";
const std::string kBenchmarkText =
    "invalid portfolio parameter: benchmark_weights updates require a base problem built with "
    "with_tracking_benchmark; switching between absolute-risk and tracking objectives changes what the "
    "sequence is solving";
const std::string kBudgetRowText =
    "invalid portfolio parameter: budget updates require a base problem with a budget constraint; adding "
    "or removing the budget row changes the factored system";
const std::string kBudgetFiniteText = "invalid portfolio parameter: budget must be finite when provided";
const std::string kCostsText =
    "invalid portfolio parameter: l1_turnover_costs updates require a base problem built with "
    "with_l1_turnover; adding or removing the L1 term changes the factored system";

using K = PortfolioError::Kind;

// −μ − τ·x⁰ with μ = −1.5e308, τ = 0.5 and x⁰ = −1.5e308: both inputs finite,
// their sum overflows.
void overflow_linear(RebalanceStep& s) {
  s.expected_returns = std::vector<double>(kAssets, -1.5e308);
  s.previous_weights = std::vector<double>(kAssets, -1.5e308);
}

const std::vector<Rejection> kRejections = {
    // One broken field on an otherwise complete, valid date.
    {"ReturnsShort", Base::Full, [](RebalanceStep& s) { s.expected_returns->pop_back(); }, K::ProblemInvalid,
     "expected_returns has dimension 5; expected 6"},
    {"ReturnsInfinite", Base::Full, [](RebalanceStep& s) { (*s.expected_returns)[3] = kInf; },
     K::ProblemInvalid, "expected_returns contains a non-finite coefficient"},
    {"PreviousWithoutTurnover", Base::Bare,
     [](RebalanceStep& s) { s.previous_weights = full_step().previous_weights; }, K::InvalidParameter,
     kPreviousWeightsText},
    {"PreviousLong", Base::Full, [](RebalanceStep& s) { s.previous_weights->push_back(0.0); },
     K::ProblemInvalid, "previous_weights has dimension 7; expected 6"},
    {"PreviousNaN", Base::Full, [](RebalanceStep& s) { (*s.previous_weights)[0] = kNaN; }, K::ProblemInvalid,
     "previous_weights contains a non-finite coefficient"},
    {"BenchmarkWithoutTracking", Base::Bare,
     [](RebalanceStep& s) { s.benchmark_weights = full_step().benchmark_weights; }, K::InvalidParameter,
     kBenchmarkText},
    {"BenchmarkEmpty", Base::Full, [](RebalanceStep& s) { s.benchmark_weights->clear(); }, K::ProblemInvalid,
     "benchmark_weights has dimension 0; expected 6"},
    {"BenchmarkNegativeInfinite", Base::Full, [](RebalanceStep& s) { (*s.benchmark_weights)[5] = -kInf; },
     K::ProblemInvalid, "benchmark_weights contains a non-finite coefficient"},
    {"BudgetWithoutBudgetRowEvenIfReachable", Base::Bare, [](RebalanceStep& s) { s.budget = 1.0; },
     K::InvalidParameter, kBudgetRowText},
    {"BudgetNaN", Base::Full, [](RebalanceStep& s) { s.budget = kNaN; }, K::InvalidParameter,
     kBudgetFiniteText},
    {"BudgetInfinite", Base::Full, [](RebalanceStep& s) { s.budget = kInf; }, K::InvalidParameter,
     kBudgetFiniteText},
    // Beyond the sums by more than their rounding error (a few 1e-16 here).
    {"BudgetJustAboveHighest", Base::Full, [](RebalanceStep& s) { s.budget = kHighestSum + 1e-9; },
     K::BudgetInfeasible,
     "budget 2.100000001 is impossible under the box constraints: reachable sum is "
     "[-0.7500000000000002, 2.1]"},
    {"BudgetJustBelowLowest", Base::Full, [](RebalanceStep& s) { s.budget = kLowestSum - 1e-9; },
     K::BudgetInfeasible,
     "budget -0.7500000010000002 is impossible under the box constraints: reachable sum is "
     "[-0.7500000000000002, "
     "2.1]"},
    {"EqualityRhsLong", Base::Full, [](RebalanceStep& s) { s.equality_rhs->push_back(0.1); },
     K::ProblemInvalid, "equality_rhs has dimension 2; expected 1"},
    {"EqualityRhsNaN", Base::Full, [](RebalanceStep& s) { (*s.equality_rhs)[0] = kNaN; }, K::ProblemInvalid,
     "equality_rhs contains a non-finite coefficient"},
    {"EqualityRhsOnBareExpectsNone", Base::Bare, [](RebalanceStep& s) { s.equality_rhs = {0.3}; },
     K::ProblemInvalid, "equality_rhs has dimension 1; expected 0"},
    {"InequalityRhsShort", Base::Full, [](RebalanceStep& s) { s.inequality_rhs->pop_back(); },
     K::ProblemInvalid, "inequality_rhs has dimension 1; expected 2"},
    {"InequalityRhsInfinite", Base::Full, [](RebalanceStep& s) { (*s.inequality_rhs)[1] = kInf; },
     K::ProblemInvalid, "inequality_rhs contains a non-finite coefficient"},
    {"LinearOverflow", Base::Full, overflow_linear, K::ProblemInvalid,
     "linear contains a non-finite coefficient"},
    // The box and the costs, by the builders' rules and texts.
    {"LowerBoundsShort", Base::Full, [](RebalanceStep& s) { s.lower_bounds = std::vector<double>(5, 0.0); },
     K::ProblemInvalid, "lower_bounds has dimension 5; expected 6"},
    {"UpperBoundsNaN", Base::Full, [](RebalanceStep& s) { s.upper_bounds = {0.1, 0.2, kNaN, 0.5, 0.5, 0.5}; },
     K::ProblemInvalid, "upper_bounds contains a non-finite coefficient"},
    // A new lower side crossing the kept upper side (0.3 at index 2).
    {"NewLowerCrossesKeptUpper", Base::Full,
     [](RebalanceStep& s) { s.lower_bounds = {0.0, 0.0, 0.35, 0.0, 0.0, 0.0}; }, K::ProblemInvalid,
     "invalid bounds at index 2: lower 0.35 exceeds upper 0.3"},
    // Σu = 0.25·3 = 0.75 < the date's budget 0.9.
    {"BudgetBeyondTheNewBox", Base::Full,
     [](RebalanceStep& s) { s.upper_bounds = {0.25, 0.25, 0.25, 0.0, 0.0, 0.0}; }, K::BudgetInfeasible,
     "budget 0.9 is impossible under the box constraints: reachable sum is [-0.7500000000000002, 0.75]"},
    {"CostsWithoutL1", Base::Bare,
     [](RebalanceStep& s) { s.l1_turnover_costs = std::vector<double>(6, 0.001); }, K::InvalidParameter,
     kCostsText},
    {"CostsNegative", Base::Full,
     [](RebalanceStep& s) { s.l1_turnover_costs = {0.001, -0.001, 0.0, 0.0, 0.0, 0.0}; }, K::InvalidParameter,
     "invalid portfolio parameter: l1 turnover costs must be non-negative"},
    {"CostsInfinite", Base::Full,
     [](RebalanceStep& s) { s.l1_turnover_costs = std::vector<double>(6, kInf); }, K::ProblemInvalid,
     "l1_turnover_costs contains a non-finite coefficient"},

    // Two broken fields: the earlier check wins.
    {"LengthBeforeFiniteness", Base::Full,
     [](RebalanceStep& s) {
       s.expected_returns->pop_back();
       (*s.expected_returns)[0] = kNaN;
     },
     K::ProblemInvalid, "expected_returns has dimension 5; expected 6"},
    {"ReturnsBeforePrevious", Base::Full,
     [](RebalanceStep& s) {
       (*s.expected_returns)[0] = kNaN;
       s.previous_weights->pop_back();
     },
     K::ProblemInvalid, "expected_returns contains a non-finite coefficient"},
    {"ReturnsBeforeMissingTurnover", Base::Bare,
     [](RebalanceStep& s) {
       s.expected_returns->push_back(0.0);
       s.previous_weights = full_step().previous_weights;
     },
     K::ProblemInvalid, "expected_returns has dimension 7; expected 6"},
    {"PreviousBeforeBenchmark", Base::Bare,
     [](RebalanceStep& s) {
       s.previous_weights = full_step().previous_weights;
       s.benchmark_weights = full_step().benchmark_weights;
     },
     K::InvalidParameter, kPreviousWeightsText},
    {"PresenceBeforeLength", Base::Bare,
     [](RebalanceStep& s) { s.previous_weights = std::vector<double>{0.1}; }, K::InvalidParameter,
     kPreviousWeightsText},
    {"BenchmarkBeforeBudget", Base::Bare,
     [](RebalanceStep& s) {
       s.benchmark_weights = full_step().benchmark_weights;
       s.budget = 1.0;
     },
     K::InvalidParameter, kBenchmarkText},
    {"PreviousBeforeBudget", Base::Full,
     [](RebalanceStep& s) {
       (*s.previous_weights)[1] = kInf;
       s.budget = 100.0;
     },
     K::ProblemInvalid, "previous_weights contains a non-finite coefficient"},
    {"FinitenessBeforeReachability", Base::Full, [](RebalanceStep& s) { s.budget = -kInf; },
     K::InvalidParameter, kBudgetFiniteText},
    {"BudgetBeforeEqualityRhs", Base::Full,
     [](RebalanceStep& s) {
       s.budget = kNaN;
       s.equality_rhs->clear();
     },
     K::InvalidParameter, kBudgetFiniteText},
    {"EqualityBeforeInequality", Base::Full,
     [](RebalanceStep& s) {
       (*s.equality_rhs)[0] = kInf;
       s.inequality_rhs->clear();
     },
     K::ProblemInvalid, "equality_rhs contains a non-finite coefficient"},
    {"InequalityBeforeLinear", Base::Full,
     [](RebalanceStep& s) {
       overflow_linear(s);
       (*s.inequality_rhs)[0] = kNaN;
     },
     K::ProblemInvalid, "inequality_rhs contains a non-finite coefficient"},
    // With a new box the budget's reach waits for it, behind the rows.
    {"RowsBeforeReachUnderANewBox", Base::Full,
     [](RebalanceStep& s) {
       s.budget = 5.0;
       s.upper_bounds = std::vector<double>(kAssets, 0.5);
       (*s.inequality_rhs)[0] = kNaN;
     },
     K::ProblemInvalid, "inequality_rhs contains a non-finite coefficient"},
    {"BoxBeforeCosts", Base::Full,
     [](RebalanceStep& s) {
       s.lower_bounds = std::vector<double>(kAssets, kNaN);
       s.l1_turnover_costs = std::vector<double>(kAssets, -1.0);
     },
     K::ProblemInvalid, "lower_bounds contains a non-finite coefficient"},
};

class RejectedDate : public ::testing::TestWithParam<Rejection> {};

// A rejection names the first broken rule and leaves nothing behind: after
// it, an empty date gives exactly what it gives on a twin sequence that never
// saw the bad date (same data, same warm start, same workspace).
TEST_P(RejectedDate, ReportsTheFirstBrokenRuleAndChangesNothing) {
  const Rejection& c = GetParam();
  const Market market = c.base == Base::Full ? Market{} : bare_market();
  RebalanceStep bad = c.base == Base::Full ? full_step() : returns_step();
  c.edit(bad);

  PortfolioSequence sequence = make_sequence(market);
  PortfolioSequence twin = make_sequence(market);
  ASSERT_TRUE(sequence.solve_next(returns_step()).has_value());
  ASSERT_TRUE(twin.solve_next(returns_step()).has_value());

  const auto rejected = sequence.solve_next(bad);
  ASSERT_FALSE(rejected.has_value());
  EXPECT_EQ(rejected.error().kind(), c.kind);
  EXPECT_EQ(rejected.error().message(), c.message);

  EXPECT_EQ(sequence.workspace().problem(), twin.workspace().problem());
  ASSERT_NE(sequence.workspace().scaled(), nullptr);
  EXPECT_EQ(sequence.workspace().scaled()->problem, twin.workspace().scaled()->problem);
  EXPECT_EQ(sequence.factorizations(), twin.factorizations());

  const auto after = sequence.solve_next({});
  const auto expected = twin.solve_next({});
  ASSERT_TRUE(after.has_value());
  ASSERT_TRUE(expected.has_value());
  expect_same_solution(*after, *expected);
}

INSTANTIATE_TEST_SUITE_P(Checks, RejectedDate, ::testing::ValuesIn(kRejections),
                         [](const auto& info) { return std::string(info.param.name); });

// The reachable range is closed at both ends and summed left to right.
TEST(SequenceBudget, AcceptsBothEndsOfTheReachableRange) {
  for (double budget : {kLowestSum, kHighestSum}) {
    PortfolioSequence sequence = make_sequence(Market{});
    RebalanceStep step;
    step.budget = budget;
    const auto solution = sequence.solve_next(step);
    ASSERT_TRUE(solution.has_value()) << solution.error().message();
    EXPECT_EQ(sequence.workspace().problem().equalities.rhs[0], budget);
  }
}

// ---- Accepted dates against a fresh lowering of the same data ----

struct Variant {
  const char* name;
  Market base;
};

Market quadratic_only() {
  Market m;
  m.l1_costs = false;
  m.tracking = false;
  return m;
}

Market l1_only_without_budget() {
  Market m;
  m.budget = std::nullopt;
  m.quadratic_turnover = false;
  m.turnover_penalty = 0.0;
  return m;
}

class SequenceAgainstFreshLowering : public ::testing::TestWithParam<Variant> {};

// Each date's written data are exactly the lowering of the updated problem in
// unscaled units and its c·D / E image in scaled units, and the warm-started
// date reaches the optimum a cold solve of that problem reaches. Omitted
// fields keep the last value set.
TEST_P(SequenceAgainstFreshLowering, EveryDateSolvesTheUpdatedProblem) {
  Market market = GetParam().base;
  const SolverSettings settings;
  PortfolioSequence sequence = make_sequence(market, settings);

  std::vector<RebalanceStep> dates(5);
  dates[0].expected_returns = {0.06, 0.035, 0.065, 0.04, 0.05, 0.055};
  if (market.quadratic_turnover || market.l1_costs)
    dates[1].previous_weights = {0.05, 0.15, 0.25, 0.25, 0.1, 0.2};
  if (market.budget) dates[1].budget = 0.95;
  if (market.tracking) dates[2].benchmark_weights = {0.2, 0.1, 0.25, 0.15, 0.15, 0.15};
  dates[2].inequality_rhs = {0.4, 0.65};
  dates[3].equality_rhs = {0.2};
  dates[3].expected_returns = {0.055, 0.045, 0.06, 0.05, 0.04, 0.05};
  // The projections' data: a tighter cap on asset 3, then a floor on asset 0
  // and new costs.
  dates[2].upper_bounds = {0.1, 0.2, 0.3, 0.15, 0.5, 0.5};
  dates[3].lower_bounds = {0.02, -0.2, -0.3, -0.05, -0.05, -0.05};
  if (market.l1_costs) dates[3].l1_turnover_costs = {0.004, 0.0, 0.01, 0.003, 0.002, 0.006};
  // dates[4] is empty: it re-solves the current data warm.

  for (std::size_t d = 0; d < dates.size(); ++d) {
    SCOPED_TRACE("date " + std::to_string(d));
    const RebalanceStep& step = dates[d];
    if (step.expected_returns) market.expected_returns = *step.expected_returns;
    if (step.previous_weights) market.previous_weights = *step.previous_weights;
    if (step.benchmark_weights) market.benchmark_weights = *step.benchmark_weights;
    if (step.budget) market.budget = *step.budget;
    if (step.equality_rhs) market.equality_rhs = *step.equality_rhs;
    if (step.inequality_rhs) market.inequality_rhs = *step.inequality_rhs;
    if (step.lower_bounds) market.lower_bounds = *step.lower_bounds;
    if (step.upper_bounds) market.upper_bounds = *step.upper_bounds;
    if (step.l1_turnover_costs) market.costs = *step.l1_turnover_costs;

    const auto solution = sequence.solve_next(step);
    ASSERT_TRUE(solution.has_value()) << solution.error().message();
    ASSERT_EQ(solution->status, SolveStatus::Solved);

    const PortfolioProblem updated = build(market);
    const QpProblem lowered = updated.to_qp().value();
    const QpProblem& written = sequence.workspace().problem();
    EXPECT_EQ(written, lowered);

    const ScaledProblem* scaled = sequence.workspace().scaled();
    ASSERT_NE(scaled, nullptr);
    const double c = scaled->cost_scaling;
    const auto& D = scaled->column_scaling;
    for (std::size_t i = 0; i < kAssets; ++i) {
      EXPECT_NEAR(scaled->problem.linear[i], c * D[i] * written.linear[i],
                  1e-15 * std::abs(c * D[i] * written.linear[i]));
      EXPECT_EQ(scaled->problem.lower_bounds[i], written.lower_bounds[i] / D[i]);
      EXPECT_EQ(scaled->problem.upper_bounds[i], written.upper_bounds[i] / D[i]);
      if (written.l1) {
        EXPECT_NEAR(scaled->problem.l1->anchor[i], written.l1->anchor[i] / D[i], 1e-15);
        EXPECT_NEAR(scaled->problem.l1->costs[i], c * D[i] * written.l1->costs[i],
                    1e-15 * c * D[i] * written.l1->costs[i]);
      }
    }
    for (std::size_t r = 0; r < written.m_eq(); ++r) {
      EXPECT_NEAR(scaled->problem.equalities.rhs[r], scaled->equality_scaling[r] * written.equalities.rhs[r],
                  1e-15);
    }
    for (std::size_t r = 0; r < written.m_in(); ++r) {
      EXPECT_NEAR(scaled->problem.inequalities.rhs[r],
                  scaled->inequality_scaling[r] * written.inequalities.rhs[r], 1e-15);
    }

    const auto cold = updated.solve_with(settings, std::nullopt);
    ASSERT_TRUE(cold.has_value()) << cold.error().message();
    ASSERT_EQ(cold->status, SolveStatus::Solved);
    EXPECT_LE(max_abs_difference(solution->x, cold->x), 1e-5);
    EXPECT_NEAR(solution->objective, cold->objective, 1e-6);
  }
}

INSTANTIATE_TEST_SUITE_P(Structures, SequenceAgainstFreshLowering,
                         ::testing::Values(Variant{"EveryTerm", Market{}},
                                           Variant{"QuadraticTurnoverOnly", quadratic_only()},
                                           Variant{"L1OnlyWithoutBudget", l1_only_without_budget()}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Warm-start chaining ----

TEST(SequenceWarmStart, FirstEmptyDateIsTheColdSolveOfTheBase) {
  const SolverSettings settings;
  PortfolioSequence sequence = make_sequence(Market{}, settings);
  const auto first = sequence.solve_next({});
  const auto cold = build(Market{}).solve_with(settings, std::nullopt);
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(cold.has_value());
  expect_same_solution(*first, *cold);
}

struct ChainCase {
  const char* name;
  std::uint64_t max_iterations;
  SolveStatus first_status;
};

class SequenceChain : public ::testing::TestWithParam<ChainCase> {};

// After Solved or MaxIterations the next date starts from the previous
// solution: it equals a solve of the same data warm-started by hand.
TEST_P(SequenceChain, NextDateStartsFromThePreviousSolution) {
  SolverSettings settings;
  settings.max_iterations = GetParam().max_iterations;
  const PortfolioProblem problem = build(Market{});
  PortfolioSequence sequence = make_sequence(Market{}, settings);

  const auto first = sequence.solve_next({});
  ASSERT_TRUE(first.has_value());
  ASSERT_EQ(first->status, GetParam().first_status);
  const auto second = sequence.solve_next({});
  ASSERT_TRUE(second.has_value());

  const auto by_hand = problem.solve_with(settings, first->warm_start());
  ASSERT_TRUE(by_hand.has_value());
  expect_same_solution(*second, *by_hand);
  const auto cold = problem.solve_with(settings, std::nullopt);
  ASSERT_TRUE(cold.has_value());
  // The start mattered: a cold solve of the same data takes another path.
  EXPECT_TRUE(second->iterations != cold->iterations || second->x != cold->x);
}

INSTANTIATE_TEST_SUITE_P(Statuses, SequenceChain,
                         ::testing::Values(ChainCase{"Solved", 10000, SolveStatus::Solved},
                                           ChainCase{"MaxIterations", 15, SolveStatus::MaxIterations}),
                         [](const auto& info) { return std::string(info.param.name); });

// x0 + x2 = 0.3 with x0 ≤ 0.1 forces x2 ≥ 0.2; caps of 0 on x2 + x3 and
// x4 + x5 then leave at most 0.1 + 0.2 + 0 + 0 = 0.3 < 1 for the budget.
TEST(SequenceWarmStart, InfeasibleDateExplainsItselfAndTheNextStartsCold) {
  const SolverSettings settings;
  RebalanceStep infeasible;
  infeasible.inequality_rhs = {0.0, 0.0};
  RebalanceStep feasible;
  feasible.inequality_rhs = {0.45, 0.6};
  feasible.expected_returns = {0.06, 0.035, 0.065, 0.04, 0.05, 0.055};

  PortfolioSequence sequence = make_sequence(Market{}, settings);
  ASSERT_TRUE(sequence.solve_next({}).has_value());  // leaves a warm start behind
  const auto failed = sequence.solve_next(infeasible);
  ASSERT_TRUE(failed.has_value());
  ASSERT_EQ(failed->status, SolveStatus::PrimalInfeasible);
  ASSERT_TRUE(failed->diagnostics.has_value());
  ASSERT_FALSE(failed->diagnostics->hints.empty());
  EXPECT_EQ(
      failed->diagnostics->hints[0].rfind("no portfolio satisfies these constraints simultaneously: ", 0), 0u)
      << failed->diagnostics->hints[0];

  // The twin applies the feasible date first, i.e. from a cold start.
  PortfolioSequence twin = make_sequence(Market{}, settings);
  const auto after = sequence.solve_next(feasible);
  const auto cold = twin.solve_next(feasible);
  ASSERT_TRUE(after.has_value());
  ASSERT_TRUE(cold.has_value());
  EXPECT_EQ(after->status, SolveStatus::Solved);
  expect_same_solution(*after, *cold);
}

// x0 + x2 = 0.5 cannot hold with x0 ≤ 0.1 and x2 ≤ 0.3. The explanation
// cites the user's equality row by its own index (the budget row excluded)
// and is the one a cold solve of the same data gives.
TEST(SequenceWarmStart, CertificateHintMatchesAColdSolveOfTheSameData) {
  const SolverSettings settings;
  Market market;
  market.equality_rhs = {0.5};
  market.budget = 0.9;
  PortfolioSequence sequence = make_sequence(Market{}, settings);
  RebalanceStep step;
  step.equality_rhs = market.equality_rhs;
  step.budget = market.budget;
  const auto date = sequence.solve_next(step);
  const auto cold = build(market).solve_with(settings, std::nullopt);
  ASSERT_TRUE(date.has_value());
  ASSERT_TRUE(cold.has_value());
  ASSERT_EQ(cold->status, SolveStatus::PrimalInfeasible);
  expect_same_solution(*date, *cold);
  ASSERT_TRUE(date->diagnostics.has_value());
  ASSERT_FALSE(date->diagnostics->hints.empty());
  EXPECT_NE(date->diagnostics->hints[0].find("equality row(s) 0"), std::string::npos)
      << date->diagnostics->hints[0];
}

// ---- Factorisations ----

// Only vectors change between dates, so with a fixed penalty the one
// factorisation built at construction serves every date.
TEST(SequenceFactorizations, StayAtOneAcrossDatesWithAFixedPenalty) {
  SolverSettings settings;
  settings.adaptive_rho = false;
  PortfolioSequence sequence = make_sequence(Market{}, settings);
  EXPECT_EQ(sequence.factorizations(), 1u);
  EXPECT_EQ(sequence.dimension(), kAssets);
  std::vector<RebalanceStep> dates = {full_step(), returns_step(), {}, full_step()};
  dates[2].inequality_rhs = {0.0, 0.0};  // an infeasible date costs no factorisation either
  // Neither do a new box and new costs: they enter the projections alone.
  dates[1].lower_bounds = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  dates[3].upper_bounds = {0.1, 0.2, 0.3, 0.2, 0.3, 0.5};
  dates[3].l1_turnover_costs = std::vector<double>(kAssets, 0.01);
  for (const RebalanceStep& step : dates) {
    const auto solution = sequence.solve_next(step);
    ASSERT_TRUE(solution.has_value());
    EXPECT_EQ(sequence.factorizations(), 1u);
  }
}

// A sequence carried on from another's iterate (a rebuilt problem going on
// from the last date) starts where that iterate is, duals included: its date
// equals a solve warm-started by hand. A start of the wrong shape is refused
// and leaves the sequence as it was.
TEST(SequenceWarmStart, StartFromCarriesAnotherSequencesIterate) {
  const SolverSettings settings;
  PortfolioSequence first = make_sequence(Market{}, settings);
  ASSERT_TRUE(first.solve_next({}).has_value());
  ASSERT_TRUE(first.warm_start().has_value());
  const WarmStart start = *first.warm_start();

  Market tighter;
  tighter.upper_bounds = {0.1, 0.2, 0.3, 0.3, 0.4, 0.5};
  PortfolioSequence rebuilt = make_sequence(tighter, settings);
  WarmStart short_start = start;
  short_start.bound_dual->pop_back();
  const auto refused = rebuilt.start_from(short_start);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "warm-start bound_dual has length 5; expected 6");
  EXPECT_FALSE(rebuilt.warm_start().has_value());

  ASSERT_TRUE(rebuilt.start_from(start).has_value());
  const auto date = rebuilt.solve_next({});
  const auto by_hand = build(tighter).solve_with(settings, start);
  ASSERT_TRUE(date.has_value());
  ASSERT_TRUE(by_hand.has_value());
  expect_same_solution(*date, *by_hand);
}

// ---- F held by its nonzero groups ----

// An industry model's F read from compressed rows is held by its record
// alone (16 whole groups, two styles past them): a solve and a date under
// either profile, with Ω dense or diagonal, give F dense's answers bit for
// bit and never write F out.
TEST(SequenceSparseFactors, SolveAsWithFDenseWithoutWritingItOut) {
  constexpr std::size_t n = 120, k = 66;
  Matrix f = Matrix::zeros(n, k);
  std::vector<double> specific(n), returns(n), shifted(n), previous(n, 1.0 / n), costs(n, 0.002);
  for (std::size_t i = 0; i < n; ++i) {
    f(i, 0) = 0.8 + 0.04 * static_cast<double>(i * 7 % 11);
    f(i, 1 + i % 40) = 1.0;
    f(i, 64) = static_cast<double>(i * 5 % 13) / 6.0 - 1.0;
    f(i, 65) = static_cast<double>(i * 3 % 7) / 3.0 - 1.0;
    specific[i] = 0.02 + 0.001 * static_cast<double>(i % 9);
    returns[i] = 0.01 * static_cast<double>(i * 13 % 17) / 17.0;
    shifted[i] = returns[i] + 0.002 * static_cast<double>(i % 3);
  }
  std::vector<double> variances(k, 0.01);
  variances[0] = 0.03;
  Matrix correlated = Matrix::zeros(k, k);
  for (std::size_t l = 0; l < k; ++l) correlated(l, l) = variances[l];
  for (std::size_t l : {64, 65}) correlated(0, l) = correlated(l, 0) = 0.002;
  for (const FactorCovariance& omega :
       {FactorCovariance::diagonal(variances), FactorCovariance::dense(correlated)}) {
    for (SolverProfile profile : {SolverProfile::Reference, SolverProfile::Adaptive}) {
      SolverSettings settings;
      settings.profile = profile;
      const auto make = [&](FactorScan factors) {
        auto p = PortfolioProblem::create(std::move(factors), omega, specific, returns).value();
        p = std::move(p).with_bounds(std::vector<double>(n, 0.0), std::vector<double>(n, 0.05)).value();
        return std::move(p).with_l1_turnover(previous, costs).value();
      };
      const PortfolioProblem plain = make(FactorScan::of(f));
      const PortfolioProblem held = make(dense::compressed_factors(f));
      ASSERT_TRUE(held.covariance().holds_factors_sparsely());
      const auto expected = solve_mean_variance_factor(plain, settings);
      const auto actual = solve_mean_variance_factor(held, settings);
      ASSERT_TRUE(expected.has_value() && actual.has_value());
      expect_same_solution(*actual, *expected);

      auto plain_dates = sequence_with(plain, settings);
      auto held_dates = sequence_with(held, settings);
      ASSERT_TRUE(plain_dates.has_value() && held_dates.has_value());
      RebalanceStep step;
      step.expected_returns = shifted;
      step.previous_weights = expected->x;
      const auto next = plain_dates->solve_next(step);
      const auto held_next = held_dates->solve_next(step);
      ASSERT_TRUE(next.has_value() && held_next.has_value());
      expect_same_solution(*held_next, *next);
      EXPECT_FALSE(held.covariance().row_groups()->written());
    }
  }
}

// ---- Construction ----

TEST(SequenceConstruction, ReportsLoweringAndWorkspaceErrors) {
  Market market;
  market.budget = 5.0;  // above the 2.1 the box can reach
  const auto unreachable = sequence_with(build(market), SolverSettings{});
  ASSERT_FALSE(unreachable.has_value());
  EXPECT_EQ(unreachable.error().kind(), K::BudgetInfeasible);
  EXPECT_EQ(unreachable.error().message(),
            "budget 5 is impossible under the box constraints: reachable sum is [-0.7500000000000002, 2.1]");

  SolverSettings settings;
  settings.over_relaxation = 2.0;
  const auto bad_settings = sequence_with(build(Market{}), settings);
  ASSERT_FALSE(bad_settings.has_value());
  EXPECT_EQ(bad_settings.error().kind(), K::SolverFailed);
  EXPECT_EQ(bad_settings.error().message(),
            "invalid solver setting: over_relaxation must lie strictly between zero and two");
}

}  // namespace
}  // namespace morva
