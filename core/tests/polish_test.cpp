#include "morva/polish.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "active_set.hpp"
#include "covariance_columns.hpp"
#include "kkt_internal.hpp"
#include "linalg.hpp"
#include "morva/linalg.hpp"
#include "stored_columns.hpp"
#include "support/dense.hpp"
#include "support/named_case.hpp"

namespace morva {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using dense::dense_solve;
using dense::DenseMatrix;
using dense::max_abs;
using dense::max_abs_difference;
using named_case::PrintTo;
using Pins = std::vector<std::pair<std::size_t, Side>>;

double worst(const KktResiduals& r) {
  return std::max({r.primal, r.dual, r.complementarity});
}

// ---- A problem whose optimum is known by construction ----
//
// Pick x*, the active constraints and their multipliers, then set
//   q = −(P·x* + A_eqᵀλ + A_inᵀz + y_box + y_l1)
// so that (x*, λ, z, y_box, y_l1) satisfies the KKT conditions exactly.
// P = diag(d) + F·diag(ω)·Fᵀ with d > 0 makes x* the unique minimiser and
// strict complementarity everywhere makes the multipliers unique too.
//   assets 0, 1: at the lower bound 0, y_box = −0.3, −0.1
//   asset 2:     at the upper bound 0.6, y_box = 0.2
//   asset 3:     fixed, l = u = 0.25, y_box = 0.15
//   assets 4–7:  inside [0, 1]; assets 8–11 unbounded
//   equality rows: a budget row and a random row, λ = (0.4, −0.2)
//   inequality row 0 active with z = 0.25, row 1 slack 0.3
//   L1 (optional): c = 0.05; asset 4 at its anchor with y_l1 = 0.02, asset 5
//   below its anchor, every other asset above it.
struct DesignCase {
  std::string name;
  bool l1 = false;
  bool near_active_row = false;  // row 1 slack 5e-5: guessed active, must leave
  bool near_bound = false;       // asset 7 at 5e-5 above its lower bound: guessed pinned, must be released
  bool near_anchor = false;      // asset 6 at 5e-5 above its anchor: guessed anchored, must leave
};

struct Design {
  QpProblem problem;
  std::vector<double> x;
  DualVariables duals;
};

Design make_design(const DesignCase& c) {
  constexpr std::size_t n = 12;
  constexpr std::size_t k = 2;
  dense::Random random(77);
  Design design;
  QpProblem& p = design.problem;
  Matrix f = Matrix::zeros(n, k);
  for (double& e : f.data()) e = random.uniform(-1.0, 1.0);
  std::vector<double> d(n);
  for (double& e : d) e = random.uniform(0.05, 0.5);
  p.quadratic = FactorQuad{std::move(f), FactorCovariance::diagonal({0.4, 0.9}), std::move(d)};

  auto& x = design.x;
  x.resize(n);
  for (double& e : x) e = random.uniform(0.2, 0.8);
  p.lower_bounds.assign(n, 0.0);
  p.upper_bounds.assign(n, 1.0);
  for (std::size_t i = 8; i < n; ++i) {
    p.lower_bounds[i] = -kInf;
    p.upper_bounds[i] = kInf;
  }
  auto& duals = design.duals;
  duals.bounds.assign(n, 0.0);
  x[0] = 0.0;
  duals.bounds[0] = -0.3;
  x[1] = 0.0;
  duals.bounds[1] = -0.1;
  p.upper_bounds[2] = 0.6;
  x[2] = 0.6;
  duals.bounds[2] = 0.2;
  p.lower_bounds[3] = p.upper_bounds[3] = x[3] = 0.25;
  duals.bounds[3] = 0.15;
  if (c.near_bound) x[7] = 5e-5;

  const auto row_dot = [&](const Matrix& a, std::size_t r) {
    double s = 0.0;
    for (std::size_t j = 0; j < n; ++j) s += a(r, j) * x[j];
    return s;
  };
  Matrix a_eq = Matrix::zeros(2, n);
  for (std::size_t j = 0; j < n; ++j) {
    a_eq(0, j) = 1.0;
    a_eq(1, j) = random.uniform(-1.0, 1.0);
  }
  Matrix a_in = Matrix::zeros(2, n);
  for (double& e : a_in.data()) e = random.uniform(-1.0, 1.0);
  p.equalities = {a_eq, {row_dot(a_eq, 0), row_dot(a_eq, 1)}};
  p.inequalities = {a_in, {row_dot(a_in, 0), row_dot(a_in, 1) + (c.near_active_row ? 5e-5 : 0.3)}};
  duals.equalities = {0.4, -0.2};
  duals.inequalities = {0.25, 0.0};

  if (c.l1) {
    L1Term l1{std::vector<double>(n, 0.05), std::vector<double>(n)};
    duals.l1.assign(n, 0.05);
    for (std::size_t i = 0; i < n; ++i) l1.anchor[i] = x[i] - 0.1;
    l1.anchor[4] = x[4];
    duals.l1[4] = 0.02;
    l1.anchor[5] = x[5] + 0.1;
    duals.l1[5] = -0.05;
    if (c.near_anchor) l1.anchor[6] = x[6] - 5e-5;
    p.l1 = std::move(l1);
  }

  std::vector<double> gradient = p.quadratic.apply(x);
  for (std::size_t j = 0; j < n; ++j) {
    double g = gradient[j] + duals.bounds[j] + (c.l1 ? duals.l1[j] : 0.0);
    for (std::size_t r = 0; r < 2; ++r)
      g += a_eq(r, j) * duals.equalities[r] + a_in(r, j) * duals.inequalities[r];
    p.linear.push_back(-g);
  }
  return design;
}

class PolishDesignTest : public ::testing::TestWithParam<DesignCase> {};

TEST_P(PolishDesignTest, RecoversTheExactOptimum) {
  const Design design = make_design(GetParam());
  const QpProblem& problem = design.problem;
  ASSERT_TRUE(problem.validate().has_value());
  const auto exact = check_kkt(problem, design.x, design.duals);
  ASSERT_TRUE(exact.has_value());
  ASSERT_LT(worst(*exact), 1e-14);  // the construction itself

  // An ADMM-like iterate: x* perturbed by 1e-7, exact multipliers.
  dense::Random random(3);
  std::vector<double> x = design.x;
  for (double& e : x) e += random.uniform(-1e-7, 1e-7);
  const KktResiduals input = check_kkt(problem, x, design.duals).value();
  ASSERT_GT(worst(input), 1e-9);

  for (const SolverProfile profile : {SolverProfile::Reference, SolverProfile::Adaptive}) {
    SCOPED_TRACE(profile == SolverProfile::Reference ? "reference" : "adaptive");
    SolverSettings settings;
    settings.profile = profile;
    const auto polished = polish(problem, x, design.duals, input, settings);
    ASSERT_TRUE(polished.has_value());
    EXPECT_LT(worst(polished->residuals), worst(input));
    EXPECT_LE(worst(polished->residuals), 1e-9);
    EXPECT_EQ(polished->residuals, check_kkt(problem, polished->x, polished->duals).value());
    EXPECT_LE(dense::dense_kkt(problem, polished->x, polished->duals).worst_relative(), 1e-9);

    EXPECT_LE(max_abs_difference(polished->x, design.x), 1e-9);
    EXPECT_LE(max_abs_difference(polished->duals.equalities, design.duals.equalities), 1e-8);
    EXPECT_LE(max_abs_difference(polished->duals.inequalities, design.duals.inequalities), 1e-8);
    EXPECT_LE(max_abs_difference(polished->duals.bounds, design.duals.bounds), 1e-8);
    EXPECT_LE(max_abs_difference(polished->duals.l1, design.duals.l1), 1e-8);
  }
}

TEST_P(PolishDesignTest, NeverReplacesAnIterateThatCannotBeBeaten) {
  const Design design = make_design(GetParam());
  for (const KktResiduals& input : {KktResiduals{0.0, 0.0, 0.0}, KktResiduals{kNaN, kNaN, kNaN}}) {
    EXPECT_FALSE(polish(design.problem, design.x, design.duals, input, SolverSettings{}).has_value());
  }
}

// Weak duality: for any x and any duals (projected to be dual feasible inside
// duality_gap) the gap bounds how far f(x) sits above f(x*); it vanishes at
// the optimum.
TEST_P(PolishDesignTest, DualityGapBoundsTheSuboptimality) {
  const Design design = make_design(GetParam());
  const QpProblem& problem = design.problem;
  const ReducedColumns data =
      ReducedColumns::of_data(FactorRows(problem.quadratic), constraint_rows(problem));
  const double optimum = problem.objective(design.x);
  EXPECT_LE(duality_gap(problem, data, design.x, design.duals), 1e-13);

  dense::Random random(8);
  const auto perturbed = [&](std::vector<double> v, double size) {
    for (double& e : v) e += random.uniform(-size, size);
    return v;
  };
  for (const double size : {1e-7, 1e-4, 1e-2, 0.3}) {
    SCOPED_TRACE(size);
    for (int draw = 0; draw < 20; ++draw) {
      const std::vector<double> x = perturbed(design.x, size);
      const DualVariables duals{perturbed(design.duals.equalities, size),
                                perturbed(design.duals.inequalities, size),
                                perturbed(design.duals.bounds, size), perturbed(design.duals.l1, size)};
      const double gap = duality_gap(problem, data, x, duals);
      EXPECT_GE(gap, problem.objective(x) - optimum - 1e-14);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Designs, PolishDesignTest,
                         ::testing::Values(DesignCase{"bounds_and_rows"}, DesignCase{"with_l1", true},
                                           DesignCase{"near_active_row", false, true},
                                           DesignCase{"near_bound", false, false, true},
                                           DesignCase{"near_anchor", true, false, false, true},
                                           DesignCase{"all_wrong_guesses", true, true, true, true}),
                         [](const auto& info) { return info.param.name; });

// Most assets pinned, at bounds and anchors away from zero: the adaptive
// polish solves the free assets' system, where the pins pull on the free
// assets through F, the rows and the L1 forces, and reads the pins'
// multipliers from stationarity. It must still land on the constructed
// optimum and its multipliers.
TEST(PolishFreeAssets, RecoversTheExactOptimumWhenMostAssetsArePinned) {
  constexpr std::size_t n = 40, k = 3, pinned = 34;
  dense::Random random(5);
  QpProblem p;
  Matrix f = Matrix::zeros(n, k);
  for (double& e : f.data()) e = random.uniform(-1.0, 1.0);
  std::vector<double> d(n);
  for (double& e : d) e = random.uniform(0.05, 0.5);
  p.quadratic = FactorQuad{std::move(f), FactorCovariance::diagonal({0.4, 0.9, 0.2}), std::move(d)};
  std::vector<double> x(n);
  DualVariables duals;
  duals.bounds.assign(n, 0.0);
  duals.l1.assign(n, 0.05);
  p.lower_bounds.assign(n, 0.0);
  p.upper_bounds.assign(n, 1.0);
  L1Term l1{std::vector<double>(n, 0.05), std::vector<double>(n)};
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = random.uniform(0.2, 0.8);
    l1.anchor[i] = x[i] - 0.1;  // off the anchor, above it
    if (i >= pinned) continue;
    if (i % 3 == 0) {  // at a lower bound away from zero
      p.lower_bounds[i] = x[i] = 0.01 * static_cast<double>(i + 1);
      l1.anchor[i] = x[i] - 0.1;
      duals.bounds[i] = -0.3;
    } else if (i % 3 == 1) {  // at an upper bound
      p.upper_bounds[i] = x[i];
      duals.bounds[i] = 0.2;
    } else {  // at its anchor
      l1.anchor[i] = x[i];
      duals.l1[i] = 0.01 * static_cast<double>(i % 4) - 0.015;
    }
  }
  Matrix a_eq = Matrix::zeros(2, n), a_in = Matrix::zeros(2, n);
  for (std::size_t j = 0; j < n; ++j) {
    a_eq(0, j) = 1.0;
    a_eq(1, j) = random.uniform(-1.0, 1.0);
  }
  for (double& e : a_in.data()) e = random.uniform(-1.0, 1.0);
  const std::vector<double> eq = a_eq.mul_vec(x), in = a_in.mul_vec(x);
  p.equalities = {a_eq, eq};
  p.inequalities = {a_in, {in[0], in[1] + 0.3}};
  duals.equalities = {0.4, -0.2};
  duals.inequalities = {0.25, 0.0};
  p.l1 = std::move(l1);
  const std::vector<double> px = p.quadratic.apply(x);
  for (std::size_t j = 0; j < n; ++j) {
    double g = px[j] + duals.bounds[j] + duals.l1[j];
    for (std::size_t r = 0; r < 2; ++r)
      g += a_eq(r, j) * duals.equalities[r] + a_in(r, j) * duals.inequalities[r];
    p.linear.push_back(-g);
  }
  ASSERT_LT(worst(check_kkt(p, x, duals).value()), 1e-14);

  std::vector<double> start = x;
  for (double& e : start) e += random.uniform(-1e-7, 1e-7);
  SolverSettings settings;
  settings.profile = SolverProfile::Adaptive;
  const auto polished = polish(p, start, duals, check_kkt(p, start, duals).value(), settings);
  ASSERT_TRUE(polished.has_value());
  EXPECT_LE(worst(polished->residuals), 1e-12);
  EXPECT_LE(max_abs_difference(polished->x, x), 1e-12);
  const auto& got = polished->duals;
  for (const auto& [mine, theirs] : {std::pair{&got.equalities, &duals.equalities},
                                     {&got.inequalities, &duals.inequalities},
                                     {&got.bounds, &duals.bounds},
                                     {&got.l1, &duals.l1}})
    EXPECT_LE(max_abs_difference(*mine, *theirs), 1e-10);
}

// ---- Equality-constrained problems: the dense KKT solve is the reference ----

struct EqualityReference {
  QpProblem problem;
  std::vector<double> x;
  std::vector<double> lambda;
};

// min ½xᵀPx + qᵀx s.t. A_eq·x = b_eq, no bounds, no inequalities:
//   [P  A_eqᵀ] [x]   [−q  ]
//   [A_eq  0 ] [λ] = [b_eq]
EqualityReference equality_problem() {
  dense::RandomQpShape shape;
  shape.n = 15;
  shape.k = 3;
  shape.m_eq = 2;
  shape.m_in = 0;
  shape.dense_omega = true;
  shape.infinite_side_fraction = 1.0;
  EqualityReference ref{dense::random_qp(12, shape), {}, {}};
  const QpProblem& p = ref.problem;
  const std::size_t n = p.n();
  const std::size_t m = p.m_eq();
  DenseMatrix kkt(n + m, std::vector<double>(n + m, 0.0));
  const DenseMatrix dense_p = dense::dense_quadratic(p);
  std::vector<double> rhs(n + m);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) kkt[i][j] = dense_p[i][j];
    rhs[i] = -p.linear[i];
  }
  for (std::size_t r = 0; r < m; ++r) {
    for (std::size_t j = 0; j < n; ++j) kkt[n + r][j] = kkt[j][n + r] = p.equalities.matrix(r, j);
    rhs[n + r] = p.equalities.rhs[r];
  }
  const std::vector<double> solution = dense_solve(kkt, rhs);
  ref.x.assign(solution.begin(), solution.begin() + static_cast<std::ptrdiff_t>(n));
  ref.lambda.assign(solution.begin() + static_cast<std::ptrdiff_t>(n), solution.end());
  return ref;
}

DualVariables zero_duals(const QpProblem& p) {
  return {std::vector<double>(p.m_eq(), 0.0), std::vector<double>(p.m_in(), 0.0),
          std::vector<double>(p.n(), 0.0), std::vector<double>(p.l1 ? p.n() : 0, 0.0)};
}

const KktResiduals kPoorIterate{1.0, 1.0, 1.0};

TEST(PolishEqualityConstrained, GivesTheExactMinimiser) {
  const EqualityReference ref = equality_problem();
  const std::vector<double> start(ref.problem.n(), 0.0);
  const auto polished = polish(ref.problem, start, zero_duals(ref.problem), kPoorIterate, SolverSettings{});
  ASSERT_TRUE(polished.has_value());
  EXPECT_LE(max_abs_difference(polished->x, ref.x), 1e-10 * std::max(1.0, max_abs(ref.x)));
  EXPECT_LE(max_abs_difference(polished->duals.equalities, ref.lambda),
            1e-9 * std::max(1.0, max_abs(ref.lambda)));
  EXPECT_EQ(polished->duals.bounds, std::vector<double>(ref.problem.n(), 0.0));
  EXPECT_TRUE(polished->duals.inequalities.empty());
  EXPECT_TRUE(polished->duals.l1.empty());
  EXPECT_LE(worst(polished->residuals), 1e-10);
}

// The active set is empty and stable, so there is exactly one candidate: it is
// kept only when strictly better than the incoming iterate and when it meets
// the stopping rule (refused with tolerances just below what it achieves,
// although it beats the iterate; taken just above).
TEST(PolishEqualityConstrained, RequiresStrictImprovement) {
  const EqualityReference ref = equality_problem();
  const std::vector<double> start(ref.problem.n(), 0.0);
  const DualVariables duals = zero_duals(ref.problem);
  const auto first = polish(ref.problem, start, duals, kPoorIterate, SolverSettings{});
  ASSERT_TRUE(first.has_value());
  const double achieved = worst(first->residuals);
  ASSERT_GT(achieved, 0.0);

  EXPECT_FALSE(polish(ref.problem, start, duals, {achieved, 0.0, 0.0}, SolverSettings{}).has_value());
  EXPECT_FALSE(polish(ref.problem, start, duals, {0.0, kNaN, achieved}, SolverSettings{}).has_value());
  const auto again =
      polish(ref.problem, start, duals, {0.0, std::nextafter(achieved, kInf), kNaN}, SolverSettings{});
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->x, first->x);

  SolverSettings settings;
  settings.relative_tolerance = 0.0;
  settings.absolute_tolerance = 0.5 * achieved;
  EXPECT_FALSE(polish(ref.problem, start, duals, kPoorIterate, settings).has_value());
  settings.absolute_tolerance = 2.0 * achieved;
  const auto taken = polish(ref.problem, start, duals, kPoorIterate, settings);
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(taken->x, first->x);
}

// Without refinement the answer is the regularised KKT solution, off by O(δ);
// refinement removes that error. The stopping tolerances are those the poor
// iterate (worst residual 1) meets, so that an unrefined candidate is taken.
TEST(PolishEqualityConstrained, RefinementRemovesRegularisationError) {
  const EqualityReference ref = equality_problem();
  const std::vector<double> start(ref.problem.n(), 0.0);
  const auto error = [&](double delta, std::uint64_t steps) {
    SolverSettings settings;
    settings.absolute_tolerance = worst(kPoorIterate);
    settings.relative_tolerance = 0.0;
    settings.polish_regularization = delta;
    settings.polish_refinement_steps = steps;
    const auto polished = polish(ref.problem, start, zero_duals(ref.problem), kPoorIterate, settings);
    EXPECT_TRUE(polished.has_value());
    return polished ? max_abs_difference(polished->x, ref.x) : kNaN;
  };
  const double coarse = error(1e-3, 0);
  const double medium = error(1e-4, 0);
  const double fine = error(1e-5, 0);
  EXPECT_GT(fine, 0.0);
  EXPECT_LE(coarse, 1e-3 * 100.0 * std::max(1.0, max_abs(ref.x)));
  // Linear in δ: each tenfold reduction of δ cuts the error about tenfold.
  EXPECT_GT(coarse / medium, 5.0);
  EXPECT_LT(coarse / medium, 20.0);
  EXPECT_GT(medium / fine, 5.0);
  EXPECT_LT(medium / fine, 20.0);

  const double refined = error(1e-5, 3);
  EXPECT_LT(refined, fine * 1e-3);
  EXPECT_LE(refined, 1e-10 * std::max(1.0, max_abs(ref.x)));
}

// Along the equality rows from the minimiser, x = x* + Δ with A_eq·Δ = 0 and
// the exact multipliers: every complementarity term vanishes and
// f(x) − f* = ½ΔᵀPΔ, which the gap bounds through ½·gᵀdiag(d)⁻¹g, g = P·Δ.
TEST(PolishEqualityConstrained, DualityGapBoundsAMoveAlongTheRows) {
  const EqualityReference ref = equality_problem();
  const QpProblem& p = ref.problem;
  const ReducedColumns data = ReducedColumns::of_data(FactorRows(p.quadratic), constraint_rows(p));
  DualVariables duals = zero_duals(p);
  duals.equalities = ref.lambda;
  const double optimum = p.objective(ref.x);
  // Δ = v − A_eqᵀ(A_eq·A_eqᵀ)⁻¹A_eq·v.
  const std::size_t m = p.m_eq();
  DenseMatrix gram(m, std::vector<double>(m, 0.0));
  for (std::size_t r = 0; r < m; ++r) {
    for (std::size_t s = 0; s < m; ++s) {
      for (std::size_t j = 0; j < p.n(); ++j)
        gram[r][s] += p.equalities.matrix(r, j) * p.equalities.matrix(s, j);
    }
  }
  dense::Random random(21);
  for (const double size : {1e-4, 1e-1}) {
    std::vector<double> step(p.n());
    for (double& e : step) e = random.uniform(-size, size);
    std::vector<double> image(m);
    for (std::size_t r = 0; r < m; ++r) {
      for (std::size_t j = 0; j < p.n(); ++j) image[r] += p.equalities.matrix(r, j) * step[j];
    }
    const std::vector<double> weights = dense_solve(gram, image);
    std::vector<double> x = ref.x;
    for (std::size_t j = 0; j < p.n(); ++j) {
      for (std::size_t r = 0; r < m; ++r) step[j] -= p.equalities.matrix(r, j) * weights[r];
      x[j] += step[j];
    }
    const double excess = p.objective(x) - optimum;
    ASSERT_GT(excess, 0.0);
    EXPECT_GE(duality_gap(p, data, x, duals), excess * (1.0 - 1e-9));
  }
}

// ---- Active-set guesses ----

// n assets with the given box, one inequality row Σx ≤ rhs, optional L1 term.
QpProblem box_problem(std::vector<double> lower, std::vector<double> upper, double row_rhs,
                      std::optional<std::vector<double>> anchor = std::nullopt) {
  const std::size_t n = lower.size();
  QpProblem p;
  p.quadratic = FactorQuad{Matrix::zeros(n, 0), FactorCovariance::diagonal({}), std::vector<double>(n, 1.0)};
  p.linear.assign(n, 0.0);
  p.equalities = LinearConstraints::empty(n);
  p.inequalities = {dense::matrix(1, n, std::vector<double>(n, 1.0)), {row_rhs}};
  p.lower_bounds = std::move(lower);
  p.upper_bounds = std::move(upper);
  if (anchor) p.l1 = L1Term{std::vector<double>(n, 0.1), *anchor};
  return p;
}

struct GuessCase {
  std::string name;
  QpProblem problem;
  std::vector<double> x;
  std::vector<double> bound_duals;
  double row_dual;
  ActiveSet expected;
  std::vector<double> l1_duals{};  // zero when empty
};

DualVariables guess_duals(const GuessCase& c) {
  DualVariables duals = zero_duals(c.problem);
  duals.bounds = c.bound_duals;
  duals.inequalities = {c.row_dual};
  if (!c.l1_duals.empty()) duals.l1 = c.l1_duals;
  return duals;
}

class InitialGuessTest : public ::testing::TestWithParam<GuessCase> {};

TEST_P(InitialGuessTest, MatchesTheNearAndSignRules) {
  const GuessCase& c = GetParam();
  EXPECT_EQ(initial_guess(c.problem, c.x, guess_duals(c), SolverSettings{}), c.expected);
  // The same from the row images a solve's products hold.
  const std::vector<double> images = iterate_products(c.problem, c.x).in_image;
  EXPECT_EQ(initial_guess(c.problem, c.x, guess_duals(c), SolverSettings{}, images), c.expected);
}

// Default tolerances: near means |v − t| ≤ 10·(1e-6 + 1e-5·max(|v|, |t|, 1)) ≈ 1.1e-4 at unit scale.
INSTANTIATE_TEST_SUITE_P(
    Cases, InitialGuessTest,
    ::testing::Values(
        // l = u with a zero multiplier: Lower overrides Upper.
        GuessCase{"fixed_zero_multiplier",
                  box_problem({0.5}, {0.5}, 9.0),
                  {0.5},
                  {0.0},
                  0.0,
                  {{}, {{0, Side::Lower}}, {}}},
        GuessCase{"fixed_positive_multiplier",
                  box_problem({0.5}, {0.5}, 9.0),
                  {0.5},
                  {0.2},
                  0.0,
                  {{}, {{0, Side::Upper}}, {}}},
        GuessCase{"upper_within_tolerance",
                  box_problem({0.0}, {1.0}, 9.0),
                  {1.0 - 1e-4},
                  {0.2},
                  0.0,
                  {{}, {{0, Side::Upper}}, {}}},
        GuessCase{
            "upper_beyond_tolerance", box_problem({0.0}, {1.0}, 9.0), {1.0 - 2e-4}, {0.2}, 0.0, {{}, {}, {}}},
        GuessCase{"upper_wrong_sign", box_problem({0.0}, {1.0}, 9.0), {1.0}, {-0.2}, 0.0, {{}, {}, {}}},
        GuessCase{"lower_wrong_sign", box_problem({0.0}, {1.0}, 9.0), {1e-6}, {0.1}, 0.0, {{}, {}, {}}},
        GuessCase{"infinite_box", box_problem({-kInf}, {kInf}, 9.0), {0.0}, {0.0}, 0.0, {{}, {}, {}}},
        // The row is active on proximity alone, whatever its multiplier.
        GuessCase{"row_near_negative_multiplier",
                  box_problem({-kInf, -kInf}, {kInf, kInf}, 1.0),
                  {0.4, 0.6 + 1e-5},
                  {0.0, 0.0},
                  -0.5,
                  {{0}, {}, {}}},
        GuessCase{"row_slack",
                  box_problem({-kInf, -kInf}, {kInf, kInf}, 1.0),
                  {0.4, 0.5},
                  {0.0, 0.0},
                  0.5,
                  {{}, {}, {}}},
        // Anchors at 0.3: asset 0 at it (Anchor pin), asset 1 above, asset 2 below,
        // asset 3 at it but bound-pinned (no Anchor pin).
        GuessCase{"anchor_sides",
                  box_problem({-kInf, -kInf, -kInf, 0.3}, {kInf, kInf, kInf, 1.0}, 9.0,
                              std::vector<double>{0.3, 0.3, 0.3, 0.3}),
                  {0.3 + 1e-6, 0.5, 0.1, 0.3},
                  {0.0, 0.0, 0.0, -0.1},
                  0.0,
                  {{}, {{0, Side::Anchor}, {3, Side::Lower}}, {0, 1, -1, 0}}}),
    [](const auto& info) { return info.param.name; });

struct RefineCase {
  std::string name;
  QpProblem problem;
  ActiveSet current;
  std::vector<double> x;
  double row_dual;
  std::vector<double> bound_duals;
  std::vector<double> l1_duals;
  ActiveSet expected;
};

class RefineActiveSetTest : public ::testing::TestWithParam<RefineCase> {};

TEST_P(RefineActiveSetTest, FollowsTheCandidate) {
  const RefineCase& c = GetParam();
  Polished candidate;
  candidate.x = c.x;
  candidate.duals = zero_duals(c.problem);
  candidate.duals.inequalities = {c.row_dual};
  candidate.duals.bounds = c.bound_duals;
  candidate.duals.l1 = c.l1_duals;
  EXPECT_EQ(refine_active_set(c.problem, candidate, c.current), c.expected);
}

// Σx ≤ 1 over two free assets; a unit box whose row never binds; the same box with anchors at 0.5.
const QpProblem kRow = box_problem({-kInf, -kInf}, {kInf, kInf}, 1.0);
const QpProblem kUnit = box_problem({0.0, 0.0}, {1.0, 1.0}, 9.0);
const QpProblem kAnchored = box_problem({0.0, 0.0}, {1.0, 1.0}, 9.0, std::vector<double>{0.5, 0.5});

INSTANTIATE_TEST_SUITE_P(
    Cases, RefineActiveSetTest,
    ::testing::Values(
        RefineCase{"row_negative_multiplier_leaves",
                   kRow,
                   {{0}, {}, {}},
                   {0.5, 0.5},
                   -0.1,
                   {0, 0},
                   {},
                   {{}, {}, {}}},
        RefineCase{
            "row_zero_multiplier_stays", kRow, {{0}, {}, {}}, {0.5, 0.5}, 0.0, {0, 0}, {}, {{0}, {}, {}}},
        RefineCase{
            "violated_row_enters", kRow, {{}, {}, {}}, {0.5, 0.5 + 1e-6}, 0.0, {0, 0}, {}, {{0}, {}, {}}},
        // 1e-13 over is inside the 1e-12 relative margin.
        RefineCase{"barely_violated_row_stays_out",
                   kRow,
                   {{}, {}, {}},
                   {0.5, 0.5 + 1e-13},
                   0.0,
                   {0, 0},
                   {},
                   {{}, {}, {}}},
        // A released pin is not re-pinned in the same pass even when x overshoots.
        RefineCase{"wrong_sign_upper_released",
                   kUnit,
                   {{}, {{0, Side::Upper}}, {}},
                   {1.5, 0.0},
                   0.0,
                   {-0.1, 0},
                   {},
                   {{}, {}, {}}},
        RefineCase{"wrong_sign_lower_released",
                   kUnit,
                   {{}, {{1, Side::Lower}}, {}},
                   {0.2, 0.0},
                   0.0,
                   {0, 0.1},
                   {},
                   {{}, {}, {}}},
        RefineCase{"right_sign_pins_stay",
                   kUnit,
                   {{}, {{0, Side::Upper}, {1, Side::Lower}}, {}},
                   {1.0, 0.0},
                   0.0,
                   {0.1, -0.1},
                   {},
                   {{}, {{0, Side::Upper}, {1, Side::Lower}}, {}}},
        RefineCase{"overshoot_pins",
                   kUnit,
                   {{}, {}, {}},
                   {1.0 + 1e-9, -1e-9},
                   0.0,
                   {0, 0},
                   {},
                   {{}, {{0, Side::Upper}, {1, Side::Lower}}, {}}},
        // An anchored asset that overshoots a bound trades its Anchor pin for the bound pin.
        RefineCase{"anchor_to_bound",
                   kAnchored,
                   {{}, {{0, Side::Anchor}, {1, Side::Anchor}}, {0, 0}},
                   {1.5, 0.5},
                   0.0,
                   {0, 0},
                   {0.05, 0.0},
                   {{}, {{0, Side::Upper}, {1, Side::Anchor}}, {0, 0}}},
        // L1 multiplier beyond ±c (= 0.1) pushes the asset off its anchor.
        RefineCase{"anchor_multiplier_beyond_cost",
                   kAnchored,
                   {{}, {{0, Side::Anchor}, {1, Side::Anchor}}, {0, 0}},
                   {0.5, 0.5},
                   0.0,
                   {0, 0},
                   {0.2, -0.2},
                   {{}, {}, {1, -1}}},
        // An asset that crossed its anchor returns to it; one that did not, keeps its side.
        RefineCase{"crossed_anchor",
                   kAnchored,
                   {{}, {}, {1, -1}},
                   {0.5 - 1e-6, 0.5 - 1e-14},
                   0.0,
                   {0, 0},
                   {0.1, -0.1},
                   {{}, {{0, Side::Anchor}}, {0, -1}}}),
    [](const auto& info) { return info.param.name; });

TEST(AddAnchorPins, AddsUnpinnedAnchoredAssetsInOrder) {
  Pins pins{{3, Side::Upper}, {1, Side::Lower}};
  add_anchor_pins(pins, std::vector<int>{0, 0, 1, 0, -1});
  EXPECT_EQ(pins, (Pins{{0, Side::Anchor}, {1, Side::Lower}, {3, Side::Upper}}));

  Pins none;
  add_anchor_pins(none, std::vector<int>{});
  EXPECT_TRUE(none.empty());
}

// Every kind of difference counts once per row, pin or side; a pin moved to
// another side of the same asset is one dropped and one added.
TEST(ActiveSetChanges, CountsWhatOneSetHoldsAndTheOtherDoesNot) {
  const ActiveSet base{{1, 4}, {{0, Side::Lower}, {2, Side::Anchor}, {5, Side::Upper}}, {0, 0, 0, 1, 0, -1}};
  const struct {
    const char* what;
    ActiveSet other;
    std::size_t changes;
  } cases[] = {
      {"same", base, 0},
      {"row added and dropped", {{0, 4}, base.pins, base.anchor_sides}, 2},
      {"pin dropped at the end",
       {base.active_rows, {{0, Side::Lower}, {2, Side::Anchor}}, base.anchor_sides},
       1},
      {"pin on the other side",
       {base.active_rows, {{0, Side::Upper}, {2, Side::Anchor}, {5, Side::Upper}}, base.anchor_sides},
       2},
      {"sides moved", {base.active_rows, base.pins, {1, 0, 0, 0, 0, -1}}, 2},
      {"everything gone", {}, 2 + 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(active_set_changes(base, c.other), c.changes) << c.what;
    EXPECT_EQ(active_set_changes(c.other, base), c.changes) << c.what;
  }
}

// ---- The adaptive profile ----

// Held positions beside a bound, the optimum known by construction:
//   min ½xᵀPx + qᵀx + Σ c|xᵢ − aᵢ|  s.t.  Σx = b,  l ≤ x ≤ u,
// P = diag(d) + f·0.4·fᵀ, c = 0.05. The first `held` assets sit at their
// anchors aᵢ = xᵢ* with y_l1 = 0.02·side (inside ±c), 5e-5 from a bound on
// that side; the others are free, 0.1 above their anchors (y_l1 = c); the
// budget multiplier is 0.3, so q = −(P·x* + 0.3 + y_l1).
// The reference polish pins a held asset to the bound (within ten stopping
// tolerances, multiplier of the right sign) and drops its L1 force: no KKT
// point, but its worst residual c·5e-5 = 2.5e-6 beats an iterate whose
// budget multiplier is 1e-5 off, so it moves the asset 5e-5 from the optimum.
struct HeldCase {
  std::string name;
  double side;  // −1: anchors above the lower bounds; +1: below the upper bounds
  std::size_t held;
};

constexpr double kHeldGap = 5e-5;

Design held_positions(const HeldCase& c) {
  constexpr std::size_t n = 8;
  constexpr double kCost = 0.05;
  dense::Random random(41);
  Design design;
  QpProblem& p = design.problem;
  Matrix f = Matrix::zeros(n, 1);
  for (double& e : f.data()) e = random.uniform(-1.0, 1.0);
  std::vector<double> d(n);
  for (double& e : d) e = random.uniform(0.05, 0.5);
  p.quadratic = FactorQuad{std::move(f), FactorCovariance::diagonal({0.4}), std::move(d)};

  auto& x = design.x;
  x.resize(n);
  for (double& e : x) e = random.uniform(0.05, 0.2);
  p.lower_bounds.assign(n, 0.0);
  p.upper_bounds.assign(n, 1.0);
  L1Term l1{std::vector<double>(n, kCost), std::vector<double>(n)};
  design.duals = {{0.3}, {}, std::vector<double>(n, 0.0), std::vector<double>(n, kCost)};
  for (std::size_t i = 0; i < n; ++i) {
    l1.anchor[i] = i < c.held ? x[i] : x[i] - 0.1;
    if (i >= c.held) continue;
    design.duals.l1[i] = 0.02 * c.side;
    (c.side < 0.0 ? p.lower_bounds[i] : p.upper_bounds[i]) = x[i] + c.side * kHeldGap;
  }
  p.l1 = std::move(l1);
  double budget = 0.0;
  for (double e : x) budget += e;
  p.equalities = {dense::matrix(1, n, std::vector<double>(n, 1.0)), {budget}};
  p.inequalities = LinearConstraints::empty(n);
  const std::vector<double> px = p.quadratic.apply(x);
  for (std::size_t i = 0; i < n; ++i) p.linear.push_back(-(px[i] + 0.3 + design.duals.l1[i]));
  return design;
}

// An ADMM-like iterate: x* ± 1e-6 (alternating, so the budget holds) and the
// budget multiplier 1e-5 off.
Design held_iterate(const Design& design) {
  Design iterate = design;
  for (std::size_t i = 0; i < iterate.x.size(); ++i) iterate.x[i] += i % 2 == 0 ? 1e-6 : -1e-6;
  iterate.duals.equalities[0] += 1e-5;
  return iterate;
}

class HeldPositionTest : public ::testing::TestWithParam<HeldCase> {};

TEST_P(HeldPositionTest, AdaptivePolishIsNeverFartherThanTheIterate) {
  const Design design = held_positions(GetParam());
  const QpProblem& problem = design.problem;
  ASSERT_LT(worst(check_kkt(problem, design.x, design.duals).value()), 1e-14);
  const Design iterate = held_iterate(design);
  const KktResiduals input = check_kkt(problem, iterate.x, iterate.duals).value();
  const double iterate_error = max_abs_difference(iterate.x, design.x);

  const auto reference = polish(problem, iterate.x, iterate.duals, input, SolverSettings{});
  ASSERT_TRUE(reference.has_value());
  // The held assets move by the gap, and the free ones more to keep the budget.
  EXPECT_GE(max_abs_difference(reference->x, design.x), kHeldGap * (1.0 - 1e-6));

  SolverSettings settings;
  settings.profile = SolverProfile::Adaptive;
  const auto polished = polish(problem, iterate.x, iterate.duals, input, settings);
  ASSERT_TRUE(polished.has_value());
  EXPECT_LE(max_abs_difference(polished->x, design.x), std::min(iterate_error, 1e-12));
  EXPECT_LE(worst(polished->residuals), 1e-12);
}

// The guard on the reference's candidate: a smaller worst residual than the
// iterate's, but a larger duality gap (c·5e-5 per held asset), so refused.
TEST_P(HeldPositionTest, GuardRefusesTheReferenceCandidate) {
  const Design design = held_positions(GetParam());
  const QpProblem& problem = design.problem;
  const Design iterate = held_iterate(design);
  const KktResiduals input = check_kkt(problem, iterate.x, iterate.duals).value();
  const auto reference = polish(problem, iterate.x, iterate.duals, input, SolverSettings{});
  ASSERT_TRUE(reference.has_value());

  const ReducedColumns data =
      ReducedColumns::of_data(FactorRows(problem.quadratic), constraint_rows(problem));
  const Standing before = standing_of(problem, data, iterate.x, iterate.duals, input);
  const Standing after = standing_of(problem, data, reference->x, reference->duals, reference->residuals);
  EXPECT_LT(worst(after.residuals), worst(before.residuals));
  EXPECT_NEAR(after.gap, 0.05 * kHeldGap * static_cast<double>(GetParam().held), 1e-9);
  EXPECT_FALSE(no_worse(after, before, Standing{}));
}

INSTANTIATE_TEST_SUITE_P(Cases, HeldPositionTest,
                         ::testing::Values(HeldCase{"one_above_lower", -1.0, 1},
                                           HeldCase{"one_below_upper", 1.0, 1},
                                           HeldCase{"six_above_lower", -1.0, 6},
                                           HeldCase{"six_below_upper", 1.0, 6}),
                         [](const auto& info) { return info.param.name; });

// no_worse compares each measure against the incumbent's raised to the
// rounding floor; a NaN on either side refuses.
struct NoWorseCase {
  std::string name;
  Standing candidate;
  Standing incumbent;
  Standing rounding;
  bool expected;
};

class NoWorseTest : public ::testing::TestWithParam<NoWorseCase> {};

TEST_P(NoWorseTest, ComparesEveryMeasure) {
  const NoWorseCase& c = GetParam();
  EXPECT_EQ(no_worse(c.candidate, c.incumbent, c.rounding), c.expected);
}

const Standing kIncumbent{{1e-6, 2e-6, 5.0}, 1e-5};

INSTANTIATE_TEST_SUITE_P(
    Cases, NoWorseTest,
    ::testing::Values(NoWorseCase{"better_everywhere", {{1e-9, 1e-9, 9.0}, 1e-9}, kIncumbent, {}, true},
                      NoWorseCase{"equal", kIncumbent, kIncumbent, {}, true},
                      NoWorseCase{"larger_primal", {{2e-6, 0.0, 0.0}, 0.0}, kIncumbent, {}, false},
                      NoWorseCase{"larger_dual", {{0.0, 3e-6, 0.0}, 0.0}, kIncumbent, {}, false},
                      // A smaller worst residual does not excuse a larger total.
                      NoWorseCase{"larger_gap", {{1e-9, 1e-9, 1e-9}, 2e-5}, kIncumbent, {}, false},
                      NoWorseCase{"within_rounding",
                                  {{1e-12, 1e-12, 0.0}, 1e-15},
                                  {{1e-14, 1e-14, 0.0}, 1e-17},
                                  {{1e-11, 1e-11, 0.0}, 1e-14},
                                  true},
                      NoWorseCase{"nan_candidate", {{kNaN, 0.0, 0.0}, 0.0}, kIncumbent, {}, false},
                      NoWorseCase{
                          "nan_incumbent_gap", {{0.0, 0.0, 0.0}, 0.0}, {{1.0, 1.0, 1.0}, kNaN}, {}, false}),
    [](const auto& info) { return info.param.name; });

// identify_active_set: a side is active when its multiplier outweighs the
// distance to it. Box [0, 1] unless stated, one row Σx ≤ rhs, anchors with
// cost 0.1 where given.
class IdentifyActiveSetTest : public ::testing::TestWithParam<GuessCase> {};

TEST_P(IdentifyActiveSetTest, WeighsMultipliersAgainstDistances) {
  const GuessCase& c = GetParam();
  EXPECT_EQ(identify_active_set(c.problem, c.x, guess_duals(c)), c.expected);
  EXPECT_EQ(identify_active_set(c.problem, c.x, guess_duals(c), iterate_products(c.problem, c.x).in_image),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdentifyActiveSetTest,
    ::testing::Values(
        GuessCase{"multiplier_outweighs_distance",
                  kUnit,
                  {1e-3, 1.0 - 1e-3},
                  {-2e-3, 2e-3},
                  0.0,
                  {{}, {{0, Side::Lower}, {1, Side::Upper}}, {}}},
        GuessCase{
            "distance_outweighs_multiplier", kUnit, {1e-3, 1.0 - 1e-3}, {-5e-4, 5e-4}, 0.0, {{}, {}, {}}},
        // Past the bound with a zero multiplier; fixed with a zero multiplier.
        GuessCase{"beyond_bound_and_fixed",
                  box_problem({0.0, 0.5}, {1.0, 0.5}, 9.0),
                  {-1e-9, 0.5},
                  {0.0, 0.0},
                  0.0,
                  {{}, {{0, Side::Lower}, {1, Side::Lower}}, {}}},
        GuessCase{"row_by_multiplier", kRow, {0.4, 0.6 - 1e-3}, {0.0, 0.0}, 2e-3, {{0}, {}, {}}},
        GuessCase{"row_slack_beyond_multiplier", kRow, {0.4, 0.6 - 1e-3}, {0.0, 0.0}, 5e-4, {{}, {}, {}}},
        // Anchors 5e-5 above the lower bound: asset 0 held at its anchor (the
        // bound's multiplier is zero), asset 1 held firmer by the bound (and
        // given the L1 side of the bound, below its anchor).
        GuessCase{"anchor_or_bound_beside_it",
                  box_problem({0.0, 0.0}, {1.0, 1.0}, 9.0, std::vector<double>{5e-5, 5e-5}),
                  {5e-5 + 1e-7, 2e-5},
                  {0.0, -0.5},
                  0.0,
                  {{}, {{0, Side::Anchor}, {1, Side::Lower}}, {0, -1}},
                  {-0.05, -0.09}},
        // Anchor on the lower bound: held by the bound's pin; off an anchor
        // with the multiplier at its cost: the side of x.
        GuessCase{"anchor_on_bound_and_off_anchor",
                  box_problem({0.0, 0.0}, {1.0, 1.0}, 9.0, std::vector<double>{0.0, 0.3}),
                  {1e-7, 0.5},
                  {0.0, 0.0},
                  0.0,
                  {{}, {{0, Side::Lower}}, {0, 1}},
                  {0.05, 0.1}}),
    [](const auto& info) { return info.param.name; });

// ---- The regularised solve ----

// The solve must satisfy the regularised KKT system it stands for:
//   (P + δI)·x + A_eqᵀλ_eq + A_actᵀλ_act + Σ μ·e_i = rhs,
//   A·x − δλ = t,  x_pins − δμ = p.
TEST(SolveRegularized, SatisfiesTheRegularisedSystem) {
  dense::RandomQpShape shape;
  shape.n = 10;
  shape.k = 2;
  shape.m_eq = 1;
  shape.m_in = 3;
  const QpProblem p = dense::random_qp(5, shape);
  const double delta = 1e-3;
  const ActiveSet active{{0, 2}, {{1, Side::Lower}, {4, Side::Upper}}, {}};

  const Matrix columns = covariance_columns(p.quadratic).value();
  std::vector<double> diagonal(p.n());
  for (std::size_t i = 0; i < p.n(); ++i) diagonal[i] = p.quadratic.diagonal[i] + delta;
  diagonal[1] += 1.0 / delta;
  diagonal[4] += 1.0 / delta;
  Matrix u = Matrix::zeros(p.n(), 2 + 1 + 2);
  for (std::size_t i = 0; i < p.n(); ++i) {
    u(i, 0) = columns(i, 0);
    u(i, 1) = columns(i, 1);
    u(i, 2) = p.equalities.matrix(0, i);
    u(i, 3) = p.inequalities.matrix(0, i);
    u(i, 4) = p.inequalities.matrix(2, i);
  }
  // The stacked rows are the constraint columns, scaled by 1/√δ in the system.
  const auto rows_v = std::make_shared<const ReducedColumns>(ReducedColumns::from_matrix(u, 2));
  const SmwSystem system = SmwSystem::factor(diagonal, rows_v, 1.0 / std::sqrt(delta)).value();

  std::vector<double> rhs(p.n());
  for (std::size_t i = 0; i < p.n(); ++i) rhs[i] = 0.1 * static_cast<double>(i) - 0.3;
  const std::vector<double> targets{0.7, -0.2, 0.4};
  const std::vector<double> pin_targets{-0.5, 0.8};
  const RegularizedSolution s =
      solve_regularized(p, system, KeptColumns(*rows_v, rows_v), active, rhs, targets, pin_targets, delta);
  ASSERT_EQ(s.x.size(), p.n());
  ASSERT_EQ(s.constraint_multipliers.size(), 3U);
  ASSERT_EQ(s.pin_multipliers.size(), 2U);

  const std::vector<std::span<const double>> rows{p.equalities.matrix.row(0), p.inequalities.matrix.row(0),
                                                  p.inequalities.matrix.row(2)};
  std::vector<double> stationarity = p.quadratic.apply(s.x);
  for (std::size_t i = 0; i < p.n(); ++i) {
    stationarity[i] += delta * s.x[i] - rhs[i];
    for (std::size_t r = 0; r < 3; ++r) stationarity[i] += rows[r][i] * s.constraint_multipliers[r];
  }
  stationarity[1] += s.pin_multipliers[0];
  stationarity[4] += s.pin_multipliers[1];
  // K carries 1/δ-sized terms, so rounding is relative to (1/δ)·‖x‖; any
  // slip in the elimination would leave an O(1) residual.
  const double scale = std::max(1.0, max_abs(s.x)) / delta;
  EXPECT_LE(max_abs(stationarity), 1e-11 * scale);
  for (std::size_t r = 0; r < 3; ++r) {
    double image = 0.0;
    for (std::size_t j = 0; j < p.n(); ++j) image += rows[r][j] * s.x[j];
    EXPECT_NEAR(image - delta * s.constraint_multipliers[r], targets[r], 1e-12);
  }
  EXPECT_NEAR(s.x[1] - delta * s.pin_multipliers[0], pin_targets[0], 1e-12);
  EXPECT_NEAR(s.x[4] - delta * s.pin_multipliers[1], pin_targets[1], 1e-12);
}

}  // namespace
}  // namespace morva
