// The workspace: construction, warm starts, the relaxed ADMM iteration against
// a dense reference, end-to-end solves checked by the dense KKT verifier,
// certificates, the check schedule, the factorisation cache and data updates.
#include "morva/workspace.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "stored_columns.hpp"
#include "support/allocation_counter.hpp"
#include "support/dense.hpp"

namespace morva {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using dense::matrix;
using dense::max_abs;
using dense::max_abs_difference;
using dense::RandomQpShape;

Workspace make_workspace(const QpProblem& problem, const SolverSettings& settings = {}) {
  auto workspace = Workspace::create(settings, problem);
  EXPECT_TRUE(workspace.has_value()) << (workspace ? "" : workspace.error().message());
  return std::move(*workspace);
}

Solution solve(Workspace& workspace, const std::optional<WarmStart>& start = std::nullopt) {
  auto solution = workspace.solve_from(Clock::now(), start);
  EXPECT_TRUE(solution.has_value()) << (solution ? "" : solution.error().message());
  return std::move(*solution);
}

// Settings under which the returned iterate is exactly the ADMM iterate after
// max_iterations iterations: one check at the end, no detection, no polish.
SolverSettings plain_run(std::uint64_t iterations) {
  SolverSettings s;
  s.max_iterations = iterations;
  s.check_termination_every = 1u << 30;
  s.infeasibility_tolerance = 0.0;
  s.polish = false;
  return s;
}

// ---------------------------------------------------------------------------
// Dense reference of the relaxed ADMM, written straight from its equations on
// the formed n×n system, with a plain Cholesky solve.
// ---------------------------------------------------------------------------

struct ReferenceIterate {
  std::vector<double> x;
  DualVariables y;
  double rho = 0.0;
  std::uint64_t updates = 0;
};

std::vector<std::vector<double>> cholesky(std::vector<std::vector<double>> a) {
  const std::size_t n = a.size();
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < j; ++k) a[j][j] -= a[j][k] * a[j][k];
    a[j][j] = std::sqrt(a[j][j]);
    for (std::size_t i = j + 1; i < n; ++i) {
      for (std::size_t k = 0; k < j; ++k) a[i][j] -= a[i][k] * a[j][k];
      a[i][j] /= a[j][j];
    }
  }
  return a;
}

std::vector<double> cholesky_solve(const std::vector<std::vector<double>>& l, std::vector<double> b) {
  const std::size_t n = l.size();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < i; ++k) b[i] -= l[i][k] * b[k];
    b[i] /= l[i][i];
  }
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t k = i + 1; k < n; ++k) b[i] -= l[k][i] * b[k];
    b[i] /= l[i][i];
  }
  return b;
}

std::vector<double> times(const Matrix& a, std::span<const double> x) {
  std::vector<double> y(a.rows(), 0.0);
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < a.cols(); ++j) y[i] += a(i, j) * x[j];
  return y;
}

std::vector<double> transpose_times(const Matrix& a, std::span<const double> y) {
  std::vector<double> x(a.cols(), 0.0);
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < a.cols(); ++j) x[j] += a(i, j) * y[i];
  return x;
}

double shrink(double v, double t) {
  return v > t ? v - t : (v < -t ? v + t : 0.0);
}

// `p` is the iteration problem, (x, y) the starting point in its units.
ReferenceIterate reference_admm(const QpProblem& p, std::vector<double> x, DualVariables y,
                                const SolverSettings& s, std::uint64_t iterations) {
  const std::size_t n = p.n(), m_eq = p.m_eq(), m_in = p.m_in();
  const bool l1 = p.l1.has_value();
  const double alpha = s.over_relaxation;
  double rho = s.rho;
  std::uint64_t updates = 0;
  const auto quadratic = dense::dense_quadratic(p);
  auto factor = [&](double r) {
    auto k = quadratic;
    for (std::size_t i = 0; i < n; ++i) {
      k[i][i] += s.sigma + r * (l1 ? 2.0 : 1.0);
      for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t e = 0; e < m_eq; ++e)
          k[i][j] += r * p.equalities.matrix(e, i) * p.equalities.matrix(e, j);
        for (std::size_t e = 0; e < m_in; ++e)
          k[i][j] += r * p.inequalities.matrix(e, i) * p.inequalities.matrix(e, j);
      }
    }
    return cholesky(k);
  };
  auto l = factor(rho);

  std::vector<double> z_eq = p.equalities.rhs, z_in(m_in), z_box(n), z_l1(l1 ? n : 0);
  const auto ax = times(p.inequalities.matrix, x);
  for (std::size_t i = 0; i < m_in; ++i)
    z_in[i] = std::min(ax[i] + y.inequalities[i] / rho, p.inequalities.rhs[i]);
  for (std::size_t j = 0; j < n; ++j)
    z_box[j] = std::min(std::max(x[j] + y.bounds[j] / rho, p.lower_bounds[j]), p.upper_bounds[j]);
  for (std::size_t j = 0; j < z_l1.size(); ++j)
    z_l1[j] = shrink(x[j] - p.l1->anchor[j] + y.l1[j] / rho, p.l1->costs[j] / rho);

  for (std::uint64_t k = 1; k <= iterations; ++k) {
    std::vector<double> r(n), v_eq(m_eq), v_in(m_in);
    for (std::size_t e = 0; e < m_eq; ++e) v_eq[e] = rho * z_eq[e] - y.equalities[e];
    for (std::size_t e = 0; e < m_in; ++e) v_in[e] = rho * z_in[e] - y.inequalities[e];
    const auto t_eq = transpose_times(p.equalities.matrix, v_eq);
    const auto t_in = transpose_times(p.inequalities.matrix, v_in);
    for (std::size_t j = 0; j < n; ++j) {
      r[j] = s.sigma * x[j] - p.linear[j] + t_eq[j] + t_in[j] + (rho * z_box[j] - y.bounds[j]);
      if (l1) r[j] += rho * (z_l1[j] + p.l1->anchor[j]) - y.l1[j];
    }
    const auto xt = cholesky_solve(l, r);
    const auto eq_image = times(p.equalities.matrix, xt);
    const auto in_image = times(p.inequalities.matrix, xt);
    const auto z_in_before = z_in, z_box_before = z_box, z_l1_before = z_l1;
    for (std::size_t e = 0; e < m_eq; ++e)
      y.equalities[e] += rho * ((1 - alpha) * z_eq[e] + alpha * eq_image[e] - z_eq[e]);
    for (std::size_t e = 0; e < m_in; ++e) {
      const double h = (1 - alpha) * z_in[e] + alpha * in_image[e];
      z_in[e] = std::min(h + y.inequalities[e] / rho, p.inequalities.rhs[e]);
      y.inequalities[e] += rho * (h - z_in[e]);
    }
    for (std::size_t j = 0; j < n; ++j) {
      const double h = (1 - alpha) * z_box[j] + alpha * xt[j];
      z_box[j] = std::min(std::max(h + y.bounds[j] / rho, p.lower_bounds[j]), p.upper_bounds[j]);
      y.bounds[j] += rho * (h - z_box[j]);
    }
    for (std::size_t j = 0; j < z_l1.size(); ++j) {
      const double h = (1 - alpha) * z_l1[j] + alpha * (xt[j] - p.l1->anchor[j]);
      z_l1[j] = shrink(h + y.l1[j] / rho, p.l1->costs[j] / rho);
      y.l1[j] += rho * (h - z_l1[j]);
    }
    x = xt;
    if (s.adaptive_rho && k % s.adaptive_rho_interval == 0 && k < s.max_iterations) {
      double primal = 0.0;
      for (std::size_t e = 0; e < m_eq; ++e) primal = std::max(primal, std::abs(eq_image[e] - z_eq[e]));
      for (std::size_t e = 0; e < m_in; ++e) primal = std::max(primal, std::abs(in_image[e] - z_in[e]));
      for (std::size_t j = 0; j < n; ++j) primal = std::max(primal, std::abs(x[j] - z_box[j]));
      for (std::size_t j = 0; j < z_l1.size(); ++j)
        primal = std::max(primal, std::abs(x[j] - p.l1->anchor[j] - z_l1[j]));
      std::vector<double> delta_in(m_in);
      for (std::size_t e = 0; e < m_in; ++e) delta_in[e] = z_in[e] - z_in_before[e];
      auto v = transpose_times(p.inequalities.matrix, delta_in);
      for (std::size_t j = 0; j < n; ++j) {
        v[j] += z_box[j] - z_box_before[j];
        if (l1) v[j] += z_l1[j] - z_l1_before[j];
      }
      const double dual = rho * max_abs(v);
      double next = rho;
      if (primal > s.adaptive_rho_tolerance * dual)
        next = std::min(rho * s.adaptive_rho_multiplier, s.maximum_rho);
      else if (dual > s.adaptive_rho_tolerance * primal)
        next = std::max(rho / s.adaptive_rho_multiplier, s.minimum_rho);
      if (next != rho) {
        rho = next;
        ++updates;
        l = factor(rho);
      }
    }
  }
  return {std::move(x), std::move(y), rho, updates};
}

// ---------------------------------------------------------------------------
// Fixtures
// ---------------------------------------------------------------------------

// A random warm start of the right shape (for "another start").
WarmStart random_start(const QpProblem& p, std::uint64_t seed, double spread) {
  dense::Random random(seed);
  auto vec = [&](std::size_t len) {
    std::vector<double> v(len);
    for (double& e : v) e = random.uniform(-spread, spread);
    return v;
  };
  WarmStart s;
  s.x = vec(p.n());
  s.equality_dual = vec(p.m_eq());
  s.inequality_dual = vec(p.m_in());
  s.bound_dual = vec(p.n());
  s.l1_dual = vec(p.l1 ? p.n() : 0);
  return s;
}

// Budget row Σx = 1 and 0 ≤ x ≤ 0.1 over six assets: the box caps the sum at
// 0.6. Farkas: y = −1 on the budget, w = +1 on every upper bound: value −0.4.
QpProblem infeasible_budget_problem() {
  QpProblem p = dense::random_qp(11, {.n = 6, .k = 2, .m_eq = 1, .m_in = 0});
  p.equalities.rhs = {1.0};
  p.lower_bounds.assign(6, 0.0);
  p.upper_bounds.assign(6, 0.1);
  return p;
}

// x₀ + x₁ ≤ −1 with x ≥ 0 (no upper bounds), five assets.
QpProblem infeasible_row_problem() {
  QpProblem p = dense::random_qp(12, {.n = 5, .k = 2, .m_eq = 0, .m_in = 2});
  p.inequalities.matrix = matrix(2, 5, {1.0, 1.0, 0.0, 0.0, 0.0, /**/ 0.0, 0.0, 1.0, -1.0, 0.5});
  p.inequalities.rhs = {-1.0, 3.0};
  p.lower_bounds.assign(5, 0.0);
  p.upper_bounds.assign(5, kInf);
  return p;
}

// Asset 2 has no variance (zero row of F, d₂ = 0), a negative linear term,
// no upper bound and no constraint row: the objective falls along e₂ forever.
QpProblem unbounded_single_asset_problem() {
  QpProblem p = dense::random_qp(13, {.n = 5, .k = 2, .m_eq = 1, .m_in = 1});
  for (std::size_t c = 0; c < 2; ++c) p.quadratic.written_factors()(2, c) = 0.0;
  p.quadratic.diagonal[2] = 0.0;
  p.linear[2] = -1.0;
  p.equalities.matrix(0, 2) = 0.0;
  p.inequalities.matrix(0, 2) = 0.0;
  p.lower_bounds[2] = 0.0;
  p.upper_bounds[2] = kInf;
  return p;
}

// Assets 0 and 1 share exposures and have no specific variance, so P·(e₀ − e₁) = 0;
// the budget row keeps their sum, q₀ < q₁ rewards moving from 1 to 0, open boxes.
QpProblem unbounded_pair_problem() {
  QpProblem p = dense::random_qp(14, {.n = 6, .k = 2, .m_eq = 1, .m_in = 0, .infinite_side_fraction = 0.0});
  for (std::size_t c = 0; c < 2; ++c) p.quadratic.written_factors()(1, c) = p.quadratic.factors()(0, c);
  p.quadratic.diagonal[0] = p.quadratic.diagonal[1] = 0.0;
  p.linear[0] = -0.5;
  p.linear[1] = 0.5;
  p.lower_bounds[0] = p.lower_bounds[1] = -kInf;
  p.upper_bounds[0] = p.upper_bounds[1] = kInf;
  return p;
}

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------

TEST(WorkspaceCreate, StartsWithOneFactorisationAtRho) {
  const QpProblem p = dense::random_qp(1, {});
  for (std::uint64_t scaling : {0u, 10u}) {
    SCOPED_TRACE(scaling);
    SolverSettings s;
    s.scaling_iterations = scaling;
    s.rho = 0.25;
    Workspace w = make_workspace(p, s);
    EXPECT_EQ(w.factorizations(), 1u);
    ASSERT_EQ(w.systems().size(), 1u);
    EXPECT_EQ(w.systems().front().first, 0.25);
    EXPECT_EQ(w.problem(), p);
    EXPECT_EQ(w.settings(), s);
    EXPECT_EQ(w.scaled() != nullptr, scaling > 0);
  }
}

TEST(WorkspaceCreate, ErrorsComeInOrder) {
  SolverSettings bad_settings;
  bad_settings.sigma = -1.0;
  QpProblem bad_problem = dense::random_qp(2, {.n = 4});
  bad_problem.linear[1] = kNaN;
  QpProblem indefinite = dense::random_qp(3, {.n = 4, .k = 2});
  indefinite.quadratic.omega = FactorCovariance::dense(matrix(2, 2, {1.0, 2.0, 2.0, 1.0}));
  SolverSettings no_scaling;
  no_scaling.scaling_iterations = 0;

  struct Case {
    const char* label;
    QpProblem problem;
    SolverSettings settings;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"problem before settings", bad_problem, bad_settings, "linear contains a non-finite coefficient"},
      {"settings", dense::random_qp(2, {.n = 4}), bad_settings,
       "invalid solver setting: sigma must be finite and positive"},
      {"indefinite Ω with scaling", indefinite, {}, "dense factor covariance is not positive semidefinite"},
      {"indefinite Ω without scaling", indefinite, no_scaling,
       "dense factor covariance is not positive semidefinite"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto w = Workspace::create(c.settings, c.problem);
    ASSERT_FALSE(w.has_value());
    EXPECT_EQ(w.error().message(), c.message);
  }
}

// ---------------------------------------------------------------------------
// Warm starts
// ---------------------------------------------------------------------------

TEST(WarmStartChecks, ErrorTable) {
  const QpProblem p = dense::random_qp(4, {.n = 5, .m_eq = 2, .m_in = 3});  // no L1 term
  const std::size_t n = 5;
  struct Case {
    const char* label;
    std::function<void(WarmStart&)> change;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"bound_dual n-1", [](auto& s) { s.bound_dual = std::vector<double>(4, 0.0); },
       "warm-start bound_dual has length 4; expected 5"},
      {"x NaN", [](auto& s) { s.x[3] = kNaN; }, "warm-start x contains a non-finite value"},
      {"x short", [](auto& s) { s.x.pop_back(); }, "warm-start x has length 4; expected 5"},
      {"x before duals",
       [](auto& s) {
         s.x[0] = kInf;
         s.equality_dual = std::vector<double>{1.0};
       },
       "warm-start x contains a non-finite value"},
      {"equality_dual length", [](auto& s) { s.equality_dual = std::vector<double>{1.0}; },
       "warm-start equality_dual has length 1; expected 2"},
      {"length before finiteness",
       [](auto& s) {
         s.inequality_dual = std::vector<double>{kNaN, 1.0};
       },
       "warm-start inequality_dual has length 2; expected 3"},
      {"inequality_dual infinite",
       [](auto& s) {
         s.inequality_dual = std::vector<double>{0.0, -kInf, 1.0};
       },
       "warm-start inequality_dual contains a non-finite value"},
      {"blocks in order",
       [](auto& s) {
         s.inequality_dual = std::vector<double>{kNaN, 0.0, 0.0};
         s.bound_dual = std::vector<double>(7, 0.0);
       },
       "warm-start inequality_dual contains a non-finite value"},
      {"l1_dual without an L1 term", [n](auto& s) { s.l1_dual = std::vector<double>(n, 0.0); },
       "warm-start l1_dual has length 5; expected 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Workspace w = make_workspace(p);
    const SystemCache before = w.systems();
    WarmStart start{std::vector<double>(n, 0.1), {}, {}, {}, {}};
    c.change(start);
    auto result = w.solve_from(Clock::now(), start);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(), c.message);
    EXPECT_EQ(w.factorizations(), 1u);
    EXPECT_EQ(w.systems().size(), before.size());
  }
}

TEST(WarmStartChecks, AbsentBlocksAreZeros) {
  const QpProblem p = dense::random_qp(5, {.n = 8, .m_eq = 1, .m_in = 2, .l1 = true});
  Workspace w = make_workspace(p, plain_run(40));
  WarmStart partial{std::vector<double>(8, 0.2), {}, {}, {}, {}};
  WarmStart explicit_zeros{std::vector<double>(8, 0.2), std::vector<double>(1, 0.0),
                           std::vector<double>(2, 0.0), std::vector<double>(8, 0.0),
                           std::vector<double>(8, 0.0)};
  const Solution a = solve(w, partial);
  const Solution b = solve(w, explicit_zeros);
  EXPECT_EQ(a.x, b.x);
  EXPECT_EQ(a.dual, b.dual);

  // Without an L1 term an empty l1_dual is accepted.
  const QpProblem q = dense::random_qp(6, {.n = 4});
  Workspace v = make_workspace(q);
  WarmStart empty_l1{std::vector<double>(4, 0.0), {}, {}, {}, std::vector<double>{}};
  EXPECT_TRUE(v.solve_from(Clock::now(), empty_l1).has_value());
}

// ---------------------------------------------------------------------------
// The iteration against the dense reference
// ---------------------------------------------------------------------------

struct ReferenceCase {
  const char* label;
  std::uint64_t seed;
  RandomQpShape shape;
  std::uint64_t scaling;
  bool adaptive;
  bool warm;
  std::uint64_t iterations;
  double rho = 1.0;
  std::size_t sparse_period = 0;  // > 0: thin the rows with sparsify_rows
  bool sparse_factor = false;     // thin the last factor column as well
};

// Keeps, in every constraint row except the budget row, only the entries
// j ≡ r (mod period), as industry memberships do: the reduced system then
// reads those rows through its sparse tail.
void sparsify_rows(QpProblem& p, std::size_t period) {
  const auto thin = [period](Matrix& a, std::size_t first) {
    for (std::size_t r = first; r < a.rows(); ++r) {
      for (std::size_t j = 0; j < a.cols(); ++j) {
        if (j % period != r % period) a(r, j) = 0.0;
      }
    }
  };
  thin(p.equalities.matrix, 1);
  thin(p.inequalities.matrix, 0);
}

// Zeroes the last factor column except on every period-th asset, so that a
// covariance column joins the sparse tail.
void sparsify_last_factor(QpProblem& p, std::size_t period) {
  Matrix& f = p.quadratic.written_factors();
  for (std::size_t i = 0; i < f.rows(); ++i) {
    if (i % period != 0) f(i, f.cols() - 1) = 0.0;
  }
}

TEST(AdmmIteration, MatchesTheDenseReference) {
  const std::vector<ReferenceCase> cases = {
      {"unscaled, no rows", 21, {.n = 7, .k = 2, .m_eq = 0, .m_in = 0}, 0, false, false, 30},
      {"unscaled, mixed rows", 22, {.n = 12, .k = 3, .m_eq = 2, .m_in = 3}, 0, false, false, 60},
      {"unscaled, L1, warm", 23, {.n = 10, .k = 2, .m_eq = 1, .m_in = 2, .l1 = true}, 0, false, true, 60},
      {"scaled, mixed rows",
       24,
       {.n = 15, .k = 4, .m_eq = 1, .m_in = 4, .dense_omega = true},
       10,
       false,
       false,
       60},
      {"scaled, L1, warm", 25, {.n = 9, .k = 1, .m_eq = 2, .m_in = 1, .l1 = true}, 10, false, true, 50},
      {"scaled, adaptive", 26, {.n = 20, .k = 5, .m_eq = 1, .m_in = 5, .l1 = true}, 10, true, true, 120},
      {"unscaled, adaptive, no factors",
       27,
       {.n = 6, .k = 0, .m_eq = 1, .m_in = 2},
       0,
       true,
       false,
       100,
       1e-3},
      {"scaled, L1, sparse rows after the budget",
       28,
       {.n = 26, .k = 3, .m_eq = 3, .m_in = 3, .l1 = true},
       10,
       false,
       true,
       60,
       1.0,
       5},
      {"unscaled, adaptive, sparse rows and factor column",
       29,
       {.n = 23, .k = 3, .m_eq = 0, .m_in = 4},
       0,
       true,
       false,
       120,
       1e-3,
       5,
       true},
  };
  for (const ReferenceCase& c : cases) {
    SCOPED_TRACE(c.label);
    QpProblem p = dense::random_qp(c.seed, c.shape);
    if (c.sparse_period > 0) sparsify_rows(p, c.sparse_period);
    if (c.sparse_factor) sparsify_last_factor(p, c.sparse_period);
    SolverSettings s = plain_run(c.iterations);
    s.scaling_iterations = c.scaling;
    s.adaptive_rho = c.adaptive;
    s.rho = c.rho;
    Workspace w = make_workspace(p, s);
    if (c.sparse_period > 0) {
      // The rows (and the thinned factor column) must be stored sparse: only
      // the factor columns and the budget row stay dense.
      const SmwSystem& smw = w.systems().front().second.smw;
      const std::size_t k = p.quadratic.factor_count();
      std::vector<std::size_t> dense;
      for (std::size_t l = 0; l < k; ++l) {
        if (!(c.sparse_factor && l + 1 == k)) dense.push_back(l);
      }
      if (p.m_eq() > 0) dense.push_back(k);
      const auto stored = smw.columns().dense_columns();
      EXPECT_EQ(std::vector<std::size_t>(stored.begin(), stored.end()), dense);
    }
    const std::optional<WarmStart> start =
        c.warm ? std::optional(random_start(p, c.seed, 0.5)) : std::nullopt;
    const Solution got = solve(w, start);
    ASSERT_EQ(got.iterations, c.iterations);

    // The reference runs on the iteration problem from the start in its units.
    const ScaledProblem* scaled = w.scaled();
    const QpProblem& iteration = scaled ? scaled->problem : p;
    std::vector<double> x(p.n(), 0.0);
    DualVariables y{std::vector<double>(p.m_eq(), 0.0), std::vector<double>(p.m_in(), 0.0),
                    std::vector<double>(p.n(), 0.0), std::vector<double>(p.l1 ? p.n() : 0, 0.0)};
    if (start) {
      x = start->x;
      y = {*start->equality_dual, *start->inequality_dual, *start->bound_dual, *start->l1_dual};
    }
    if (scaled) {
      const auto& d = scaled->column_scaling;
      const double cost = scaled->cost_scaling;
      for (std::size_t j = 0; j < p.n(); ++j) {
        x[j] /= d[j];
        y.bounds[j] *= cost * d[j];
        if (p.l1) y.l1[j] *= cost * d[j];
      }
      for (std::size_t e = 0; e < p.m_eq(); ++e) y.equalities[e] *= cost / scaled->equality_scaling[e];
      for (std::size_t e = 0; e < p.m_in(); ++e) y.inequalities[e] *= cost / scaled->inequality_scaling[e];
    }
    ReferenceIterate ref = reference_admm(iteration, x, y, s, c.iterations);
    if (scaled) {
      const auto& d = scaled->column_scaling;
      const double cost = scaled->cost_scaling;
      for (std::size_t j = 0; j < p.n(); ++j) {
        ref.x[j] *= d[j];
        ref.y.bounds[j] /= cost * d[j];
        if (p.l1) ref.y.l1[j] /= cost * d[j];
      }
      for (std::size_t e = 0; e < p.m_eq(); ++e) ref.y.equalities[e] *= scaled->equality_scaling[e] / cost;
      for (std::size_t e = 0; e < p.m_in(); ++e)
        ref.y.inequalities[e] *= scaled->inequality_scaling[e] / cost;
    }
    // The fused iteration sums in another order; the iterates agree far below
    // any tolerance of the solver.
    const double scale = std::max({1.0, max_abs(ref.x), max_abs(ref.y.bounds), max_abs(ref.y.equalities),
                                   max_abs(ref.y.inequalities), max_abs(ref.y.l1)});
    EXPECT_LE(max_abs_difference(got.x, ref.x), 1e-9 * scale);
    EXPECT_LE(max_abs_difference(got.dual.equalities, ref.y.equalities), 1e-9 * scale);
    EXPECT_LE(max_abs_difference(got.dual.inequalities, ref.y.inequalities), 1e-9 * scale);
    EXPECT_LE(max_abs_difference(got.dual.bounds, ref.y.bounds), 1e-9 * scale);
    EXPECT_LE(max_abs_difference(got.dual.l1, ref.y.l1), 1e-9 * scale);
    EXPECT_EQ(got.final_rho, ref.rho);
    EXPECT_EQ(got.rho_updates, ref.updates);
    if (c.adaptive) {
      EXPECT_GT(ref.updates, 0u) << "case meant to exercise penalty updates";
    }
  }
}

TEST(AdmmIteration, UnscaledRunIsDeterministicAndMapsNothing) {
  const QpProblem p = dense::random_qp(31, {.n = 14, .k = 3, .m_eq = 1, .m_in = 3, .l1 = true});
  SolverSettings s = plain_run(45);
  s.scaling_iterations = 0;
  Workspace w = make_workspace(p, s);
  ASSERT_EQ(w.scaled(), nullptr);
  const Solution a = solve(w);
  const Solution b = solve(w);
  Workspace fresh = make_workspace(p, s);
  const Solution c = solve(fresh);
  for (const Solution* other : {&b, &c}) {
    EXPECT_EQ(a.x, other->x);
    EXPECT_EQ(a.dual, other->dual);
    EXPECT_EQ(a.residuals, other->residuals);
  }
  // One iteration from a warm start with zero duals: the returned x is the
  // first solve's x̃ and is not divided or multiplied by anything.
  SolverSettings one = plain_run(1);
  one.scaling_iterations = 0;
  Workspace single = make_workspace(p, one);
  const Solution first = solve(single);
  const ReferenceIterate ref =
      reference_admm(p, std::vector<double>(p.n(), 0.0),
                     DualVariables{std::vector<double>(1, 0.0), std::vector<double>(3, 0.0),
                                   std::vector<double>(14, 0.0), std::vector<double>(14, 0.0)},
                     one, 1);
  EXPECT_LE(max_abs_difference(first.x, ref.x), 1e-12 * std::max(1.0, max_abs(ref.x)));
}

// ---------------------------------------------------------------------------
// End to end
// ---------------------------------------------------------------------------

struct EndToEndCase {
  std::uint64_t seed;
  RandomQpShape shape;
};

TEST(EndToEnd, RandomQpsSatisfyTheDenseKktConditions) {
  std::vector<EndToEndCase> cases = {
      {101, {.n = 5, .k = 1, .m_eq = 1, .m_in = 1}},
      {102, {.n = 12, .k = 0, .m_eq = 1, .m_in = 3}},
      {103, {.n = 20, .k = 3, .m_eq = 2, .m_in = 4, .dense_omega = true}},
      {104, {.n = 40, .k = 5, .m_eq = 3, .m_in = 6}},
      {105, {.n = 25, .k = 2, .m_eq = 0, .m_in = 5, .infinite_side_fraction = 0.6}},
      {106, {.n = 30, .k = 4, .m_eq = 1, .m_in = 0, .infinite_side_fraction = 1.0}},
      {107, {.n = 10, .k = 2, .m_eq = 1, .m_in = 2, .l1 = true}},
      {108, {.n = 35, .k = 5, .m_eq = 2, .m_in = 5, .dense_omega = true, .l1 = true}},
      {109, {.n = 18, .k = 3, .m_eq = 1, .m_in = 3, .l1 = true, .infinite_side_fraction = 0.0}},
      {110, {.n = 16, .k = 2, .m_eq = 1, .m_in = 2, .pinned_fraction = 0.2}},
      {111, {.n = 22, .k = 5, .m_eq = 0, .m_in = 0, .l1 = true, .infinite_side_fraction = 1.0}},
      {112, {.n = 40, .k = 5, .m_eq = 4, .m_in = 8, .l1 = true, .tight_inequality_fraction = 1.0}},
  };
  for (const EndToEndCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "seed " << c.seed << " n " << c.shape.n << " k " << c.shape.k);
    const QpProblem p = dense::random_qp(c.seed, c.shape);
    Workspace w = make_workspace(p);
    const Solution cold = solve(w);
    ASSERT_EQ(cold.status, SolveStatus::Solved);
    EXPECT_FALSE(cold.diagnostics.has_value());
    EXPECT_FALSE(cold.certificate.has_value());
    const dense::KktReport kkt = dense::dense_kkt(p, cold.x, cold.dual);
    EXPECT_LE(kkt.relative_stationarity(), 1e-5);
    EXPECT_LE(kkt.relative_primal(), 1e-5);
    EXPECT_LE(kkt.relative_sign(), 1e-5);
    EXPECT_LE(kkt.relative_complementarity(), 1e-5);
    EXPECT_NEAR(cold.objective, dense::dense_objective(p, cold.x),
                1e-9 * std::max(1.0, std::abs(cold.objective)));
    EXPECT_EQ(cold.iterations % 10, 0u);

    // Another start reaches the same optimum (the problem is strictly convex).
    const Solution other = solve(w, random_start(p, c.seed + 1000, 2.0));
    ASSERT_EQ(other.status, SolveStatus::Solved);
    EXPECT_NEAR(other.objective, cold.objective, 1e-5 * std::max(1.0, std::abs(cold.objective)));
  }
}

TEST(EndToEnd, WarmStartFromTheSolutionNeedsFewerIterations) {
  for (std::uint64_t seed : {201u, 202u, 203u}) {
    SCOPED_TRACE(seed);
    const QpProblem p = dense::random_qp(seed, {.n = 30, .k = 4, .m_eq = 1, .m_in = 4, .l1 = seed % 2 == 0});
    SolverSettings s;
    s.polish = false;  // warm-start from the ADMM iterate itself
    Workspace w = make_workspace(p, s);
    const Solution cold = solve(w);
    ASSERT_EQ(cold.status, SolveStatus::Solved);
    const Solution warm = solve(w, cold.warm_start());
    ASSERT_EQ(warm.status, SolveStatus::Solved);
    EXPECT_LT(warm.iterations, cold.iterations);
  }
}

TEST(EndToEnd, ScaledAndUnscaledPathsReachTheSameOptimum) {
  const QpProblem p = dense::random_qp(301, {.n = 24, .k = 3, .m_eq = 2, .m_in = 3, .l1 = true});
  SolverSettings unscaled;
  unscaled.scaling_iterations = 0;
  Workspace a = make_workspace(p);
  Workspace b = make_workspace(p, unscaled);
  const Solution sa = solve(a);
  const Solution sb = solve(b);
  ASSERT_EQ(sa.status, SolveStatus::Solved);
  ASSERT_EQ(sb.status, SolveStatus::Solved);
  EXPECT_NEAR(sa.objective, sb.objective, 1e-5 * std::max(1.0, std::abs(sa.objective)));
  EXPECT_LE(max_abs_difference(sa.x, sb.x), 1e-3);
}

TEST(EndToEnd, SolvedWithoutPolishHasNoDiagnostics) {
  const QpProblem p = dense::random_qp(302, {.n = 12, .k = 2, .m_eq = 1, .m_in = 2});
  SolverSettings s;
  s.polish = false;
  Workspace w = make_workspace(p, s);
  const Solution sol = solve(w);
  ASSERT_EQ(sol.status, SolveStatus::Solved);
  EXPECT_FALSE(sol.polished);
  EXPECT_FALSE(sol.diagnostics.has_value());
  const auto kkt = check_kkt(p, sol.x, sol.dual);
  ASSERT_TRUE(kkt.has_value());
  EXPECT_EQ(sol.residuals, *kkt);
}

TEST(EndToEnd, SolveTimeCountsFromTheGivenInstant) {
  const QpProblem p = dense::random_qp(303, {.n = 6});
  Workspace w = make_workspace(p);
  const auto start = Clock::now() - std::chrono::milliseconds(2500);
  const Solution sol = *w.solve_from(start, std::nullopt);
  EXPECT_GE(sol.solve_time.secs, 2u);
  EXPECT_LT(sol.solve_time.nanos, 1'000'000'000u);
  EXPECT_GE(sol.solve_time.seconds(), 2.5);
}

// ---------------------------------------------------------------------------
// Certificates and failure statuses
// ---------------------------------------------------------------------------

TEST(Infeasibility, PrimalCertificatesPassADenseFarkasCheck) {
  const std::vector<std::pair<const char*, QpProblem>> cases = {
      {"budget beyond the boxes", infeasible_budget_problem()},
      {"row below the lower bounds", infeasible_row_problem()},
  };
  for (const auto& [label, p] : cases) {
    SCOPED_TRACE(label);
    Workspace w = make_workspace(p);
    const Solution sol = solve(w);
    ASSERT_EQ(sol.status, SolveStatus::PrimalInfeasible);
    ASSERT_TRUE(sol.certificate.has_value());
    ASSERT_TRUE(sol.certificate->is_primal());
    const dense::FarkasReport farkas = dense::dense_farkas(p, sol.certificate->primal());
    EXPECT_NEAR(farkas.norm, 1.0, 1e-12);
    EXPECT_LE(farkas.combination, 1e-5);
    EXPECT_LE(farkas.sign_violation, 1e-12);
    EXPECT_LT(farkas.value, -1e-3);
    ASSERT_TRUE(sol.diagnostics.has_value());
    ASSERT_FALSE(sol.diagnostics->hints.empty());
    EXPECT_TRUE(sol.diagnostics->hints[0].starts_with("a Farkas certificate proves"));
    EXPECT_FALSE(sol.polished);
  }
}

TEST(Infeasibility, DualCertificatesAreDescentRays) {
  const std::vector<std::pair<const char*, QpProblem>> cases = {
      {"free asset without variance", unbounded_single_asset_problem()},
      {"pair with identical exposures", unbounded_pair_problem()},
  };
  for (const auto& [label, p] : cases) {
    SCOPED_TRACE(label);
    Workspace w = make_workspace(p);
    const Solution sol = solve(w);
    ASSERT_EQ(sol.status, SolveStatus::DualInfeasible);
    ASSERT_TRUE(sol.certificate.has_value());
    ASSERT_FALSE(sol.certificate->is_primal());
    const dense::RayReport ray = dense::dense_ray(p, sol.certificate->dual().direction);
    EXPECT_NEAR(ray.norm, 1.0, 1e-12);
    EXPECT_LE(ray.curvature, 1e-5);
    EXPECT_LE(ray.violation, 1e-5);
    EXPECT_LT(ray.slope, -1e-3);
    ASSERT_TRUE(sol.diagnostics.has_value());
    EXPECT_TRUE(sol.diagnostics->hints[0].starts_with("a descent-ray certificate proves"));
  }
}

TEST(Infeasibility, ZeroToleranceNeverCertifies) {
  for (const QpProblem& p : {infeasible_budget_problem(), unbounded_single_asset_problem()}) {
    SolverSettings s;
    s.infeasibility_tolerance = 0.0;
    s.max_iterations = 400;
    Workspace w = make_workspace(p, s);
    const Solution sol = solve(w);
    EXPECT_EQ(sol.status, SolveStatus::MaxIterations);
    EXPECT_FALSE(sol.certificate.has_value());
    EXPECT_EQ(sol.iterations, 400u);
    ASSERT_TRUE(sol.diagnostics.has_value());
  }
}

TEST(NumericalFailure, NonFiniteSolutionStopsAtOnce) {
  // l = u = +∞ passes validation; the box projection then feeds +∞ into r.
  QpProblem p = dense::random_qp(401, {.n = 6, .k = 2});
  p.lower_bounds[3] = kInf;
  p.upper_bounds[3] = kInf;
  for (std::uint64_t scaling : {0u, 10u}) {
    SCOPED_TRACE(scaling);
    SolverSettings s;
    s.scaling_iterations = scaling;
    Workspace w = make_workspace(p, s);
    const WarmStart start = random_start(p, 5, 0.5);
    const Solution sol = solve(w, start);
    EXPECT_EQ(sol.status, SolveStatus::NumericalFailure);
    EXPECT_EQ(sol.iterations, 1u);
    EXPECT_EQ(sol.residuals, (KktResiduals{kInf, kInf, kInf}));
    // The iterate is the starting point: the failed iteration changed nothing.
    for (std::size_t j = 0; j < p.n(); ++j)
      EXPECT_NEAR(sol.x[j], start.x[j], 1e-15 * (1 + std::abs(start.x[j])));
    ASSERT_TRUE(sol.diagnostics.has_value());
    ASSERT_EQ(sol.diagnostics->hints.size(), 1u);
    EXPECT_TRUE(sol.diagnostics->hints[0].starts_with("an iterate became non-finite"));
  }
}

// ---------------------------------------------------------------------------
// Check schedule
// ---------------------------------------------------------------------------

// conv[k] = the iterate after k iterations passes the stopping test. A run with
// a check schedule must stop at the first scheduled k with conv[k], else at
// max_iterations with MaxIterations.
TEST(CheckSchedule, TestsAtMultiplesAndAtTheLastIteration) {
  const QpProblem p = dense::random_qp(501, {.n = 10, .k = 2, .m_eq = 1, .m_in = 2});
  SolverSettings base = plain_run(1);
  base.rho = 0.1;
  base.adaptive_rho_interval = 5;
  base.absolute_tolerance = 1e-3;
  base.relative_tolerance = 1e-3;
  const std::uint64_t horizon = 60;
  std::vector<bool> conv(horizon + 1, false);
  for (std::uint64_t k = 1; k <= horizon; ++k) {
    SolverSettings s = base;
    s.max_iterations = k;
    Workspace w = make_workspace(p, s);
    const Solution sol = solve(w);
    ASSERT_EQ(sol.iterations, k);
    conv[k] = sol.status == SolveStatus::Solved;
  }
  ASSERT_FALSE(conv[1]) << "the profile should start unconverged";
  ASSERT_TRUE(conv[horizon]) << "the profile should end converged";

  struct Case {
    std::uint64_t every, max;
  };
  for (const Case c : {Case{10, 25}, Case{10, 7}, Case{7, 60}, Case{1, 60}, Case{25, 60}, Case{60, 33}}) {
    SCOPED_TRACE(testing::Message() << "every " << c.every << " max " << c.max);
    std::uint64_t expected_stop = c.max;
    bool expected_solved = false;
    for (std::uint64_t k = 1; k <= c.max; ++k) {
      if ((k % c.every == 0 || k == c.max) && conv[k]) {
        expected_stop = k;
        expected_solved = true;
        break;
      }
    }
    SolverSettings s = base;
    s.max_iterations = c.max;
    s.check_termination_every = c.every;
    Workspace w = make_workspace(p, s);
    const Solution sol = solve(w);
    EXPECT_EQ(sol.iterations, expected_stop);
    EXPECT_EQ(sol.status, expected_solved ? SolveStatus::Solved : SolveStatus::MaxIterations);
  }
}

TEST(CheckSchedule, MaximumOfTwentyFiveChecksAtTenTwentyAndTwentyFive) {
  // Convergence needs more than 25 iterations here, so every check fails and
  // the run ends at 25 exactly; a check at 25 happens (polish off, residuals
  // equal a fresh KKT check of the returned iterate).
  const QpProblem p = dense::random_qp(502, {.n = 30, .k = 5, .m_eq = 2, .m_in = 6, .l1 = true});
  SolverSettings s;
  s.max_iterations = 25;
  s.absolute_tolerance = 1e-12;
  s.relative_tolerance = 0.0;
  Workspace w = make_workspace(p, s);
  const Solution sol = solve(w);
  EXPECT_EQ(sol.status, SolveStatus::MaxIterations);
  EXPECT_EQ(sol.iterations, 25u);
  EXPECT_EQ(sol.residuals, *check_kkt(p, sol.x, sol.dual));
}

// ---------------------------------------------------------------------------
// Penalty and factorisation cache
// ---------------------------------------------------------------------------

TEST(Penalty, AdaptiveOffKeepsRho) {
  const QpProblem p = dense::random_qp(601, {.n = 20, .k = 3, .m_eq = 1, .m_in = 3});
  SolverSettings s;
  s.adaptive_rho = false;
  s.rho = 3.0;
  Workspace w = make_workspace(p, s);
  const Solution sol = solve(w);
  EXPECT_EQ(sol.final_rho, 3.0);
  EXPECT_EQ(sol.rho_updates, 0u);
  EXPECT_EQ(w.factorizations(), 1u);
  EXPECT_EQ(w.systems().size(), 1u);
}

TEST(Penalty, CacheFollowsThePenaltyAcrossSolves) {
  const QpProblem p = dense::random_qp(602, {.n = 20, .k = 3, .m_eq = 1, .m_in = 3, .l1 = true});
  SolverSettings s;
  s.rho = 1e-4;  // far from a good penalty, so it moves
  Workspace w = make_workspace(p, s);
  const Solution first = solve(w);
  ASSERT_GT(first.rho_updates, 0u);
  EXPECT_EQ(w.systems().front().first, first.final_rho);
  EXPECT_EQ(w.systems().front().second.rho, first.final_rho);
  EXPECT_LE(w.systems().size(), kMaxCachedSystems);
  EXPECT_EQ(w.factorizations(), w.systems().size());  // fewer than 17: nothing evicted yet
  for (const auto& [key, system] : w.systems()) {
    EXPECT_EQ(key, system.rho);
    const double ladder = std::log2(key / s.rho);
    EXPECT_EQ(ladder, std::round(ladder));  // powers of μ = 2 times the initial ρ
  }
  // The same solve again visits the same penalties: no new factorisation.
  const std::uint64_t built = w.factorizations();
  const Solution second = solve(w);
  EXPECT_EQ(second.x, first.x);
  EXPECT_EQ(second.final_rho, first.final_rho);
  EXPECT_EQ(w.factorizations(), built);
  EXPECT_EQ(w.systems().front().first, second.final_rho);
}

TEST(Penalty, LongLadderEvictsTheLeastRecentlyUsed) {
  // Infeasible and without detection: the primal residual dominates at every
  // interval, so ρ doubles from 1 up to the clamp 1e6: 2^0 … 2^19 and 1e6.
  SolverSettings s;
  s.adaptive_rho_interval = 1;
  s.infeasibility_tolerance = 0.0;
  s.max_iterations = 200;
  Workspace w = make_workspace(infeasible_budget_problem(), s);
  const Solution sol = solve(w);
  EXPECT_EQ(sol.final_rho, 1e6);
  EXPECT_EQ(sol.rho_updates, 20u);
  EXPECT_EQ(w.factorizations(), 21u);
  ASSERT_EQ(w.systems().size(), 16u);
  EXPECT_EQ(w.systems()[0].first, 1e6);
  for (std::size_t i = 1; i < 16; ++i)
    EXPECT_EQ(w.systems()[i].first, std::ldexp(1.0, 20 - static_cast<int>(i)));
  ASSERT_TRUE(sol.diagnostics.has_value());
  EXPECT_TRUE(sol.diagnostics->rho_at_limit);

  // The same ladder again: ρ = 1 was evicted, and each rebuilt entry evicts
  // the next one up the ladder before it is reached, so all 21 are rebuilt.
  const Solution again = solve(w);
  EXPECT_EQ(again.x, sol.x);
  EXPECT_EQ(again.rho_updates, 20u);
  EXPECT_EQ(w.factorizations(), 42u);
  EXPECT_EQ(w.systems()[0].first, 1e6);
}

// ---------------------------------------------------------------------------
// Data updates
// ---------------------------------------------------------------------------

TEST(DataUpdates, ErrorsChangeNothing) {
  const QpProblem p = dense::random_qp(701, {.n = 5, .m_eq = 2, .m_in = 3, .l1 = true});
  Workspace w = make_workspace(p);
  const QpProblem scaled_before = w.scaled()->problem;
  struct Case {
    const char* label;
    std::function<std::expected<void, ProblemError>(Workspace&)> update;
    std::string message;
  };
  const std::vector<double> nan3 = {0.0, kNaN, 0.0}, short2 = {0.0, 0.0}, inf_long = {kInf, 0, 0, 0, 0, 0};
  const std::vector<Case> cases = {
      {"inequality length", [&](Workspace& x) { return x.update_inequality_rhs(short2); },
       "inequalities.rhs has dimension 2; expected 3"},
      {"inequality NaN", [&](Workspace& x) { return x.update_inequality_rhs(nan3); },
       "inequalities.rhs contains a non-finite coefficient"},
      {"equality length", [&](Workspace& x) { return x.update_equality_rhs(nan3); },
       "equalities.rhs has dimension 3; expected 2"},
      {"equality inf",
       [&](Workspace& x) {
         return x.update_equality_rhs(std::vector<double>{1.0, -kInf});
       },
       "equalities.rhs contains a non-finite coefficient"},
      {"linear length before finiteness", [&](Workspace& x) { return x.update_linear(inf_long); },
       "linear has dimension 6; expected 5"},
      {"linear NaN",
       [&](Workspace& x) {
         return x.update_linear(std::vector<double>{0, 0, 0, 0, kNaN});
       },
       "linear contains a non-finite coefficient"},
      {"anchor length", [&](Workspace& x) { return x.update_l1_anchor(short2); },
       "l1.anchor has dimension 2; expected 5"},
      {"anchor inf",
       [&](Workspace& x) {
         return x.update_l1_anchor(std::vector<double>{0, 0, kInf, 0, 0});
       },
       "l1.anchor contains a non-finite coefficient"},
      {"box length", [&](Workspace& x) { return x.update_bounds(p.lower_bounds, short2); },
       "upper_bounds has dimension 2; expected 5"},
      {"box NaN",
       [&](Workspace& x) {
         return x.update_bounds(std::vector<double>{0, 0, 0, kNaN, 0}, std::vector<double>(5, 1.0));
       },
       "bounds contains a non-finite coefficient"},
      {"box crossing",
       [&](Workspace& x) {
         return x.update_bounds(std::vector<double>{0, 0, 2.0, 0, 0}, std::vector<double>(5, 1.0));
       },
       "invalid bounds at index 2: lower 2 exceeds upper 1"},
      {"costs length", [&](Workspace& x) { return x.update_l1_costs(short2); },
       "l1.costs has dimension 2; expected 5"},
      {"costs negative",
       [&](Workspace& x) {
         return x.update_l1_costs(std::vector<double>{0, 0, 0, -1.0, 0});
       },
       "non-convex quadratic data: l1 costs must be finite and non-negative"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto result = c.update(w);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(), c.message);
    EXPECT_EQ(w.problem(), p);
    EXPECT_EQ(w.scaled()->problem, scaled_before);
  }
}

TEST(DataUpdates, WriteBothCopies) {
  const QpProblem p = dense::random_qp(702, {.n = 6, .m_eq = 2, .m_in = 3, .l1 = true});
  Workspace w = make_workspace(p);
  const ScaledProblem& s = *w.scaled();
  // New right-hand sides built around a point inside the box (the midpoint, or
  // 0.1 inside a single finite side), so the updated problem stays feasible.
  std::vector<double> point(6);
  for (std::size_t j = 0; j < 6; ++j) {
    const double l = p.lower_bounds[j], u = p.upper_bounds[j];
    point[j] = std::isfinite(l) && std::isfinite(u)
                   ? 0.5 * (l + u)
                   : (std::isfinite(l) ? l + 0.1 : (std::isfinite(u) ? u - 0.1 : 0.3));
  }
  std::vector<double> b_in(3), b_eq(2);
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 6; ++j) b_in[i] += p.inequalities.matrix(i, j) * point[j];
    b_in[i] += 0.05 * static_cast<double>(i);
  }
  for (std::size_t i = 0; i < 2; ++i)
    for (std::size_t j = 0; j < 6; ++j) b_eq[i] += p.equalities.matrix(i, j) * point[j];
  const std::vector<double> q = {1, -2, 3, -4, 5, -6}, a = {0.1, 0.2, -0.3, 0.4, 0.0, 1.0};
  const std::vector<double> costs = {0.0, 0.5, 1.0, 0.25, 2.0, 0.1};
  // The box widened by 0.1 on each side: the point stays inside.
  std::vector<double> lower = p.lower_bounds, upper = p.upper_bounds;
  for (double& l : lower) l -= 0.1;
  for (double& u : upper) u += 0.1;
  ASSERT_TRUE(w.update_bounds(lower, upper).has_value());
  ASSERT_TRUE(w.update_l1_costs(costs).has_value());
  ASSERT_TRUE(w.update_inequality_rhs(b_in).has_value());
  ASSERT_TRUE(w.update_equality_rhs(b_eq).has_value());
  ASSERT_TRUE(w.update_linear(q).has_value());
  ASSERT_TRUE(w.update_l1_anchor(a).has_value());
  EXPECT_EQ(w.problem().inequalities.rhs, b_in);
  EXPECT_EQ(w.problem().equalities.rhs, b_eq);
  EXPECT_EQ(w.problem().linear, q);
  EXPECT_EQ(w.problem().l1->anchor, a);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_DOUBLE_EQ(s.problem.inequalities.rhs[i], s.inequality_scaling[i] * b_in[i]);
  for (std::size_t i = 0; i < 2; ++i)
    EXPECT_DOUBLE_EQ(s.problem.equalities.rhs[i], s.equality_scaling[i] * b_eq[i]);
  for (std::size_t j = 0; j < 6; ++j) {
    EXPECT_DOUBLE_EQ(s.problem.linear[j], s.cost_scaling * s.column_scaling[j] * q[j]);
    EXPECT_DOUBLE_EQ(s.problem.l1->anchor[j], a[j] / s.column_scaling[j]);
    EXPECT_DOUBLE_EQ(s.problem.l1->costs[j], s.cost_scaling * s.column_scaling[j] * costs[j]);
    EXPECT_EQ(s.problem.lower_bounds[j], lower[j] / s.column_scaling[j]);
    EXPECT_EQ(s.problem.upper_bounds[j], upper[j] / s.column_scaling[j]);
  }
  EXPECT_EQ(w.problem().lower_bounds, lower);
  EXPECT_EQ(w.problem().l1->costs, costs);
  // The factorisations stay valid: the updated problem solves without a new one
  // and agrees with a workspace built from the updated data.
  const Solution updated = solve(w);
  Workspace fresh = make_workspace(w.problem());
  const Solution rebuilt = solve(fresh);
  ASSERT_EQ(updated.status, SolveStatus::Solved);
  ASSERT_EQ(rebuilt.status, SolveStatus::Solved);
  EXPECT_NEAR(updated.objective, rebuilt.objective, 1e-5 * std::max(1.0, std::abs(rebuilt.objective)));
  const auto kkt = dense::dense_kkt(w.problem(), updated.x, updated.dual);
  EXPECT_LE(kkt.worst_relative(), 1e-5);
}

TEST(DataUpdates, AnchorWithoutL1TermAcceptsOnlyEmpty) {
  const QpProblem p = dense::random_qp(703, {.n = 4});
  Workspace w = make_workspace(p);
  EXPECT_TRUE(w.update_l1_anchor({}).has_value());
  auto result = w.update_l1_anchor(std::vector<double>(4, 0.0));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message(), "l1.anchor has dimension 4; expected 0");
  EXPECT_EQ(w.problem(), p);
}

// ---------------------------------------------------------------------------
// Allocation
// ---------------------------------------------------------------------------

std::size_t allocations_of_solve(Workspace& w, SolveStatus expected_status) {
  const std::size_t before = allocation::count();
  const auto result = w.solve_from(Clock::now(), std::nullopt);
  const std::size_t after = allocation::count();
  EXPECT_TRUE(result.has_value());
  if (result) {
    EXPECT_EQ(result->status, expected_status);
  }
  return after - before;
}

TEST(Allocation, IterationsAllocateNothing) {
  // Only the iteration count differs between the runs; the setup, the single
  // check at the last iteration and the post-processing (the same status, so
  // the same diagnostics) happen once in each. Equal allocation counts mean
  // the iterations themselves allocate nothing.
  // Dense columns; sparse rows and a sparse factor column behind a dense Ω
  // (C implicit); more factors and rows than assets (the n-space).
  QpProblem structured = dense::random_qp(802, {.n = 30, .k = 4, .m_eq = 3, .m_in = 3, .dense_omega = true});
  sparsify_rows(structured, 5);
  sparsify_last_factor(structured, 5);
  // Right-hand sides that the box point nearest 0 satisfies, so the loose run solves.
  std::vector<double> inside(structured.n());
  for (std::size_t j = 0; j < inside.size(); ++j)
    inside[j] = std::clamp(0.0, structured.lower_bounds[j], structured.upper_bounds[j]);
  structured.equalities.rhs = structured.equalities.matrix.mul_vec(inside);
  structured.inequalities.rhs = structured.inequalities.matrix.mul_vec(inside);
  for (double& b : structured.inequalities.rhs) b += 0.1;
  const std::vector<QpProblem> problems = {
      dense::random_qp(801, {.n = 30, .k = 4, .m_eq = 1, .m_in = 3, .l1 = true}), structured,
      dense::random_qp(803, {.n = 6, .k = 5, .m_eq = 1, .m_in = 2, .dense_omega = true, .l1 = true})};
  // The adaptive profile adds the acceleration step and the magnitude estimate.
  for (const auto& [p, adaptive, profile] : {std::tuple{problems[0], false, SolverProfile::Reference},
                                             std::tuple{problems[0], true, SolverProfile::Reference},
                                             std::tuple{problems[1], false, SolverProfile::Reference},
                                             std::tuple{problems[1], true, SolverProfile::Reference},
                                             std::tuple{problems[2], false, SolverProfile::Reference},
                                             std::tuple{problems[2], true, SolverProfile::Reference},
                                             std::tuple{problems[0], true, SolverProfile::Adaptive},
                                             std::tuple{problems[1], true, SolverProfile::Adaptive},
                                             std::tuple{problems[2], true, SolverProfile::Adaptive}}) {
    SCOPED_TRACE(std::to_string(p.n()) + (adaptive ? " adaptive" : "") +
                 (profile == SolverProfile::Adaptive ? " profile" : ""));
    auto count = [&](std::uint64_t iterations, bool loose) {
      SolverSettings s = plain_run(iterations);
      s.profile = profile;
      s.absolute_tolerance = loose ? 1e-2 : 1e-300;
      s.relative_tolerance = loose ? 1e-2 : 0.0;
      s.adaptive_rho = adaptive;
      s.adaptive_rho_interval = 1;            // a penalty step at every iteration but the last …
      s.minimum_rho = s.maximum_rho = s.rho;  // … whose proposal is always clamped back to ρ
      Workspace w = make_workspace(p, s);
      return allocations_of_solve(w, loose ? SolveStatus::Solved : SolveStatus::MaxIterations);
    };
    const std::size_t short_run = count(200, true);
    EXPECT_GT(short_run, 0u);  // the solution's own vectors: the counter is live
    EXPECT_EQ(short_run, count(600, true));
    EXPECT_EQ(count(1, false), count(2, false));
  }
}

}  // namespace
}  // namespace morva
