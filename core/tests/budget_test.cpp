// Budget reachability under rounding: Σl ≤ B ≤ Σu is tested on left-to-right
// sums, which may round past B although the box reaches it exactly (ten caps
// of 0.1 add up to 0.9999999999999999). A budget within the a-priori rounding
// error of the sum,
//   e = γ_{n−1}·Σ|x|,  γ_m = m·u/(1 − m·u),  u = 2⁻⁵³,
// is accepted; one further away is refused with the plain sums in the text.
// The same rule holds in the one-shot lowering and in sequence budget updates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "morva/format.hpp"
#include "morva/portfolio.hpp"
#include "morva/sequence.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"
#include "support/portfolio_fixture.hpp"

namespace morva {
namespace {

using fixture::message_of;
using fixture::portfolio;

// How the box is made: explicit caps 1/n, or the concentration template with
// max_weight = 1/n over the default [0, 1] box.
enum class Caps { Bounds, MaxWeight };

PortfolioResult equal_caps(std::size_t n, Caps caps) {
  const double cap = 1.0 / static_cast<double>(n);
  if (caps == Caps::MaxWeight) return portfolio(n).with_concentration_limit(cap);
  return portfolio(n).with_bounds(std::vector<double>(n, 0.0), std::vector<double>(n, cap));
}

double left_to_right_sum(const std::vector<double>& values) {
  double total = 0.0;
  for (const double v : values) total += v;
  return total;
}

// The a-priori bound in long double: the tests place budgets at fractions and
// multiples of it, well clear of the rounding of the bound itself.
double error_bound(const std::vector<double>& values) {
  const std::size_t n = values.size();
  if (n < 2) return 0.0;
  long double magnitude = 0.0L;
  for (const double v : values) magnitude += std::fabs(static_cast<long double>(v));
  const long double mu = static_cast<long double>(n - 1) * std::ldexp(1.0L, -53);
  return static_cast<double>(mu / (1.0L - mu) * magnitude);
}

std::string refusal(double budget, double lowest, double highest) {
  return "budget " + format_decimal(budget) + " is impossible under the box constraints: reachable sum is [" +
         format_decimal(lowest) + ", " + format_decimal(highest) + "]";
}

// Every n up to 1000, with caps as bounds and as a concentration limit: the
// fully invested budget lowers although Σu rounds below 1 for most n.
TEST(EqualCaps, EveryFullyInvestedBudgetIsReachable) {
  std::size_t rounded_below = 0;
  for (const Caps caps : {Caps::Bounds, Caps::MaxWeight}) {
    for (std::size_t n = 1; n <= 1000; ++n) {
      const auto problem = equal_caps(n, caps);
      ASSERT_TRUE(problem.has_value()) << problem.error().message();
      if (left_to_right_sum(problem->upper_bounds()) < 1.0) ++rounded_below;
      const auto qp = problem->to_qp();
      ASSERT_TRUE(qp.has_value()) << "n = " << n << ": " << qp.error().message();
    }
  }
  // The family is only a test of the rounding rule if many sums fall short.
  EXPECT_GT(rounded_below, 500u);
}

class EqualCapsSolve : public testing::TestWithParam<std::pair<std::size_t, Caps>> {};

TEST_P(EqualCapsSolve, InvestsEverythingWithinTheCaps) {
  const auto [n, caps] = GetParam();
  const auto problem = equal_caps(n, caps);
  ASSERT_TRUE(problem.has_value());
  const auto solution = solve_mean_variance_factor(*problem);
  ASSERT_TRUE(solution.has_value()) << solution.error().message();
  ASSERT_EQ(solution->status, SolveStatus::Solved);
  // "Solved" promises the constraints within ε_abs + ε_rel·max(‖Ax‖, ‖z‖, ‖b‖),
  // and here every one of those norms is about the budget, 1: the budget row
  // and every cap hold within that.
  const SolverSettings settings;
  const double tolerance = settings.absolute_tolerance + settings.relative_tolerance;
  const double cap = 1.0 / static_cast<double>(n);
  EXPECT_NEAR(std::accumulate(solution->x.begin(), solution->x.end(), 0.0), 1.0, tolerance);
  for (const double weight : solution->x) {
    EXPECT_LE(weight, cap + tolerance);
    EXPECT_GE(weight, -tolerance);
  }
}

INSTANTIATE_TEST_SUITE_P(Representative, EqualCapsSolve,
                         testing::Values(std::pair{1u, Caps::Bounds}, std::pair{2u, Caps::MaxWeight},
                                         std::pair{3u, Caps::Bounds}, std::pair{7u, Caps::MaxWeight},
                                         std::pair{7u, Caps::Bounds}, std::pair{10u, Caps::Bounds},
                                         std::pair{10u, Caps::MaxWeight}, std::pair{300u, Caps::Bounds},
                                         std::pair{1000u, Caps::MaxWeight}));

// Which side of the box the budget presses on, and from which direction.
enum class Side { Upper, Lower };

// n equal bounds of 1/n on one side: caps 1/n (budget near 1) or floors −1/n
// with the upper side at 0 (budget near −1).
PortfolioProblem one_sided(std::size_t n, Side side) {
  const double share = 1.0 / static_cast<double>(n);
  auto problem = side == Side::Upper
                     ? portfolio(n).with_bounds(std::vector<double>(n, 0.0), std::vector<double>(n, share))
                     : portfolio(n).with_bounds(std::vector<double>(n, -share), std::vector<double>(n, 0.0));
  EXPECT_TRUE(problem.has_value());
  return std::move(*problem);
}

struct NearMiss {
  std::size_t n;
  Side side;
};

class BudgetNearMiss : public testing::TestWithParam<NearMiss> {
 protected:
  // The sum the budget presses on, its rounding bound and the direction
  // pointing away from the box.
  void SetUp() override {
    const auto [n, side] = GetParam();
    problem_ = one_sided(n, side);
    const std::vector<double>& pressed =
        side == Side::Upper ? problem_->upper_bounds() : problem_->lower_bounds();
    edge_ = left_to_right_sum(pressed);
    error_ = error_bound(pressed);
    outward_ = side == Side::Upper ? 1.0 : -1.0;
    lowest_ = left_to_right_sum(problem_->lower_bounds());
    highest_ = left_to_right_sum(problem_->upper_bounds());
  }

  std::optional<PortfolioProblem> problem_;
  double edge_ = 0.0;
  double error_ = 0.0;
  double outward_ = 1.0;
  double lowest_ = 0.0;
  double highest_ = 0.0;
};

TEST_P(BudgetNearMiss, OneShotAcceptsWithinTheRoundingErrorAndRefusesBeyond) {
  for (const double inside : {edge_ + outward_ * 0.5 * error_, std::nextafter(edge_, outward_ * 10.0)}) {
    if (std::abs(inside - edge_) > error_) continue;  // one ulp may exceed the bound for small n
    auto accepted = PortfolioProblem(*problem_).with_budget(inside);
    ASSERT_TRUE(accepted.has_value());
    const auto qp = accepted->to_qp();
    EXPECT_TRUE(qp.has_value()) << qp.error().message();
  }
  for (const double outside : {edge_ + outward_ * 2.0 * error_, edge_ + outward_ * 1e-9}) {
    if (outside == edge_) continue;  // n = 1: no rounding, so no tolerance either
    auto refused = PortfolioProblem(*problem_).with_budget(outside);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(message_of(refused->to_qp()), refusal(outside, lowest_, highest_));
  }
}

TEST_P(BudgetNearMiss, SequenceUpdatesFollowTheSameRule) {
  // The base budget sits well inside the box; the dates move it to the edge.
  auto base = PortfolioProblem(*problem_).with_budget(outward_ * 0.5);
  ASSERT_TRUE(base.has_value());
  auto sequence = sequence_with(*base, SolverSettings{});
  ASSERT_TRUE(sequence.has_value()) << sequence.error().message();

  const double outside = edge_ + outward_ * 1e-9;
  RebalanceStep refused_step;
  refused_step.budget = outside;
  EXPECT_EQ(message_of(sequence->solve_next(refused_step)), refusal(outside, lowest_, highest_));

  RebalanceStep accepted_step;
  accepted_step.budget = edge_ + outward_ * 0.5 * error_;
  const auto solution = sequence->solve_next(accepted_step);
  ASSERT_TRUE(solution.has_value()) << solution.error().message();
  EXPECT_EQ(sequence->workspace().problem().equalities.rhs[0], *accepted_step.budget);
}

INSTANTIATE_TEST_SUITE_P(Sides, BudgetNearMiss,
                         testing::Values(NearMiss{1, Side::Upper}, NearMiss{7, Side::Upper},
                                         NearMiss{10, Side::Upper}, NearMiss{300, Side::Upper},
                                         NearMiss{9, Side::Lower}, NearMiss{10, Side::Lower},
                                         NearMiss{1000, Side::Lower}),
                         [](const testing::TestParamInfo<NearMiss>& info) {
                           return std::string(info.param.side == Side::Upper ? "Upper" : "Lower") +
                                  std::to_string(info.param.n);
                         });

// The budget that the rounding made unreachable: exactly ±1 against caps
// (or floors) of ±1/n whose sum falls short of it.
TEST(BudgetNearMissFamilies, ExactBudgetsAcceptedOnBothSides) {
  for (const Side side : {Side::Upper, Side::Lower}) {
    for (const std::size_t n : {6u, 7u, 9u, 10u, 11u, 300u, 1000u}) {
      auto problem = one_sided(n, side).with_budget(side == Side::Upper ? 1.0 : -1.0);
      ASSERT_TRUE(problem.has_value());
      const auto qp = problem->to_qp();
      EXPECT_TRUE(qp.has_value()) << "n = " << n << ": " << qp.error().message();
    }
  }
}

}  // namespace
}  // namespace morva
