// Batches: the per-account algorithm (chaining of the turnover anchor, errors
// that stop an account), outcomes equal to a sequential loop bit for bit on
// any number of threads, the pool size setting, and batches in a forked child.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "morva/batch.hpp"
#include "support/same_solution.hpp"

namespace morva {
namespace {

constexpr std::size_t kAssets = 5;

// Five assets, two factors, long-only and fully invested, with
//   x0 + x1 ≤ cap   (one inequality row)
// and, when `turnover`, quadratic and L1 turnover anchored at 0.2 each.
// `tilt` shifts the expected returns so accounts differ.
PortfolioProblem make_problem(double tilt, bool turnover, double cap = 0.7) {
  Matrix factors = Matrix::create(kAssets, 2, {1.0, 0.3, 0.8, -0.2, 1.2, 0.1, 0.9, 0.5, 1.1, -0.4}).value();
  std::vector<double> mu{0.05 + tilt, 0.04, 0.06 - tilt, 0.045, 0.055 + 0.5 * tilt};
  auto p = PortfolioProblem::create(std::move(factors), FactorCovariance::diagonal({0.03, 0.02}),
                                    {0.01, 0.02, 0.015, 0.012, 0.018}, std::move(mu))
               .value();
  p = std::move(p).with_risk_aversion(2.0).value();
  p = std::move(p).with_inequalities(Matrix::create(1, kAssets, {1, 1, 0, 0, 0}).value(), {cap}).value();
  if (turnover) {
    const std::vector<double> anchor(kAssets, 0.2);
    p = std::move(p).with_quadratic_turnover(anchor, 0.3).value();
    p = std::move(p).with_l1_turnover(anchor, std::vector<double>(kAssets, 0.001)).value();
  }
  return p;
}

RebalanceStep returns_step(double shift) {
  RebalanceStep s;
  s.expected_returns = {0.05 + shift, 0.04 - shift, 0.06, 0.045 + 2 * shift, 0.055};
  return s;
}

// Caps x0 + x1 at -1 while every weight is ≥ 0: no portfolio is feasible.
RebalanceStep infeasible_step() {
  RebalanceStep s;
  s.inequality_rhs = {-1.0};
  return s;
}

RebalanceStep restoring_step(double shift) {
  RebalanceStep s = returns_step(shift);
  s.inequality_rhs = {0.7};
  return s;
}

// Every outcome equal up to the wall-clock solve times.
void expect_same_outcomes(const std::vector<BatchOutcome>& actual,
                          const std::vector<BatchOutcome>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t a = 0; a < actual.size(); ++a) {
    SCOPED_TRACE("account " + std::to_string(a));
    ASSERT_EQ(actual[a].has_value(), expected[a].has_value());
    if (!actual[a]) {
      EXPECT_EQ(actual[a].error(), expected[a].error());
      continue;
    }
    ASSERT_EQ(actual[a]->size(), expected[a]->size());
    for (std::size_t d = 0; d < actual[a]->size(); ++d)
      expect_same_solution((*actual[a])[d], (*expected[a])[d]);
  }
}

bool same_outcomes(const std::vector<BatchOutcome>& actual, const std::vector<BatchOutcome>& expected) {
  if (actual.size() != expected.size()) return false;
  for (std::size_t a = 0; a < actual.size(); ++a) {
    if (actual[a].has_value() != expected[a].has_value()) return false;
    if (!actual[a]) {
      if (!(actual[a].error() == expected[a].error())) return false;
      continue;
    }
    if (actual[a]->size() != expected[a]->size()) return false;
    for (std::size_t d = 0; d < actual[a]->size(); ++d) {
      Solution x = (*actual[a])[d];
      Solution y = (*expected[a])[d];
      x.solve_time = y.solve_time = SolveTime{};
      if (!(x == y)) return false;
    }
  }
  return true;
}

RebalanceStep anchored(RebalanceStep step, const std::vector<double>& anchor) {
  step.previous_weights = anchor;
  return step;
}

const std::string kChainText =
    "invalid portfolio parameter: chain_previous_weights requires a problem built with "
    "with_quadratic_turnover "
    "and/or with_l1_turnover; without a turnover term there is no anchor to move";

// A mixed batch: chained and plain accounts, errors at construction, at a
// later date and before anything runs, empty step lists, infeasible dates.
std::vector<BatchAccount> mixed_accounts() {
  std::vector<BatchAccount> accounts;
  for (int a = 0; a < 14; ++a) {
    const double tilt = 0.002 * a;
    BatchAccount account{make_problem(tilt, a % 3 != 2), {}, a % 2 == 0};
    for (int d = 0; d < 4; ++d) account.steps.push_back(returns_step(0.001 * (a + d)));
    accounts.push_back(std::move(account));
  }
  accounts[3].steps[1] = infeasible_step();
  accounts[3].steps[2] = restoring_step(0.003);
  accounts[3].chain_previous_weights = true;
  accounts[5].steps[2].expected_returns->pop_back();  // fails at its third date
  accounts[7].steps.clear();                          // built, nothing solved
  accounts[9].problem = make_problem(0.0, true, 0.7);
  accounts[9].problem = std::move(accounts[9].problem)
                            .with_bounds(std::vector<double>(kAssets, 0.0), std::vector<double>(kAssets, 0.1))
                            .value();
  accounts[9].steps.clear();  // budget 1 beyond the box: fails with no steps
  accounts[11].problem = make_problem(0.01, false);
  accounts[11].chain_previous_weights = true;  // nothing to chain
  return accounts;
}

// ---- One account ----

TEST(SolveAccount, ChainingAnchorsEachDateAtTheLastSolvedWeights) {
  const SolverSettings settings;
  const PortfolioProblem problem = make_problem(0.0, true);
  const std::vector<RebalanceStep> steps = {returns_step(0.0), returns_step(0.004), returns_step(-0.003)};
  const BatchOutcome chained = solve_account({problem, steps, true}, settings);
  ASSERT_TRUE(chained.has_value());
  ASSERT_EQ(chained->size(), 3u);

  // By hand: the first date keeps the base anchor, each later one uses the
  // weights of the date before (every date here ends Solved).
  auto sequence = sequence_with(problem, settings).value();
  const Solution d1 = sequence.solve_next(steps[0]).value();
  ASSERT_EQ(d1.status, SolveStatus::Solved);
  const Solution d2 = sequence.solve_next(anchored(steps[1], d1.x)).value();
  ASSERT_EQ(d2.status, SolveStatus::Solved);
  const Solution d3 = sequence.solve_next(anchored(steps[2], d2.x)).value();
  expect_same_solution((*chained)[0], d1);
  expect_same_solution((*chained)[1], d2);
  expect_same_solution((*chained)[2], d3);

  // Without chaining the anchor stays at the base weights, a different run.
  const BatchOutcome plain = solve_account({problem, steps, false}, settings);
  ASSERT_TRUE(plain.has_value());
  expect_same_solution((*plain)[0], d1);
  EXPECT_NE((*plain)[1].x, d2.x);
}

TEST(SolveAccount, AnUnsolvedDateKeepsTheEarlierAnchor) {
  const SolverSettings settings;
  const PortfolioProblem problem = make_problem(0.0, true);
  const std::vector<RebalanceStep> steps = {returns_step(0.0), infeasible_step(), restoring_step(0.002)};
  const BatchOutcome chained = solve_account({problem, steps, true}, settings);
  ASSERT_TRUE(chained.has_value());
  ASSERT_EQ(chained->size(), 3u);
  EXPECT_EQ((*chained)[1].status, SolveStatus::PrimalInfeasible);

  auto sequence = sequence_with(problem, settings).value();
  const Solution d1 = sequence.solve_next(steps[0]).value();
  ASSERT_EQ(d1.status, SolveStatus::Solved);
  const Solution d2 = sequence.solve_next(anchored(steps[1], d1.x)).value();
  const Solution d3 = sequence.solve_next(anchored(steps[2], d1.x)).value();
  expect_same_solution((*chained)[1], d2);
  expect_same_solution((*chained)[2], d3);
}

TEST(SolveAccount, UnconvergedDatesNeverBecomeTheAnchor) {
  SolverSettings settings;
  settings.max_iterations = 5;
  const PortfolioProblem problem = make_problem(0.0, true);
  const std::vector<RebalanceStep> steps = {returns_step(0.0), returns_step(0.003), returns_step(0.001)};
  const BatchOutcome chained = solve_account({problem, steps, true}, settings);
  const BatchOutcome plain = solve_account({problem, steps, false}, settings);
  ASSERT_TRUE(chained.has_value());
  for (const Solution& s : *chained) ASSERT_EQ(s.status, SolveStatus::MaxIterations);
  expect_same_outcomes({chained}, {plain});
}

TEST(SolveAccount, AStepsOwnPreviousWeightsWinAndAnchorTheNextDate) {
  const SolverSettings settings;
  const PortfolioProblem problem = make_problem(0.0, true);
  const std::vector<double> own{0.3, 0.1, 0.2, 0.2, 0.2};
  const std::vector<RebalanceStep> steps = {returns_step(0.0), anchored(returns_step(0.002), own),
                                            returns_step(0.001)};
  const BatchOutcome chained = solve_account({problem, steps, true}, settings);
  ASSERT_TRUE(chained.has_value());

  auto sequence = sequence_with(problem, settings).value();
  const Solution d1 = sequence.solve_next(steps[0]).value();
  const Solution d2 = sequence.solve_next(steps[1]).value();
  ASSERT_EQ(d2.status, SolveStatus::Solved);
  const Solution d3 = sequence.solve_next(anchored(steps[2], d2.x)).value();
  expect_same_solution((*chained)[1], d2);
  expect_same_solution((*chained)[2], d3);
}

struct AccountFailure {
  const char* name;
  BatchAccount (*account)();
  PortfolioError::Kind kind;
  std::string message;
};

const std::vector<AccountFailure> kAccountFailures = {
    {"ChainWithoutTurnover",
     [] {
       return BatchAccount{make_problem(0.0, false), {returns_step(0.0)}, true};
     },
     PortfolioError::Kind::InvalidParameter, kChainText},
    {"ChainWithoutTurnoverOrSteps",
     [] {
       return BatchAccount{make_problem(0.0, false), {}, true};
     },
     PortfolioError::Kind::InvalidParameter, kChainText},
    {"UnreachableBudgetWithoutSteps",
     [] {
       auto p = make_problem(0.0, true).with_budget(6.0).value();
       return BatchAccount{std::move(p), {}, false};
     },
     PortfolioError::Kind::BudgetInfeasible,
     "budget 6 is impossible under the box constraints: reachable sum is [0, 5]"},
    {"ThirdDateWrongLength",
     [] {
       BatchAccount account{
           make_problem(0.0, true), {returns_step(0.0), returns_step(0.001), returns_step(0.002)}, true};
       account.steps[2].expected_returns->pop_back();
       return account;
     },
     PortfolioError::Kind::ProblemInvalid, "expected_returns has dimension 4; expected 5"},
    {"PreviousWeightsWithoutTurnover",
     [] {
       return BatchAccount{
           make_problem(0.0, false), {returns_step(0.0), anchored({}, std::vector<double>(5, 0.2))}, false};
     },
     PortfolioError::Kind::InvalidParameter,
     "invalid portfolio parameter: previous_weights updates require a base problem built with "
     "with_quadratic_turnover and/or with_l1_turnover; the L2 penalty and the L1 costs are part of the "
     "problem "
     "structure and stay fixed for the whole sequence"},
};

class AccountFails : public ::testing::TestWithParam<AccountFailure> {};

// The first error is the whole outcome: earlier dates are dropped.
TEST_P(AccountFails, WithTheFirstError) {
  const BatchOutcome outcome = solve_account(GetParam().account(), SolverSettings{});
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().kind(), GetParam().kind);
  EXPECT_EQ(outcome.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Errors, AccountFails, ::testing::ValuesIn(kAccountFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SolveAccount, NoStepsGiveNoSolutions) {
  const BatchOutcome outcome = solve_account({make_problem(0.0, true), {}, true}, SolverSettings{});
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(outcome->empty());
}

// ---- Parallel map ----

std::vector<BatchOutcome> sequential(const std::vector<BatchAccount>& accounts,
                                     const SolverSettings& settings) {
  std::vector<BatchOutcome> outcomes;
  for (const BatchAccount& account : accounts) outcomes.push_back(solve_account(account, settings));
  return outcomes;
}

TEST(SolveBatch, MatchesTheSequentialLoopWhateverTheThreadCount) {
  const std::vector<BatchAccount> accounts = mixed_accounts();
  const SolverSettings settings;
  const std::vector<BatchOutcome> expected = sequential(accounts, settings);

  // The mixture really exercises every path.
  ASSERT_FALSE(expected[5].has_value());
  ASSERT_FALSE(expected[9].has_value());
  ASSERT_FALSE(expected[11].has_value());
  ASSERT_TRUE(expected[7].has_value());
  EXPECT_TRUE(expected[7]->empty());
  ASSERT_TRUE(expected[3].has_value());
  EXPECT_EQ((*expected[3])[1].status, SolveStatus::PrimalInfeasible);

  {
    SCOPED_TRACE("process pool");
    expect_same_outcomes(solve_batch(accounts, settings), expected);
  }
  for (int threads : {1, 2, 3, 8}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    expect_same_outcomes(solve_batch_with_threads(accounts, settings, threads), expected);
  }
}

TEST(SolveBatch, AbsentSettingsMeanTheDefaults) {
  std::vector<BatchAccount> accounts = mixed_accounts();
  accounts.erase(accounts.begin() + 4, accounts.end());
  expect_same_outcomes(solve_batch(accounts), sequential(accounts, SolverSettings{}));

  SolverSettings loose;
  loose.absolute_tolerance = 1e-3;
  loose.relative_tolerance = 1e-3;
  loose.polish = false;
  expect_same_outcomes(solve_batch(accounts, loose), sequential(accounts, loose));
}

TEST(SolveBatch, EmptyInputGivesEmptyOutput) {
  EXPECT_TRUE(solve_batch({}).empty());
  EXPECT_TRUE(solve_batch_with_threads({}, std::nullopt, 4).empty());
}

// ---- Pool size ----

struct ThreadSetting {
  const char* text;  // null: unset
  int expected;
};

class PoolSize : public ::testing::TestWithParam<ThreadSetting> {};

TEST_P(PoolSize, FollowsTheSettingOrFallsBackToTheCpuCount) {
  constexpr int kCpus = 6;
  EXPECT_EQ(thread_count_from_setting(GetParam().text, kCpus), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Settings, PoolSize,
                         // Unset, empty, zero, negative or not a whole number: one thread per CPU.
                         // Counts beyond the limit, even beyond 64 bits, clamp rather than wrap.
                         ::testing::Values(ThreadSetting{nullptr, 6}, ThreadSetting{"", 6},
                                           ThreadSetting{"0", 6}, ThreadSetting{"-2", 6},
                                           ThreadSetting{"abc", 6}, ThreadSetting{"4x", 6},
                                           ThreadSetting{" 4", 6}, ThreadSetting{"2.5", 6},
                                           ThreadSetting{"1", 1}, ThreadSetting{"+4", 4},
                                           ThreadSetting{"256", kMaxBatchThreads},
                                           ThreadSetting{"4294967297", kMaxBatchThreads},
                                           ThreadSetting{"99999999999999999999999", kMaxBatchThreads},
                                           ThreadSetting{"-99999999999999999999999", 6}));

TEST(PoolSizeFallback, NeverBelowOneThread) {
  EXPECT_EQ(thread_count_from_setting(nullptr, 0), 1);
  EXPECT_EQ(thread_count_from_setting("0", -3), 1);
}

TEST(PoolSizeProcess, IsPositiveAndStable) {
  const int threads = batch_thread_count();
  EXPECT_GE(threads, 1);
  EXPECT_LE(threads, kMaxBatchThreads);
  EXPECT_EQ(batch_thread_count(), threads);
}

// ---- fork ----

// TBB's workers do not survive fork(): a child of a process that already ran
// a batch must still complete its own batch, with the same outcomes.
TEST(SolveBatchFork, ChildOfAParentThatRanABatchCompletesItsBatch) {
  std::vector<BatchAccount> accounts = mixed_accounts();
  const SolverSettings settings;
  const std::vector<BatchOutcome> parent = solve_batch(accounts, settings);

  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const bool ok = same_outcomes(solve_batch(accounts, settings), parent) &&
                    same_outcomes(solve_batch(accounts, settings), parent);
    _exit(ok ? 0 : 1);
  }

  // A hang is the failure this guards against; give up after a generous wait.
  constexpr auto kPatience = std::chrono::seconds(120);
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  int status = 0;
  pid_t waited = 0;
  while ((waited = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (waited == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the batch in the forked child did not complete";
  }
  ASSERT_EQ(waited, child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended abnormally, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "child batch outcomes differ from the parent's";

  // The parent's pool is untouched by the child.
  expect_same_outcomes(solve_batch(accounts, settings), parent);
}

}  // namespace
}  // namespace morva
