#include "morva/scaling.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "support/dense.hpp"
#include "support/named_case.hpp"

namespace morva {
namespace {

using dense::DenseMatrix;
using dense::max_abs;
using dense::shape;
using named_case::PrintTo;

// Every entry within `tolerance`·max(1, scale) of the expected one.
void expect_close(std::span<const double> actual, std::span<const double> expected, double tolerance,
                  const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  const double scale = std::max(1.0, max_abs(expected));
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_NEAR(actual[i], expected[i], tolerance * scale) << what << "[" << i << "]";
  }
}

// A QP with k = 0 and the given blocks; bounds infinite unless given.
QpProblem diagonal_qp(std::vector<double> d, std::vector<double> q, LinearConstraints eq,
                      LinearConstraints in) {
  QpProblem p = dense::open_qp(std::move(d));
  p.linear = std::move(q);
  p.equalities = std::move(eq);
  p.inequalities = std::move(in);
  return p;
}

ScaledProblem equilibrate(const QpProblem& problem, std::uint64_t passes) {
  return ScaledProblem::equilibrate(problem, passes).value();
}

// Columns and rows of very different magnitudes on top of a random QP.
QpProblem badly_scaled(std::uint64_t seed, const dense::RandomQpShape& shape) {
  QpProblem p = dense::random_qp(seed, shape);
  const std::size_t n = p.n();
  for (std::size_t j = 0; j < n; ++j) {
    const double s = std::pow(10.0, static_cast<double>(j % 5) - 2.0);  // 1e-2 … 1e2
    for (double& e : p.quadratic.written_factors().row(j)) e *= s;
    p.quadratic.diagonal[j] *= s * s;
    p.linear[j] *= s;
    for (Matrix* a : {&p.equalities.matrix, &p.inequalities.matrix}) {
      for (std::size_t r = 0; r < a->rows(); ++r) (*a)(r, j) *= s;
    }
  }
  for (std::size_t r = 0; r < p.m_in(); ++r) {
    const double s = r % 2 == 0 ? 1e3 : 1e-3;
    for (double& e : p.inequalities.matrix.row(r)) e *= s;
    p.inequalities.rhs[r] *= s;
  }
  return p;
}

struct RebuildCase {
  std::string name;
  dense::RandomQpShape shape;
  bool badly_scaled;
  std::uint64_t passes;
  bool sparse_rows = false;  // rows with one nonzero in five columns (group rows)
};

QpProblem rebuild_problem(const RebuildCase& c) {
  QpProblem p = c.badly_scaled ? badly_scaled(31, c.shape) : dense::random_qp(31, c.shape);
  if (c.sparse_rows) {
    for (Matrix* a : {&p.equalities.matrix, &p.inequalities.matrix}) {
      for (std::size_t r = 0; r < a->rows(); ++r) {
        for (std::size_t j = 0; j < a->cols(); ++j) {
          if ((j + r) % 5 != 0) (*a)(r, j) = 0.0;
        }
      }
    }
  }
  return p;
}

class EquilibrationRebuildTest : public ::testing::TestWithParam<RebuildCase> {};

// The scaled data must be the original data transformed by (c, D, E):
//   P_s = c·D·P·D, q_s = c·D∘q, A_s = E·A·D, b_s = E∘b, l_s = l/D, u_s = u/D,
//   c_s = c·D∘c_L1, a_s = a/D,
// with P_s in factor form F_s·Ω·F_sᵀ + diag(d_s), Ω unchanged.
TEST_P(EquilibrationRebuildTest, ScaledDataIsTheTransformedOriginal) {
  const RebuildCase& c = GetParam();
  const QpProblem problem = rebuild_problem(c);
  ASSERT_TRUE(problem.validate().has_value());
  const ScaledProblem scaled = equilibrate(problem, c.passes);
  const QpProblem& s = scaled.problem;
  const std::size_t n = problem.n();
  const double cost = scaled.cost_scaling;
  const auto& d = scaled.column_scaling;
  const auto& e_eq = scaled.equality_scaling;
  const auto& e_in = scaled.inequality_scaling;

  ASSERT_TRUE(s.validate().has_value());
  ASSERT_EQ(d.size(), n);
  ASSERT_EQ(e_eq.size(), problem.m_eq());
  ASSERT_EQ(e_in.size(), problem.m_in());
  EXPECT_GT(cost, 0.0);
  for (const auto* v : {&d, &e_eq, &e_in}) {
    for (double f : *v) EXPECT_GT(f, 0.0);
  }
  EXPECT_EQ(s.quadratic.omega, problem.quadratic.omega);

  const DenseMatrix p = dense::dense_quadratic(problem);
  const DenseMatrix p_s = dense::dense_quadratic(s);
  double p_scale = 0.0;
  for (const auto& row : p_s) p_scale = std::max(p_scale, max_abs(row));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_NEAR(p_s[i][j], cost * d[i] * p[i][j] * d[j], 1e-12 * p_scale) << i << "," << j;
    }
  }

  std::vector<double> expected(n);
  for (std::size_t j = 0; j < n; ++j) expected[j] = cost * d[j] * problem.linear[j];
  expect_close(s.linear, expected, 1e-13, "linear");

  const auto check_block = [&](const LinearConstraints& original, const LinearConstraints& result,
                               const std::vector<double>& e, const std::string& what) {
    ASSERT_EQ(result.matrix.rows(), original.matrix.rows());
    for (std::size_t r = 0; r < original.rows(); ++r) {
      std::vector<double> row(n);
      for (std::size_t j = 0; j < n; ++j) row[j] = e[r] * original.matrix(r, j) * d[j];
      expect_close(result.matrix.row(r), row, 1e-13, what + ".matrix");
    }
    std::vector<double> rhs(original.rows());
    for (std::size_t r = 0; r < original.rows(); ++r) rhs[r] = e[r] * original.rhs[r];
    expect_close(result.rhs, rhs, 1e-15, what + ".rhs");
  };
  check_block(problem.equalities, s.equalities, e_eq, "equalities");
  check_block(problem.inequalities, s.inequalities, e_in, "inequalities");

  for (std::size_t j = 0; j < n; ++j) {
    for (const auto& [original, result] : {std::pair{&problem.lower_bounds, &s.lower_bounds},
                                           std::pair{&problem.upper_bounds, &s.upper_bounds}}) {
      if (std::isinf((*original)[j])) {
        EXPECT_EQ((*result)[j], (*original)[j]);
      } else {
        EXPECT_EQ((*result)[j], (*original)[j] / d[j]);
      }
    }
  }

  ASSERT_EQ(s.l1.has_value(), problem.l1.has_value());
  if (problem.l1) {
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_NEAR(s.l1->costs[j], cost * d[j] * problem.l1->costs[j], 1e-13 * std::max(1.0, s.l1->costs[j]));
      EXPECT_EQ(s.l1->anchor[j], problem.l1->anchor[j] / d[j]);
    }
  }
}

// The largest magnitude in each column of [P; A_eq; A_in].
double column_spread(const QpProblem& p) {
  std::vector<double> m(p.n(), 0.0);
  for (const auto& row : dense::dense_quadratic(p)) {
    for (std::size_t j = 0; j < p.n(); ++j) m[j] = std::max(m[j], std::abs(row[j]));
  }
  for (const Matrix* a : {&p.equalities.matrix, &p.inequalities.matrix}) {
    for (std::size_t r = 0; r < a->rows(); ++r) {
      for (std::size_t j = 0; j < p.n(); ++j) m[j] = std::max(m[j], std::abs((*a)(r, j)));
    }
  }
  return *std::max_element(m.begin(), m.end()) / *std::min_element(m.begin(), m.end());
}

TEST(Equilibration, PassesEvenOutColumnMagnitudes) {
  for (const bool l1 : {false, true}) {
    const QpProblem problem = badly_scaled(33, shape(15, 3, 1, 4, true, l1));
    const double before = column_spread(problem);
    const double after = column_spread(equilibrate(problem, 10).problem);
    EXPECT_GT(before, 1e3);
    EXPECT_LT(after, 10.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Problems, EquilibrationRebuildTest,
    ::testing::Values(RebuildCase{"one_pass", shape(12, 3, 2, 3, true, true), false, 1},
                      RebuildCase{"ten_passes_dense", shape(12, 3, 2, 3, true, true), false, 10},
                      RebuildCase{"ten_passes_diagonal", shape(15, 2, 1, 4, false, false), false, 10},
                      RebuildCase{"badly_scaled", shape(15, 3, 1, 4, true, true), true, 10},
                      RebuildCase{"no_factors", shape(10, 0, 1, 2, false, true), true, 10},
                      RebuildCase{"no_rows", shape(10, 3, 0, 0, true, false), true, 10},
                      RebuildCase{"sparse_rows", shape(40, 3, 3, 5, true, true), false, 10, true},
                      RebuildCase{"sparse_rows_badly_scaled", shape(40, 2, 2, 4, false, true), true, 10,
                                  true}),
    [](const auto& info) { return info.param.name; });

// One pass worked by hand (k = 0):
//   d = (4, 1/4), q = (1, 1), A_eq = [2, 0], b_eq = 3.
//   column norms m = (max(4, 2), max(1/4, 0)) = (4, 1/4) → δ = (1/2, 2)
//   row norm 2 → ε = 1/√2
//   d ← δ²∘d = (1, 1), q ← δ∘q = (1/2, 2), A_eq ← ε·[2·1/2, 0] = [1/√2, 0]
//   cost: mean column norm 1, ‖q‖∞ = 2 → g = 2, γ = 1/2
//   d_s = (1/2, 1/2), q_s = (1/4, 1), c = 1/2, b_eq,s = 3/√2.
TEST(Equilibration, OnePassByHand) {
  const QpProblem problem = diagonal_qp({4.0, 0.25}, {1.0, 1.0}, {dense::matrix(1, 2, {2.0, 0.0}), {3.0}},
                                        LinearConstraints::empty(2));
  const ScaledProblem scaled = equilibrate(problem, 1);
  const double epsilon = 1.0 / std::sqrt(2.0);
  EXPECT_EQ(scaled.column_scaling, (std::vector<double>{0.5, 2.0}));
  EXPECT_EQ(scaled.equality_scaling, (std::vector<double>{epsilon}));
  EXPECT_EQ(scaled.cost_scaling, 0.5);
  EXPECT_EQ(scaled.problem.quadratic.diagonal, (std::vector<double>{0.5, 0.5}));
  EXPECT_EQ(scaled.problem.linear, (std::vector<double>{0.25, 1.0}));
  EXPECT_EQ(scaled.problem.equalities.matrix, dense::matrix(1, 2, {epsilon, 0.0}));
  EXPECT_EQ(scaled.problem.equalities.rhs, (std::vector<double>{epsilon * 3.0}));
}

// The cost scale reads the mean column norm, not the sum (k = 0):
//   d = (4, 0), q = (1/2, 1/2), A_eq = [0, 4], b_eq = 1
//   m = (4, 4) → δ = (1/2, 1/2); ε = f(4) = 1/2
//   d ← (1, 0), q ← (1/4, 1/4), A_eq ← [0, 1]
//   column norms (1, 0): mean 1/2 beats ‖q‖∞ = 1/4 → γ = 2
//   d_s = (2, 0), q_s = (1/2, 1/2), c = 2, b_eq,s = 1/2.
TEST(Equilibration, CostScaleFollowsMeanColumnNorm) {
  const QpProblem problem = diagonal_qp({4.0, 0.0}, {0.5, 0.5}, {dense::matrix(1, 2, {0.0, 4.0}), {1.0}},
                                        LinearConstraints::empty(2));
  const ScaledProblem scaled = equilibrate(problem, 1);
  EXPECT_EQ(scaled.column_scaling, (std::vector<double>{0.5, 0.5}));
  EXPECT_EQ(scaled.equality_scaling, (std::vector<double>{0.5}));
  EXPECT_EQ(scaled.cost_scaling, 2.0);
  EXPECT_EQ(scaled.problem.quadratic.diagonal, (std::vector<double>{2.0, 0.0}));
  EXPECT_EQ(scaled.problem.linear, (std::vector<double>{0.5, 0.5}));
  EXPECT_EQ(scaled.problem.equalities.matrix, dense::matrix(1, 2, {0.0, 1.0}));
  EXPECT_EQ(scaled.problem.equalities.rhs, (std::vector<double>{0.5}));
}

struct ClampCase {
  std::string name;
  double magnitude;     // d of the single variable
  double column_scale;  // expected D after one pass
  double cost_scale;    // expected c after one pass
};

class ScaleClampTest : public ::testing::TestWithParam<ClampCase> {};

// One variable, no constraints, q = 0: D = f(d), then d_s = D²·d and
// c = f applied to d_s without the square root (1/g, clamped).
TEST_P(ScaleClampTest, FactorsAreClamped) {
  const ClampCase& c = GetParam();
  const ScaledProblem scaled = equilibrate(
      diagonal_qp({c.magnitude}, {0.0}, LinearConstraints::empty(1), LinearConstraints::empty(1)), 1);
  EXPECT_EQ(scaled.column_scaling[0], c.column_scale);
  EXPECT_EQ(scaled.cost_scaling, c.cost_scale);
}

INSTANTIATE_TEST_SUITE_P(
    Magnitudes, ScaleClampTest,
    ::testing::Values(ClampCase{"unit", 4.0, 0.5, 1.0},
                      // 1/√1e-20 = 1e10 is clamped to 1e6; d_s = 1e-8 → γ = 1e8 clamped to 1e6.
                      ClampCase{"tiny", 1e-20, 1e6, 1e6},
                      // 1/√1e20 = 1e-10 is clamped to 1e-6; d_s = 1e8 → γ = 1e-8 clamped to 1e-6.
                      ClampCase{"huge", 1e20, 1e-6, 1e-6}, ClampCase{"zero", 0.0, 1.0, 1.0},
                      // At or below the smallest normal double a magnitude counts as zero.
                      ClampCase{"subnormal", 1e-310, 1.0, 1.0}),
    [](const auto& info) { return info.param.name; });

// With no quadratic, linear or L1 data the cost scale stays 1 in every pass,
// while the constraint rows are still equilibrated.
TEST(Equilibration, ZeroObjectiveKeepsUnitCostScale) {
  QpProblem problem =
      diagonal_qp({0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {dense::matrix(1, 3, {100.0, 100.0, 1.0}), {1.0}},
                  LinearConstraints::empty(3));
  problem.quadratic =
      FactorQuad{Matrix::zeros(3, 2), FactorCovariance::diagonal({1.0, 2.0}), {0.0, 0.0, 0.0}};
  problem.l1 = L1Term{{0.0, 0.0, 0.0}, {0.1, 0.2, 0.3}};
  ASSERT_TRUE(problem.validate().has_value());
  const ScaledProblem scaled = equilibrate(problem, 10);
  EXPECT_EQ(scaled.cost_scaling, 1.0);
  EXPECT_LT(scaled.column_scaling[0], 1.0);
  EXPECT_NE(scaled.equality_scaling[0], 1.0);
}

// A variable outside every constraint with d = 0 and a zero row of C keeps D = 1.
TEST(Equilibration, IsolatedZeroColumnIsUnscaled) {
  QpProblem problem =
      diagonal_qp({2.0, 0.0, 5.0}, {1.0, 0.0, -3.0}, {dense::matrix(1, 3, {1.0, 0.0, 4.0}), {1.0}},
                  {dense::matrix(1, 3, {0.5, 0.0, 9.0}), {2.0}});
  problem.quadratic =
      FactorQuad{dense::matrix(3, 1, {1.0, 0.0, 2.0}), FactorCovariance::diagonal({3.0}), {2.0, 0.0, 5.0}};
  const ScaledProblem scaled = equilibrate(problem, 10);
  EXPECT_EQ(scaled.column_scaling[1], 1.0);
  EXPECT_NE(scaled.column_scaling[0], 1.0);
  EXPECT_NE(scaled.column_scaling[2], 1.0);
}

TEST(Equilibration, ZeroPassesIsIdentity) {
  const QpProblem problem = dense::random_qp(8, shape(6, 2, 1, 2, false, true));
  const ScaledProblem scaled = equilibrate(problem, 0);
  EXPECT_EQ(scaled.cost_scaling, 1.0);
  EXPECT_EQ(scaled.column_scaling, std::vector<double>(6, 1.0));
  EXPECT_EQ(scaled.problem.quadratic, problem.quadratic);
  EXPECT_EQ(scaled.problem.linear, problem.linear);
  EXPECT_EQ(scaled.problem.inequalities, problem.inequalities);
  EXPECT_EQ(scaled.problem.l1, problem.l1);
}

// ---- Iterate maps ----

struct Iterate {
  std::vector<double> x;
  DualVariables duals;
};

Iterate random_iterate(const QpProblem& problem, std::uint64_t seed) {
  dense::Random random(seed);
  const auto fill = [&](std::size_t size) {
    std::vector<double> v(size);
    for (double& e : v) e = random.uniform(-2.0, 2.0);
    return v;
  };
  Iterate it;
  it.x = fill(problem.n());
  it.duals.equalities = fill(problem.m_eq());
  it.duals.inequalities = fill(problem.m_in());
  it.duals.bounds = fill(problem.n());
  it.duals.l1 = fill(problem.l1 ? problem.n() : 0);
  return it;
}

// g = P·x + q + A_eqᵀy + A_inᵀz + y_box + y_l1 through the dense quadratic.
std::vector<double> lagrangian_gradient(const QpProblem& p, const Iterate& it) {
  const DenseMatrix dense_p = dense::dense_quadratic(p);
  std::vector<double> g(p.n());
  for (std::size_t i = 0; i < p.n(); ++i) {
    double s = p.linear[i] + it.duals.bounds[i] + (p.l1 ? it.duals.l1[i] : 0.0);
    for (std::size_t j = 0; j < p.n(); ++j) s += dense_p[i][j] * it.x[j];
    for (std::size_t r = 0; r < p.m_eq(); ++r) s += p.equalities.matrix(r, i) * it.duals.equalities[r];
    for (std::size_t r = 0; r < p.m_in(); ++r) s += p.inequalities.matrix(r, i) * it.duals.inequalities[r];
    g[i] = s;
  }
  return g;
}

class IterateMapTest : public ::testing::TestWithParam<bool> {};

// Scaling an iterate must map the optimality conditions of the original
// problem onto those of the scaled one: the Lagrangian gradient becomes
// c·D∘g, constraint residuals E∘(A·x − b), the objective c times itself.
TEST_P(IterateMapTest, ScalingPreservesOptimalityConditions) {
  const QpProblem problem = badly_scaled(41, shape(10, 2, 2, 3, true, GetParam()));
  const ScaledProblem scaled = equilibrate(problem, 10);
  const Iterate original = random_iterate(problem, 3);
  Iterate mapped = original;
  scaled.scale_iterates_in_place(mapped.x, mapped.duals);

  const std::size_t n = problem.n();
  const double c = scaled.cost_scaling;
  const auto& d = scaled.column_scaling;
  const std::vector<double> g = lagrangian_gradient(problem, original);
  const std::vector<double> g_s = lagrangian_gradient(scaled.problem, mapped);
  std::vector<double> expected(n);
  for (std::size_t i = 0; i < n; ++i) expected[i] = c * d[i] * g[i];
  expect_close(g_s, expected, 1e-12, "gradient");

  const Matrix& a = problem.inequalities.matrix;
  const Matrix& a_s = scaled.problem.inequalities.matrix;
  for (std::size_t r = 0; r < problem.m_in(); ++r) {
    double residual = -problem.inequalities.rhs[r];
    double residual_s = -scaled.problem.inequalities.rhs[r];
    for (std::size_t j = 0; j < n; ++j) {
      residual += a(r, j) * original.x[j];
      residual_s += a_s(r, j) * mapped.x[j];
    }
    EXPECT_NEAR(residual_s, scaled.inequality_scaling[r] * residual,
                1e-12 * std::max(1.0, std::abs(residual_s)));
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (std::isfinite(problem.lower_bounds[j])) {
      EXPECT_NEAR(mapped.x[j] - scaled.problem.lower_bounds[j],
                  (original.x[j] - problem.lower_bounds[j]) / d[j],
                  1e-12 * std::max(1.0, std::abs(mapped.x[j])));
    }
  }
  const double objective = dense::dense_objective(problem, original.x);
  EXPECT_NEAR(dense::dense_objective(scaled.problem, mapped.x), c * objective,
              1e-12 * std::abs(c * objective));
}

TEST_P(IterateMapTest, UnscalingInvertsScaling) {
  const QpProblem problem = badly_scaled(42, shape(10, 2, 2, 3, false, GetParam()));
  const ScaledProblem scaled = equilibrate(problem, 10);
  const Iterate original = random_iterate(problem, 4);
  Iterate mapped = original;
  scaled.scale_iterates_in_place(mapped.x, mapped.duals);
  EXPECT_NE(mapped.x, original.x);

  const auto [x, duals] = unscaled_iterates(&scaled, mapped.x, mapped.duals);
  expect_close(x, original.x, 1e-15, "x");
  expect_close(duals.equalities, original.duals.equalities, 1e-15, "equalities");
  expect_close(duals.inequalities, original.duals.inequalities, 1e-15, "inequalities");
  expect_close(duals.bounds, original.duals.bounds, 1e-15, "bounds");
  expect_close(duals.l1, original.duals.l1, 1e-15, "l1");

  // Without equilibration the map is a plain copy.
  const auto [x_copy, duals_copy] = unscaled_iterates(nullptr, mapped.x, mapped.duals);
  EXPECT_EQ(x_copy, mapped.x);
  EXPECT_EQ(duals_copy, mapped.duals);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutL1, IterateMapTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "l1" : "no_l1"; });

}  // namespace
}  // namespace morva
