#include "profile_rule.hpp"

#include <gtest/gtest.h>

#include "penalty.hpp"
#include "support/dense.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace morva {
namespace {

SolverSettings with_profile(SolverProfile profile) {
  SolverSettings settings;
  settings.profile = profile;
  settings.max_iterations = 1000;
  return settings;
}

// The adaptive profile runs on only after a solved, unpolished first run with
// iterations to spare, to tolerances ×1e-2 and k + max(5k, 100) iterations
// (within the budget); the reference profile never does.
struct SecondRunCase {
  const char* name;
  SolveStatus status;
  bool polished;
  bool polish;
  std::uint64_t k;
  std::uint64_t max_iterations;  // of the second run; 0: none
};

class SecondRun : public testing::TestWithParam<SecondRunCase> {};

TEST_P(SecondRun, FollowsTheFirstRunsOutcome) {
  const SecondRunCase& c = GetParam();
  SolverSettings settings = with_profile(SolverProfile::Adaptive);
  settings.polish = c.polish;
  Solution solution;
  solution.status = c.status;
  solution.polished = c.polished;
  const auto run = profile_rule(settings).second_run(settings, solution, c.k);
  EXPECT_FALSE(profile_rule(with_profile(SolverProfile::Reference)).second_run(settings, solution, c.k));
  ASSERT_EQ(run.has_value(), c.max_iterations > 0);
  if (!run) return;
  EXPECT_EQ(run->max_iterations, c.max_iterations);
  EXPECT_EQ(run->absolute_tolerance, settings.absolute_tolerance * 1e-2);
  EXPECT_EQ(run->relative_tolerance, settings.relative_tolerance * 1e-2);
}

INSTANTIATE_TEST_SUITE_P(
    ProfileRule, SecondRun,
    testing::Values(SecondRunCase{"short_run_takes_the_minimum", SolveStatus::Solved, false, true, 10, 110},
                    SecondRunCase{"long_run_grows_fivefold", SolveStatus::Solved, false, true, 100, 600},
                    SecondRunCase{"capped_by_the_budget", SolveStatus::Solved, false, true, 400, 1000},
                    SecondRunCase{"polished", SolveStatus::Solved, true, true, 10, 0},
                    SecondRunCase{"polish_off", SolveStatus::Solved, false, false, 10, 0},
                    SecondRunCase{"not_solved", SolveStatus::MaxIterations, false, true, 10, 0},
                    SecondRunCase{"budget_spent", SolveStatus::Solved, false, true, 1000, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Refinement extends past its configured passes only in the adaptive profile,
// and only when refinement is on at all.
TEST(ProfileRule, ExtendsRefinementAboveRoundingOnlyWhenAdaptiveAndRefining) {
  constexpr double kNever = std::numeric_limits<double>::infinity();
  SolverSettings adaptive = with_profile(SolverProfile::Adaptive);
  EXPECT_EQ(profile_rule(adaptive).extend_refinement_above(adaptive), 1e-6 * adaptive.absolute_tolerance);
  EXPECT_EQ(profile_rule(with_profile(SolverProfile::Reference)).extend_refinement_above(adaptive), kNever);
  adaptive.polish_refinement_steps = 0;
  EXPECT_EQ(profile_rule(adaptive).extend_refinement_above(adaptive), kNever);
}

// The adaptive penalty on one free asset at ρ = 1: primal residual |x − z|,
// dual ρ·|z − z_before|, magnitude estimate |y|/|x|. The estimate (checks up
// to 30) holds only in the direction the residuals ask for, or halfway when
// more than 30 times off; the ladder (every 25) steps by √(primal/dual),
// clamped to 10 either way.
struct PenaltyCase {
  const char* name;
  std::uint64_t k;
  double x, z, z_before, y;
  double expected;
};

class AdaptivePenalty : public testing::TestWithParam<PenaltyCase> {};

TEST_P(AdaptivePenalty, MovesTowardBalance) {
  const PenaltyCase& c = GetParam();
  const SolverSettings settings = with_profile(SolverProfile::Adaptive);
  const QpProblem problem = dense::open_qp({1.0});
  std::vector<double> x{c.x}, z{c.z}, before{c.z_before}, y{c.y}, scratch(1);
  const ConsensusStep step{c.k, {}, {}, x, {}, {}, z, {}, {}, before, {}, {}, {}, y, {}, scratch};
  EXPECT_DOUBLE_EQ(sized_ladder_rule(settings)->propose(problem, 1.0, step), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    ProfileRule, AdaptivePenalty,
    testing::Values(PenaltyCase{"estimate_with_the_primal_residual", 10, 1.0, 0.0, 0.0, 100.0, 100.0},
                    PenaltyCase{"estimate_against_the_dual_residual", 10, 1.0, 1.0, 0.0, 20.0, 1.0},
                    PenaltyCase{"far_estimate_against_it_moves_halfway", 10, 1.0, 1.0, 0.0, 100.0, 10.0},
                    PenaltyCase{"balancing_step", 25, 1.0, 0.99, -0.01, 0.0, 0.1},
                    PenaltyCase{"step_clamped", 25, 1.0, 1.0 - 1e-6, 0.0, 0.0, 0.1},
                    PenaltyCase{"step_up", 25, 1.0, 0.0, -0.04, 0.0, 5.0},
                    PenaltyCase{"balanced_within_tolerance", 25, 1.0, 0.5, 0.0, 0.0, 1.0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace morva
