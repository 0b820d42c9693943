// Settings validation, error texts, the stopping rule, the adaptive penalty
// rule and the diagnosis of failed solves.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "convergence.hpp"
#include "morva/error_types.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"
#include "penalty.hpp"
#include "support/dense.hpp"

namespace morva {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string rule_message(const SolverSettings& settings) {
  auto result = validate_settings(settings);
  return result ? std::string("valid") : result.error().message();
}

using dense::matrix;
using dense::open_qp;

// ---- Settings ----

TEST(SettingsValidation, DefaultsAreValid) {
  EXPECT_EQ(rule_message(SolverSettings{}), "valid");
}

TEST(SettingsValidation, EachRuleBrokenAloneReportsItsText) {
  struct Case {
    const char* label;
    std::function<void(SolverSettings&)> breaks;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"max_iterations 0", [](auto& s) { s.max_iterations = 0; }, "max_iterations must be positive"},
      {"absolute_tolerance 0", [](auto& s) { s.absolute_tolerance = 0.0; },
       "absolute_tolerance must be finite and positive"},
      {"absolute_tolerance inf", [](auto& s) { s.absolute_tolerance = kInf; },
       "absolute_tolerance must be finite and positive"},
      {"relative_tolerance negative", [](auto& s) { s.relative_tolerance = -1e-9; },
       "relative_tolerance must be finite and non-negative"},
      {"relative_tolerance NaN", [](auto& s) { s.relative_tolerance = kNaN; },
       "relative_tolerance must be finite and non-negative"},
      {"rho NaN", [](auto& s) { s.rho = kNaN; }, "rho must be finite and positive"},
      {"rho 0", [](auto& s) { s.rho = 0.0; }, "rho must be finite and positive"},
      {"sigma 0", [](auto& s) { s.sigma = 0.0; }, "sigma must be finite and positive"},
      {"check_termination_every 0", [](auto& s) { s.check_termination_every = 0; },
       "check_termination_every must be positive"},
      {"adaptive_rho_interval 0", [](auto& s) { s.adaptive_rho_interval = 0; },
       "adaptive_rho_interval must be positive"},
      {"adaptive_rho_tolerance 1", [](auto& s) { s.adaptive_rho_tolerance = 1.0; },
       "adaptive_rho_tolerance must be finite and greater than one"},
      {"adaptive_rho_multiplier inf", [](auto& s) { s.adaptive_rho_multiplier = kInf; },
       "adaptive_rho_multiplier must be finite and greater than one"},
      {"over_relaxation 2", [](auto& s) { s.over_relaxation = 2.0; },
       "over_relaxation must lie strictly between zero and two"},
      {"over_relaxation 0", [](auto& s) { s.over_relaxation = 0.0; },
       "over_relaxation must lie strictly between zero and two"},
      {"over_relaxation NaN", [](auto& s) { s.over_relaxation = kNaN; },
       "over_relaxation must lie strictly between zero and two"},
      {"minimum_rho 0", [](auto& s) { s.minimum_rho = 0.0; }, "minimum_rho must be finite and positive"},
      {"maximum_rho below minimum", [](auto& s) { s.maximum_rho = 0.5e-6; },
       "maximum_rho must be finite and at least minimum_rho"},
      {"maximum_rho inf", [](auto& s) { s.maximum_rho = kInf; },
       "maximum_rho must be finite and at least minimum_rho"},
      {"rho above maximum", [](auto& s) { s.rho = 1e7; }, "rho must lie between minimum_rho and maximum_rho"},
      {"rho below minimum", [](auto& s) { s.rho = 1e-7; },
       "rho must lie between minimum_rho and maximum_rho"},
      {"infeasibility_tolerance negative", [](auto& s) { s.infeasibility_tolerance = -1e-12; },
       "infeasibility_tolerance must be finite and non-negative"},
      {"polish_regularization 0", [](auto& s) { s.polish_regularization = 0.0; },
       "polish_regularization must be finite and positive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SolverSettings settings;
    c.breaks(settings);
    EXPECT_EQ(rule_message(settings), std::string("invalid solver setting: ") + c.text);
    auto error = validate_settings(settings).error();
    EXPECT_EQ(error.kind, SolverError::Kind::InvalidSetting);
  }
}

TEST(SettingsValidation, BoundaryValuesThatPass) {
  const std::vector<std::pair<const char*, std::function<void(SolverSettings&)>>> cases = {
      {"over_relaxation 1.999", [](auto& s) { s.over_relaxation = 1.999; }},
      {"relative_tolerance 0", [](auto& s) { s.relative_tolerance = 0.0; }},
      {"relative_tolerance -0", [](auto& s) { s.relative_tolerance = -0.0; }},
      {"infeasibility_tolerance 0", [](auto& s) { s.infeasibility_tolerance = 0.0; }},
      {"rho at maximum", [](auto& s) { s.rho = 1e6; }},
      {"rho at minimum", [](auto& s) { s.rho = 1e-6; }},
      {"maximum equals minimum", [](auto& s) { s.minimum_rho = s.maximum_rho = s.rho = 2.0; }},
      // Not validated at all.
      {"scaling and polish fields",
       [](auto& s) {
         s.scaling_iterations = 0;
         s.polish_refinement_steps = 0;
         s.adaptive_rho = false;
         s.polish = false;
       }},
  };
  for (const auto& [label, change] : cases) {
    SCOPED_TRACE(label);
    SolverSettings settings;
    change(settings);
    EXPECT_EQ(rule_message(settings), "valid");
  }
}

TEST(SettingsValidation, FirstBrokenRuleWins) {
  SolverSettings everything_wrong;
  everything_wrong.max_iterations = 0;
  everything_wrong.absolute_tolerance = -1.0;
  everything_wrong.rho = kNaN;
  everything_wrong.over_relaxation = 3.0;
  everything_wrong.polish_regularization = 0.0;
  EXPECT_EQ(rule_message(everything_wrong), "invalid solver setting: max_iterations must be positive");

  SolverSettings late;  // the over_relaxation rule comes before the polish_regularization rule
  late.over_relaxation = 2.5;
  late.polish_regularization = -1.0;
  EXPECT_EQ(rule_message(late),
            "invalid solver setting: over_relaxation must lie strictly between zero and two");

  // A finite positive rho outside the clamps fails the clamp rule, not the
  // "finite and positive" rule; the clamp rule comes before the
  // infeasibility_tolerance rule.
  SolverSettings clamp_only;
  clamp_only.rho = 1e7;
  clamp_only.infeasibility_tolerance = -1.0;
  EXPECT_EQ(rule_message(clamp_only),
            "invalid solver setting: rho must lie between minimum_rho and maximum_rho");
}

// ---- Errors ----

TEST(SolverErrorText, EveryKindHasItsMessage) {
  const std::vector<std::pair<SolverError, std::string>> cases = {
      {SolverError::from_problem(ProblemError::non_finite("linear")),
       "linear contains a non-finite coefficient"},
      {SolverError::invalid_setting("rho must be finite and positive"),
       "invalid solver setting: rho must be finite and positive"},
      {SolverError::covariance_not_psd(), "dense factor covariance is not positive semidefinite"},
      {SolverError::factorization_failed(), "failed to factor the reduced linear system"},
      {SolverError::length_mismatch(LengthMismatch{"dual.bounds", 5, 4}),
       "dual.bounds has length 4; expected 5"},
      {SolverError::warm_start_length("bound_dual", 3, 4), "warm-start bound_dual has length 3; expected 4"},
      {SolverError::warm_start_non_finite("x"), "warm-start x contains a non-finite value"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.message(), text);
}

// ---- Solution ----

TEST(SolutionWarmStart, CopiesEveryBlockAndMarksEmptyOnesPresent) {
  Solution solution;
  solution.x = {0.25, 0.75};
  solution.dual.inequalities = {0.5};
  solution.dual.bounds = {-1.0, 0.0};
  const WarmStart start = solution.warm_start();
  EXPECT_EQ(start.x, solution.x);
  ASSERT_TRUE(start.equality_dual.has_value());
  EXPECT_TRUE(start.equality_dual->empty());
  EXPECT_EQ(start.inequality_dual, std::optional(std::vector<double>{0.5}));
  EXPECT_EQ(start.bound_dual, std::optional(std::vector<double>{-1.0, 0.0}));
  ASSERT_TRUE(start.l1_dual.has_value());
  EXPECT_TRUE(start.l1_dual->empty());
}

// ---- Stopping rule ----

TEST(StoppingTolerances, ZeroDataGivesFloorsOfOne) {
  const QpProblem p = open_qp({0.0, 0.0, 0.0});
  const DualVariables duals{{}, {}, {0.0, 0.0, 0.0}, {}};
  const std::vector<double> x(3, 0.0);
  const auto tol = stopping_tolerances(1e-6, 1e-5, p, x, duals, iterate_products(p, x));
  EXPECT_DOUBLE_EQ(tol.primal, 1e-6 + 1e-5);
  EXPECT_DOUBLE_EQ(tol.dual, 1e-6 + 1e-5);
}

// minimise ½·2x₀² + ½x₁² + q·x + c·|x − a|
// s.t. x₀ + x₁ = 3 (b_eq 3), 2x₀ − x₁ ≤ −4 (b_in −4).
// At x = (5, −1): ‖x‖ = 5, A_eq·x = 4, A_in·x = 11 → s_p = 11.
// P·x = (10, −1); q = (7, 0); c = (0.5, 20); A_eqᵀ·1 + A_inᵀ·2 + y_box + y_l1 with
// y_box = (0, 1), y_l1 = (0, 30): (1 + 4, 1 − 2 + 1 + 30) = (5, 30) → s_d = 30.
TEST(StoppingTolerances, ScalesTakeTheLargestTerm) {
  QpProblem p = open_qp({2.0, 1.0});
  p.linear = {7.0, 0.0};
  p.equalities = {matrix(1, 2, {1.0, 1.0}), {3.0}};
  p.inequalities = {matrix(1, 2, {2.0, -1.0}), {-4.0}};
  p.l1 = L1Term{{0.5, 20.0}, {0.0, 0.0}};
  const std::vector<double> x = {5.0, -1.0};
  const DualVariables duals{{1.0}, {2.0}, {0.0, 1.0}, {0.0, 30.0}};
  const IterateProducts products = iterate_products(p, x);
  const auto tol = stopping_tolerances(1e-6, 1e-3, p, x, duals, products);
  EXPECT_DOUBLE_EQ(tol.primal, 1e-6 + 1e-3 * 11.0);
  EXPECT_DOUBLE_EQ(tol.dual, 1e-6 + 1e-3 * 30.0);

  // The L1 costs alone can set the dual scale.
  p.l1->costs = {0.5, 40.0};
  EXPECT_DOUBLE_EQ(stopping_tolerances(1e-6, 1e-3, p, x, duals, products).dual, 1e-6 + 1e-3 * 40.0);
  // The right-hand sides alone can set the primal scale.
  p.inequalities.rhs = {-50.0};
  EXPECT_DOUBLE_EQ(stopping_tolerances(1e-6, 1e-3, p, x, duals, products).primal, 1e-6 + 1e-3 * 50.0);
}

TEST(StoppingTolerances, NaNNormIsIgnoredByTheMaximum) {
  // ‖x‖∞ is NaN, so it drops out and the floor of 1 (not NaN) is the primal scale;
  // ‖P·x‖∞ is NaN too and q = 4 sets the dual scale.
  QpProblem p = open_qp({1.0, 1.0});
  p.linear = {0.0, 4.0};
  const DualVariables duals{{}, {}, {0.0, 0.0}, {}};
  const std::vector<double> x = {kNaN, 0.5};
  const auto tol = stopping_tolerances(1e-6, 1e-5, p, x, duals, iterate_products(p, x));
  EXPECT_DOUBLE_EQ(tol.primal, 1e-6 + 1e-5);
  EXPECT_DOUBLE_EQ(tol.dual, 1e-6 + 4e-5);
}

TEST(StoppingRule, ComparisonsAreInclusiveAndNaNNeverConverges) {
  struct Case {
    KktResiduals residuals;
    StoppingTolerances tolerances;
    bool converged;
  };
  const std::vector<Case> cases = {
      {{1e-6, 3e-6, 2e-6}, {1e-6, 3e-6}, true},  // complementarity against the larger tolerance
      {{1e-6, 3e-6, 3e-6}, {1e-6, 3e-6}, true},  // equality counts
      {{1e-6, 3e-6, 4e-6}, {1e-6, 3e-6}, false},
      {{2e-6, 1e-6, 0.0}, {1e-6, 3e-6}, false},  // primal above its own tolerance
      {{1e-6, 4e-6, 0.0}, {1e-6, 3e-6}, false},
      {{kNaN, 0.0, 0.0}, {1.0, 1.0}, false},
      {{0.0, kNaN, 0.0}, {1.0, 1.0}, false},
      {{0.0, 0.0, kNaN}, {1.0, 1.0}, false},
      {{0.0, 0.0, 0.0}, {kNaN, 1.0}, false},
      {{0.0, 0.0, 0.0}, {1.0, kNaN}, false},
      {{0.0, 0.0, 0.0}, {0.0, 0.0}, true},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(is_converged(cases[i].residuals, cases[i].tolerances), cases[i].converged);
  }
}

// minimise ½x₀² + ½x₁² − 2x₀  s.t.  x₀ + x₁ = 1, open box.
// Optimum x = (1.5, −0.5), y_eq = 0.5 (stationarity x₀ − 2 + y = 0, x₁ + y = 0).
// Default tolerances: ε_p = 1e-6 + 1e-5·max(1.5, 1, 1, 1) = 1.6e-5,
// ε_d = 1e-6 + 1e-5·max(‖Px‖ = 1.5, 1, ‖q‖ = 2, 0.5) = 2.1e-5.
TEST(StoppingRule, MeetsTheRuleExactlyWhenResidualsAreWithinTolerance) {
  QpProblem p = open_qp({1.0, 1.0});
  p.linear = {-2.0, 0.0};
  p.equalities = {matrix(1, 2, {1.0, 1.0}), {1.0}};
  SolverSettings loose;
  loose.relative_tolerance = 1e-3;
  struct Case {
    const char* label;
    std::vector<double> x;
    DualVariables duals;
    SolverSettings settings;
    std::expected<bool, LengthMismatch> expected;
  };
  const std::vector<Case> cases = {
      {"optimum", {1.5, -0.5}, {{0.5}, {}, {0.0, 0.0}, {}}, {}, true},
      {"equality gap 1e-5", {1.5 + 1e-5, -0.5}, {{0.5}, {}, {0.0, 0.0}, {}}, {}, true},
      {"equality gap 3e-5", {1.5 + 3e-5, -0.5}, {{0.5}, {}, {0.0, 0.0}, {}}, {}, false},
      {"equality gap 3e-5, loose", {1.5 + 3e-5, -0.5}, {{0.5}, {}, {0.0, 0.0}, {}}, loose, true},
      {"stationarity 3e-5", {1.5, -0.5}, {{0.5 + 3e-5}, {}, {0.0, 0.0}, {}}, {}, false},
      {"short x", {1.5}, {{0.5}, {}, {0.0, 0.0}, {}}, {}, std::unexpected(LengthMismatch{"x", 2, 1})},
      {"short bounds",
       {1.5, -0.5},
       {{0.5}, {}, {0.0}, {}},
       {},
       std::unexpected(LengthMismatch{"dual.bounds", 2, 1})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const IterateProducts products = iterate_products(p, c.x);
    const auto got = meets_stopping_rule(p, c.x, c.duals, c.settings, products);
    EXPECT_EQ(got, c.expected);
    // The rule is the stopping test of the public pieces, however it shares their work.
    const auto residuals = check_kkt(p, c.x, c.duals);
    ASSERT_EQ(residuals.has_value(), got.has_value());
    if (!residuals) continue;
    const StoppingTolerances tolerances = stopping_tolerances(
        c.settings.absolute_tolerance, c.settings.relative_tolerance, p, c.x, c.duals, products);
    EXPECT_EQ(*got, is_converged(*residuals, tolerances));
  }
}

// ---- Adaptive penalty ----

TEST(ConsensusResiduals, PrimalTakesTheWorstBlockAndSkipsNaN) {
  QpProblem p = open_qp({1.0, 1.0});
  p.l1 = L1Term{{1.0, 1.0}, {1.0, -2.0}};
  const std::vector<double> eq_image = {1.0}, z_eq = {1.5};              // 0.5
  const std::vector<double> in_image = {kNaN, 2.0}, z_in = {0.0, 1.25};  // NaN skipped, 0.75
  const std::vector<double> x = {0.0, 1.0}, z_box = {0.1, 1.0};          // 0.1
  const std::vector<double> z_l1 = {-1.0, 2.0};                          // |0−1+1| = 0, |1+2−2| = 1
  EXPECT_DOUBLE_EQ(consensus_primal_residual(p, eq_image, z_eq, in_image, z_in, x, z_box, z_l1), 1.0);
  // Without the L1 term its block does not count.
  p.l1.reset();
  EXPECT_DOUBLE_EQ(consensus_primal_residual(p, eq_image, z_eq, in_image, z_in, x, z_box, {}), 0.75);
  // Nothing at all: 0.
  const QpProblem empty = open_qp({});
  EXPECT_EQ(consensus_primal_residual(empty, {}, {}, {}, {}, {}, {}, {}), 0.0);
}

// v = Δz_box + Δz_l1 + A_inᵀΔz_in with A_in = [[1, 2], [0, −1]], Δz_in = (1, 3),
// Δz_box = (0.5, 0), Δz_l1 = (0, −0.25): v = (0.5 + 1, −0.25 + 2 − 3) = (1.5, −1.25).
TEST(ConsensusResiduals, DualIsRhoTimesTheChangeImage) {
  QpProblem p = open_qp({1.0, 1.0});
  p.inequalities = {matrix(2, 2, {1.0, 2.0, 0.0, -1.0}), {0.0, 0.0}};
  p.l1 = L1Term{{1.0, 1.0}, {0.0, 0.0}};
  const std::vector<double> in_before = {0.0, 1.0}, in_after = {1.0, 4.0};
  const std::vector<double> box_before = {0.0, 2.0}, box_after = {0.5, 2.0};
  const std::vector<double> l1_before = {1.0, 1.0}, l1_after = {1.0, 0.75};
  std::vector<double> scratch(2, 99.0);
  EXPECT_DOUBLE_EQ(consensus_dual_residual(2.0, p, in_before, in_after, box_before, box_after, l1_before,
                                           l1_after, scratch),
                   2.0 * 1.5);
  // The L1 block only counts when the problem has the term: v = (1.5, −1).
  p.l1.reset();
  EXPECT_DOUBLE_EQ(
      consensus_dual_residual(1.0, p, in_before, in_after, box_before, box_after, {}, {}, scratch), 1.5);
  // A NaN change propagates.
  const std::vector<double> box_nan = {kNaN, 2.0};
  EXPECT_TRUE(
      std::isnan(consensus_dual_residual(1.0, p, in_before, in_after, box_before, box_nan, {}, {}, scratch)));
}

TEST(AdaptivePenalty, ProposalTable) {
  const SolverSettings settings;  // τ = 5, μ = 2, clamps [1e-6, 1e6]
  struct Case {
    double rho, primal, dual, proposal;
  };
  const std::vector<Case> cases = {
      {1.0, 6.0, 1.0, 2.0},                             // primal dominates: ×μ
      {1.0, 1.0, 6.0, 0.5},                             // dual dominates: ÷μ
      {1.0, 1.0, 4.0, 1.0},                             // balanced
      {1.0, 5.0, 1.0, 1.0},                             // strict comparison
      {1.0, 1.0, 5.0, 1.0},     {1.0, kNaN, 1.0, 1.0},  // NaN never moves ρ
      {1.0, 1.0, kNaN, 1.0},    {1e6, 6.0, 1.0, 1e6},   // already at the upper clamp
      {7e5, 6.0, 1.0, 1e6},                             // clamped up
      {1.5e-6, 1.0, 6.0, 1e-6},                         // clamped down
      {3.0, 0.0, 0.0, 3.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rho << " " << c.primal << " " << c.dual);
    EXPECT_EQ(propose_rho(settings, c.rho, c.primal, c.dual), c.proposal);
  }
}

// ---- Diagnosis ----

TEST(CoefficientSpread, CountsTheListedArraysOnly) {
  QpProblem p = open_qp({1e4, 1e-3});
  EXPECT_DOUBLE_EQ(coefficient_spread_decades(p), 7.0);
  // Zeros, infinities (bounds) and Ω do not count.
  p.lower_bounds = {-1e-20, -kInf};
  p.upper_bounds = {1e30, kInf};
  p.quadratic = FactorQuad{matrix(2, 1, {1.0, 0.0}), FactorCovariance::diagonal({1e-30}), {1e4, 1e-3}};
  EXPECT_DOUBLE_EQ(coefficient_spread_decades(p), 7.0);
  // Every listed array contributes.
  p.inequalities = {matrix(1, 2, {0.0, 1e-5}), {0.0}};
  EXPECT_DOUBLE_EQ(coefficient_spread_decades(p), 9.0);
  p.l1 = L1Term{{0.0, 0.0}, {1e6, 0.0}};
  EXPECT_DOUBLE_EQ(coefficient_spread_decades(p), 11.0);
  p.equalities = {matrix(1, 2, {1.0, 1.0}), {1e-8}};
  EXPECT_DOUBLE_EQ(coefficient_spread_decades(p), 14.0);
  p.linear = {1e7, 0.0};
  EXPECT_DOUBLE_EQ(coefficient_spread_decades(p), 15.0);
}

TEST(CoefficientSpread, NoCoefficientGivesZero) {
  EXPECT_EQ(coefficient_spread_decades(open_qp({0.0, 0.0})), 0.0);
  EXPECT_EQ(coefficient_spread_decades(open_qp({3.0})), 0.0);
}

TEST(CoefficientSpread, ExtremeMagnitudesStayFinite) {
  // largest/smallest = 1e608 overflows; the difference of logarithms does not.
  const double spread = coefficient_spread_decades(open_qp({1e308, 1e-300}));
  EXPECT_TRUE(std::isfinite(spread));
  EXPECT_NEAR(spread, 608.0, 1e-9);
  EXPECT_NEAR(coefficient_spread_decades(open_qp({1.0, 4.9406564584124654e-324})), 323.306215343, 1e-8);
}

// The hint fixture: n = 2, P = diag(d), no other data, x = 0, zero duals, so
// ε_p = ε_d = 1e-6 + 1e-5 = 1.1e-5 with the default settings.
struct DiagnosisInput {
  std::vector<double> diagonal = {1.0, 1.0};
  KktResiduals residuals;
  double final_rho = 1.0;
  SolveStatus status = SolveStatus::MaxIterations;
  std::uint64_t rho_updates = 0;
  SolverSettings settings;
};

ConvergenceDiagnostics diagnose(const DiagnosisInput& in) {
  const QpProblem p = open_qp(in.diagonal);
  const std::vector<double> x(p.n(), 0.0);
  const DualVariables duals{{}, {}, x, {}};
  const DiagnosisData data{stopping_tolerances(in.settings.absolute_tolerance, in.settings.relative_tolerance,
                                               p, x, duals, iterate_products(p, x)),
                           coefficient_spread_decades(p)};
  return diagnose_failure(p, data, in.residuals, in.final_rho, in.status, std::nullopt, in.rho_updates,
                          in.settings);
}

constexpr double kEps = 1.1e-5;
const std::string kBothFar =
    "both residuals remain far from tolerance after 10000 iterations; rescale the problem data or relax "
    "tolerances before raising the iteration budget";
const std::string kPrimalDominates =
    "the primal residual dominates and no infeasibility certificate was found within "
    "infeasibility_tolerance; "
    "the constraints may be feasible only barely, or infeasible by a margin below that tolerance \u2014 "
    "verify "
    "that budget, boxes, and linear constraints admit a common point";
const std::string kDualDominates =
    "the dual residual dominates; consider loosening relative_tolerance, decreasing rho, or rescaling the "
    "objective so risk and return terms have comparable magnitude";
const std::string kNonFinite =
    "an iterate became non-finite; check the input for extreme coefficient magnitudes or near-singular "
    "covariance data";

std::string spread_hint(const char* decades, bool scaling) {
  return scaling
             ? std::string("problem coefficients span about ") + decades +
                   " orders of magnitude even though Ruiz equilibration ran; rescale returns, covariance, "
                   "and "
                   "constraints toward comparable units before solving"
             : std::string("problem coefficients span about ") + decades +
                   " orders of magnitude and automatic scaling is disabled; set scaling_iterations to its "
                   "default (10) or rescale returns, covariance, and constraints toward comparable units";
}

std::string retuned_hint(int times) {
  return "rho was re-tuned " + std::to_string(times) +
         " times, a sign of conflicting primal/dual scales; data rescaling usually helps more than iteration "
         "budget";
}

TEST(Diagnosis, TolerancesAndFieldsAreReported) {
  DiagnosisInput in;
  in.diagonal = {1e4, 1e-3};
  const auto d = diagnose(in);
  EXPECT_DOUBLE_EQ(d.primal_tolerance, kEps);
  EXPECT_DOUBLE_EQ(d.dual_tolerance, kEps);
  EXPECT_DOUBLE_EQ(d.coefficient_spread_decades, 7.0);
  EXPECT_FALSE(d.rho_at_limit);
}

TEST(Diagnosis, HintTable) {
  struct Case {
    const char* label;
    DiagnosisInput input;
    std::vector<std::string> hints;
    bool rho_at_limit = false;
  };
  auto with = [](std::function<void(DiagnosisInput&)> change) {
    DiagnosisInput in;
    change(in);
    return in;
  };
  SolverSettings no_scaling;
  no_scaling.scaling_iterations = 0;
  const std::vector<Case> cases = {
      {"near tolerance",
       with([](auto& in) {
         in.residuals = {5 * kEps, 50 * kEps, 0.0};
       }),
       {"residuals are within two orders of magnitude of tolerance (primal 5.5e-5 vs 1.1e-5, dual 5.5e-4 vs "
        "1.1e-5); raising max_iterations above 10000 will likely finish the solve"}},
      {"primal dominates",
       with([](auto& in) {
         in.residuals = {1e6 * kEps, 10 * kEps, 0.0};
       }),
       {kPrimalDominates}},
      {"dual dominates",
       with([](auto& in) {
         in.residuals = {10 * kEps, 1e6 * kEps, 0.0};
       }),
       {kDualDominates}},
      {"both far",
       with([](auto& in) {
         in.residuals = {1e4 * kEps, 1e4 * kEps, 0.0};
       }),
       {kBothFar}},
      {"infinite residuals",
       with([](auto& in) {
         in.residuals = {kInf, kInf, 0.0};
       }),
       {kBothFar}},
      {"spread exactly 6",
       with([](auto& in) {
         in.diagonal = {1e3, 1e-3};
         in.status = SolveStatus::DualInfeasible;
       }),
       {}},
      {"spread 7 with scaling",
       with([](auto& in) {
         in.diagonal = {1e4, 1e-3};
         in.status = SolveStatus::PrimalInfeasible;
       }),
       {spread_hint("7", true)}},
      {"spread 7 without scaling",
       with([&](auto& in) {
         in.diagonal = {1e4, 1e-3};
         in.status = SolveStatus::PrimalInfeasible;
         in.settings = no_scaling;
       }),
       {spread_hint("7", false)}},
      {"spread rounds to whole decades",
       with([](auto& in) {
         in.diagonal = {3e10, 1.0};  // 10.477
         in.status = SolveStatus::PrimalInfeasible;
       }),
       {spread_hint("10", true)}},
      {"rho at the upper limit",
       with([](auto& in) {
         in.final_rho = 1e6;
         in.status = SolveStatus::DualInfeasible;
       }),
       {"the adaptive penalty finished pinned at 1.0e6 (allowed range [1.0e-6, 1.0e6]); widen "
        "minimum_rho/maximum_rho or start rho closer to this value"},
       true},
      {"rho at the lower limit",
       with([](auto& in) {
         in.final_rho = 1e-6;
         in.status = SolveStatus::DualInfeasible;
       }),
       {"the adaptive penalty finished pinned at 1.0e-6 (allowed range [1.0e-6, 1.0e6]); widen "
        "minimum_rho/maximum_rho or start rho closer to this value"},
       true},
      {"ten updates",
       with([](auto& in) {
         in.rho_updates = 10;
         in.status = SolveStatus::PrimalInfeasible;
       }),
       {}},
      {"eleven updates",
       with([](auto& in) {
         in.rho_updates = 11;
         in.status = SolveStatus::PrimalInfeasible;
       }),
       {retuned_hint(11)}},
      {"numerical failure",
       with([](auto& in) {
         in.status = SolveStatus::NumericalFailure;
         in.residuals = {kInf, kInf, kInf};
       }),
       {kNonFinite}},
      {"all hints in order",
       with([](auto& in) {
         in.diagonal = {1e4, 1e-3};
         in.final_rho = 1e6;
         in.rho_updates = 12;
         in.residuals = {1e6 * kEps, 10 * kEps, 0.0};
       }),
       {spread_hint("7", true),
        "the adaptive penalty finished pinned at 1.0e6 (allowed range [1.0e-6, 1.0e6]); widen "
        "minimum_rho/maximum_rho or start rho closer to this value",
        kPrimalDominates, retuned_hint(12)},
       true},
      {"numerical failure never gets hint 5",
       with([](auto& in) {
         in.status = SolveStatus::NumericalFailure;
         in.residuals = {kInf, kInf, kInf};
         in.diagonal = {1e4, 1e-3};
         in.rho_updates = 11;
       }),
       {kNonFinite, spread_hint("7", true), retuned_hint(11)}},
      {"extreme spread",
       with([](auto& in) {
         in.diagonal = {1e308, 1e-300};
         in.status = SolveStatus::PrimalInfeasible;
       }),
       {spread_hint("608", true)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const auto d = diagnose(c.input);
    EXPECT_EQ(d.hints, c.hints);
    EXPECT_EQ(d.rho_at_limit, c.rho_at_limit);
  }
}

TEST(Diagnosis, IterationBudgetAppearsInTheNearToleranceText) {
  DiagnosisInput in;
  in.settings.max_iterations = 250;
  in.residuals = {0.0, 2 * kEps, 0.0};
  const auto d = diagnose(in);
  ASSERT_EQ(d.hints.size(), 1u);
  EXPECT_EQ(
      d.hints[0],
      "residuals are within two orders of magnitude of tolerance (primal 0.0e0 vs 1.1e-5, dual 2.2e-5 vs "
      "1.1e-5); raising max_iterations above 250 will likely finish the solve");
}

// x ∈ [0, 1] and x = 2 (one variable): y = −1 on the equality and w = 1 on the
// upper bound cancel (−1 + 1 = 0) with value 2·(−1) + 1·1 = −1.
TEST(Diagnosis, CertificateHintsQuoteTheAudit) {
  QpProblem p = open_qp({1.0});
  p.equalities = {matrix(1, 1, {1.0}), {2.0}};
  p.lower_bounds = {0.0};
  p.upper_bounds = {1.0};
  const std::optional<Certificate> farkas = Certificate{PrimalCertificate{{-1.0}, {}, {1.0}}};
  const auto primal = diagnose_failure(p, DiagnosisData{}, {1.0, 0.0, 0.0}, 1.0,
                                       SolveStatus::PrimalInfeasible, farkas, 0, SolverSettings{});
  ASSERT_EQ(primal.hints.size(), 1u);
  EXPECT_EQ(
      primal.hints[0],
      "a Farkas certificate proves the constraints admit no common point: the weighted constraint "
      "combination in Solution::certificate cancels every variable (stationarity residual 0.0e0) yet "
      "requires a value below -1.000e0; relax one of the participating constraints (audit independently "
      "with check_primal_certificate)");

  // Unbounded: P = diag(0, 1), q = (−2, 0), open box; ray d = (1, 0): P·d = 0, slope −2.
  QpProblem u = open_qp({0.0, 1.0});
  u.linear = {-2.0, 0.0};
  const std::optional<Certificate> ray = Certificate{DualCertificate{{1.0, 0.0}}};
  const auto dual = diagnose_failure(u, DiagnosisData{}, {0.0, 1.0, 0.0}, 1.0, SolveStatus::DualInfeasible,
                                     ray, 0, SolverSettings{});
  ASSERT_EQ(dual.hints.size(), 1u);
  EXPECT_EQ(
      dual.hints[0],
      "a descent-ray certificate proves the objective is unbounded below: along Solution::certificate's "
      "direction the quadratic cost stays at 0.0e0 while the linear cost falls at slope -2.000e0 and no "
      "constraint blocks the ray; add bounds or constraints capping this direction (audit independently "
      "with check_dual_certificate)");

  // A certificate whose audit reports a length mismatch adds nothing.
  const std::optional<Certificate> bad = Certificate{DualCertificate{{1.0}}};
  EXPECT_TRUE(diagnose_failure(u, DiagnosisData{}, {0.0, 1.0, 0.0}, 1.0, SolveStatus::DualInfeasible, bad, 0,
                               SolverSettings{})
                  .hints.empty());
}

}  // namespace
}  // namespace morva
