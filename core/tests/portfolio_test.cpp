// The portfolio record: constructor and builder rules, the lowering to a QP
// (checked against densely formed data), and end-to-end solves whose KKT
// conditions are verified on the dense data.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "morva/portfolio.hpp"
#include "support/dense.hpp"
#include "support/portfolio_fixture.hpp"

namespace morva {
namespace {

using fixture::matrix;
using fixture::message_of;
using fixture::portfolio;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------
// Construction

TEST(PortfolioCreate, SetsTheDefaults) {
  const PortfolioProblem problem = portfolio(4);
  EXPECT_EQ(problem.dimension(), 4u);
  EXPECT_EQ(problem.risk_aversion(), 1.0);
  EXPECT_EQ(problem.budget(), std::optional<double>(1.0));
  EXPECT_EQ(problem.lower_bounds(), std::vector<double>(4, 0.0));
  EXPECT_EQ(problem.upper_bounds(), std::vector<double>(4, 1.0));
  EXPECT_EQ(problem.equalities().matrix.rows(), 0u);
  EXPECT_EQ(problem.equalities().matrix.cols(), 4u);
  EXPECT_TRUE(problem.equalities().rhs.empty());
  EXPECT_EQ(problem.inequalities().matrix.rows(), 0u);
  EXPECT_EQ(problem.inequalities().matrix.cols(), 4u);
  EXPECT_FALSE(problem.previous_weights().has_value());
  EXPECT_EQ(problem.turnover_penalty(), 0.0);
  EXPECT_FALSE(problem.l1_turnover_costs().has_value());
  EXPECT_FALSE(problem.benchmark_weights().has_value());
}

TEST(PortfolioCreate, ReportsTheFirstBrokenRule) {
  struct Case {
    const char* name;
    std::vector<double> specific;
    std::vector<double> returns;
    const char* message;
  };
  const std::vector<double> good_specific{0.1, 0.2, 0.3};
  const std::vector<double> good_returns{0.01, 0.02, 0.03};
  const std::vector<Case> cases{
      {"short diagonal", {0.1, 0.2}, good_returns, "quadratic.diagonal has dimension 2; expected 3"},
      {"covariance before returns",
       {0.1, -1.0, 0.3},
       {0.1},
       "non-convex quadratic data: quadratic diagonal must be finite and non-negative"},
      {"short returns", good_specific, {0.1, 0.2}, "expected_returns has dimension 2; expected 3"},
      {"length before finiteness",
       good_specific,
       {kNaN, 0.2, 0.3, 0.4},
       "expected_returns has dimension 4; expected 3"},
      {"NaN return", good_specific, {0.1, kNaN, 0.3}, "expected_returns contains a non-finite coefficient"},
      {"infinite return",
       good_specific,
       {0.1, 0.2, -kInf},
       "expected_returns contains a non-finite coefficient"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = PortfolioProblem::create(matrix(3, 1, {1.0, 0.5, -0.5}), FactorCovariance::diagonal({0.04}),
                                           c.specific, c.returns);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), PortfolioError::Kind::ProblemInvalid);
    EXPECT_EQ(result.error().message(), c.message);
  }
}

// ---------------------------------------------------------------------------
// Builders: one valid 4-asset fixture, one broken rule per case.

using Builder = std::function<PortfolioResult(PortfolioProblem)>;

struct BuilderCase {
  const char* name;
  Builder build;
  PortfolioError::Kind kind;
  std::string message;
};

TEST(PortfolioBuilders, ReportTheFirstBrokenRuleWithItsMessage) {
  using K = PortfolioError::Kind;
  const std::vector<double> ok4{0.1, 0.2, 0.3, 0.4};
  const std::string risk = "invalid portfolio parameter: risk_aversion must be finite and positive";
  const std::string budget = "invalid portfolio parameter: budget must be finite when provided";
  const std::string tau = "invalid portfolio parameter: turnover_penalty must be finite and non-negative";
  const std::string costs = "invalid portfolio parameter: l1 turnover costs must be non-negative";
  const std::vector<BuilderCase> cases{
      {"risk zero", [](PortfolioProblem p) { return std::move(p).with_risk_aversion(0.0); },
       K::InvalidParameter, risk},
      {"risk negative zero", [](PortfolioProblem p) { return std::move(p).with_risk_aversion(-0.0); },
       K::InvalidParameter, risk},
      {"risk negative", [](PortfolioProblem p) { return std::move(p).with_risk_aversion(-1.0); },
       K::InvalidParameter, risk},
      {"risk NaN", [](PortfolioProblem p) { return std::move(p).with_risk_aversion(kNaN); },
       K::InvalidParameter, risk},
      {"risk inf", [](PortfolioProblem p) { return std::move(p).with_risk_aversion(kInf); },
       K::InvalidParameter, risk},
      {"budget NaN", [](PortfolioProblem p) { return std::move(p).with_budget(kNaN); }, K::InvalidParameter,
       budget},
      {"budget -inf", [](PortfolioProblem p) { return std::move(p).with_budget(-kInf); }, K::InvalidParameter,
       budget},

      {"lower length",
       [&](PortfolioProblem p) {
         return std::move(p).with_bounds({0, 0, 0}, {kNaN});
       },
       K::ProblemInvalid, "lower_bounds has dimension 3; expected 4"},
      {"lower NaN before upper length",
       [&](PortfolioProblem p) {
         return std::move(p).with_bounds({0, kNaN, 0, 0}, {1});
       },
       K::ProblemInvalid, "lower_bounds contains a non-finite coefficient"},
      {"upper length",
       [&](PortfolioProblem p) {
         return std::move(p).with_bounds({0, 0, 0, 0}, {1, 1, 1, 1, 1});
       },
       K::ProblemInvalid, "upper_bounds has dimension 5; expected 4"},
      {"upper NaN before crossing",
       [&](PortfolioProblem p) {
         return std::move(p).with_bounds({2, 0, 0, 0}, {1, 1, 1, kNaN});
       },
       K::ProblemInvalid, "upper_bounds contains a non-finite coefficient"},
      {"crossing",
       [&](PortfolioProblem p) {
         return std::move(p).with_bounds({0, 2, 0, 5}, {1, 1, 1, 1});
       },
       K::ProblemInvalid, "invalid bounds at index 1: lower 2 exceeds upper 1"},
      {"crossing at infinity",
       [&](PortfolioProblem p) {
         return std::move(p).with_bounds({0, 0, kInf, 0}, {1, 1, 0.5, 1});
       },
       K::ProblemInvalid, "invalid bounds at index 2: lower inf exceeds upper 0.5"},

      {"equality width",
       [](PortfolioProblem p) {
         return std::move(p).with_equalities(matrix(1, 3, {kNaN, 1, 1}), {1, 2});
       },
       K::ProblemInvalid, "equalities has dimension 3; expected 4"},
      {"equality entry before rhs",
       [](PortfolioProblem p) {
         return std::move(p).with_equalities(matrix(1, 4, {1, kInf, 1, 1}), {kNaN, 2});
       },
       K::ProblemInvalid, "equalities contains a non-finite coefficient"},
      {"equality rhs finiteness before count",
       [](PortfolioProblem p) {
         return std::move(p).with_equalities(matrix(1, 4, {1, 1, 1, 1}), {1, kNaN});
       },
       K::ProblemInvalid, "equalities contains a non-finite coefficient"},
      {"equality rhs count",
       [](PortfolioProblem p) {
         return std::move(p).with_equalities(matrix(2, 4, {1, 1, 1, 1, 0, 1, 0, 1}), {1, 2, 3});
       },
       K::ProblemInvalid, "constraints.rhs has dimension 3; expected 2"},
      {"inequality width",
       [](PortfolioProblem p) {
         return std::move(p).with_inequalities(matrix(2, 5, std::vector<double>(10)), {1});
       },
       K::ProblemInvalid, "inequalities has dimension 5; expected 4"},
      {"inequality entry",
       [](PortfolioProblem p) {
         return std::move(p).with_inequalities(matrix(1, 4, {1, 1, 1, kNaN}), {1});
       },
       K::ProblemInvalid, "inequalities contains a non-finite coefficient"},
      {"inequality rhs",
       [](PortfolioProblem p) {
         return std::move(p).with_inequalities(matrix(1, 4, {1, 1, 1, 1}), {-kInf});
       },
       K::ProblemInvalid, "inequalities contains a non-finite coefficient"},
      {"inequality rhs count",
       [](PortfolioProblem p) {
         return std::move(p).with_inequalities(matrix(1, 4, {1, 1, 1, 1}), {});
       },
       K::ProblemInvalid, "constraints.rhs has dimension 0; expected 1"},

      {"previous length",
       [&](PortfolioProblem p) { return std::move(p).with_quadratic_turnover({0.1}, kNaN); },
       K::ProblemInvalid, "previous_weights has dimension 1; expected 4"},
      {"previous NaN before penalty",
       [&](PortfolioProblem p) {
         return std::move(p).with_quadratic_turnover({0, kNaN, 0, 0}, -1.0);
       },
       K::ProblemInvalid, "previous_weights contains a non-finite coefficient"},
      {"penalty NaN", [&](PortfolioProblem p) { return std::move(p).with_quadratic_turnover(ok4, kNaN); },
       K::InvalidParameter, tau},
      {"penalty tiny negative",
       [&](PortfolioProblem p) { return std::move(p).with_quadratic_turnover(ok4, -1e-300); },
       K::InvalidParameter, tau},
      {"penalty inf", [&](PortfolioProblem p) { return std::move(p).with_quadratic_turnover(ok4, kInf); },
       K::InvalidParameter, tau},

      {"l1 previous before costs",
       [&](PortfolioProblem p) {
         return std::move(p).with_l1_turnover({kInf, 0, 0, 0}, {-1});
       },
       K::ProblemInvalid, "previous_weights contains a non-finite coefficient"},
      {"l1 cost length",
       [&](PortfolioProblem p) {
         return std::move(p).with_l1_turnover(ok4, {0, 0, 0, 0, 0});
       },
       K::ProblemInvalid, "l1_turnover_costs has dimension 5; expected 4"},
      {"l1 cost finiteness before sign",
       [&](PortfolioProblem p) {
         return std::move(p).with_l1_turnover(ok4, {-1, kInf, 0, 0});
       },
       K::ProblemInvalid, "l1_turnover_costs contains a non-finite coefficient"},
      {"l1 negative cost",
       [&](PortfolioProblem p) {
         return std::move(p).with_l1_turnover(ok4, {0, 0, 0, -1e-9});
       },
       K::InvalidParameter, costs},

      {"benchmark length",
       [&](PortfolioProblem p) {
         return std::move(p).with_tracking_benchmark({0.5, 0.5});
       },
       K::ProblemInvalid, "benchmark_weights has dimension 2; expected 4"},
      {"benchmark NaN",
       [&](PortfolioProblem p) {
         return std::move(p).with_tracking_benchmark({0.5, 0.5, 0, kNaN});
       },
       K::ProblemInvalid, "benchmark_weights contains a non-finite coefficient"},
  };
  for (const BuilderCase& c : cases) {
    SCOPED_TRACE(c.name);
    PortfolioResult result = c.build(portfolio(4));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), c.kind);
    EXPECT_EQ(result.error().message(), c.message);
  }
}

TEST(PortfolioBuilders, AcceptBoundaryValuesAndStoreThem) {
  struct Case {
    const char* name;
    Builder build;
    std::function<bool(const PortfolioProblem&)> stored;
  };
  const double subnormal = std::numeric_limits<double>::denorm_min();
  const std::vector<Case> cases{
      {"subnormal risk aversion",
       [&](PortfolioProblem p) { return std::move(p).with_risk_aversion(subnormal); },
       [&](const PortfolioProblem& p) { return p.risk_aversion() == subnormal; }},
      {"budget removed", [](PortfolioProblem p) { return std::move(p).with_budget(std::nullopt); },
       [](const PortfolioProblem& p) { return !p.budget().has_value(); }},
      {"negative budget", [](PortfolioProblem p) { return std::move(p).with_budget(-2.5); },
       [](const PortfolioProblem& p) { return p.budget() == std::optional<double>(-2.5); }},
      {"infinite and pinned bounds",
       [](PortfolioProblem p) {
         return std::move(p).with_bounds({-kInf, 0.3, kInf, -1}, {kInf, 0.3, kInf, 2});
       },
       [](const PortfolioProblem& p) {
         return p.lower_bounds() == std::vector<double>{-kInf, 0.3, kInf, -1} &&
                p.upper_bounds() == std::vector<double>{kInf, 0.3, kInf, 2};
       }},
      {"negative-zero penalty",
       [](PortfolioProblem p) {
         return std::move(p).with_quadratic_turnover({0.25, 0.25, 0.25, 0.25}, -0.0);
       },
       [](const PortfolioProblem& p) {
         return p.turnover_penalty() == 0.0 && p.previous_weights() == std::vector<double>(4, 0.25);
       }},
      {"negative-zero cost",
       [](PortfolioProblem p) {
         return std::move(p).with_l1_turnover({0, 0, 0, 1}, {-0.0, 0, 0.5, 0});
       },
       [](const PortfolioProblem& p) {
         return p.l1_turnover_costs() == std::vector<double>{0, 0, 0.5, 0} &&
                p.previous_weights() == std::vector<double>{0, 0, 0, 1} && p.turnover_penalty() == 0.0;
       }},
      {"later anchor wins",
       [](PortfolioProblem p) {
         auto step = std::move(p).with_quadratic_turnover({0.1, 0.2, 0.3, 0.4}, 2.0);
         return std::move(*step).with_l1_turnover({0.4, 0.3, 0.2, 0.1}, {0.01, 0.01, 0.01, 0.01});
       },
       [](const PortfolioProblem& p) {
         return p.previous_weights() == std::vector<double>{0.4, 0.3, 0.2, 0.1} &&
                p.turnover_penalty() == 2.0;
       }},
      {"equalities replace earlier rows",
       [](PortfolioProblem p) {
         auto step = std::move(p).with_group_targets({0, 0, 1, 1}, {0.5, 0.5});
         return std::move(*step).with_equalities(matrix(1, 4, {1, -1, 0, 0}), {0.0});
       },
       [](const PortfolioProblem& p) {
         return p.equalities().rows() == 1 && p.equalities().matrix.row(0)[1] == -1.0 &&
                p.equalities().rhs == std::vector<double>{0.0};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PortfolioResult result = c.build(portfolio(4));
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_TRUE(c.stored(*result));
  }
}

// ---------------------------------------------------------------------------
// Lowering: structure of the QP

std::vector<double> negated(std::vector<double> v) {
  for (double& x : v) x = -x;
  return v;
}

TEST(PortfolioLowering, DefaultProblemIsTheCovarianceWithABudgetRow) {
  // Two assets, default everything: P = Σ, q = −μ, one row 1ᵀx = 1, box [0, 1].
  const PortfolioProblem problem = portfolio(2);
  auto qp = problem.to_qp();
  ASSERT_TRUE(qp.has_value()) << qp.error().message();
  EXPECT_EQ(qp->quadratic, problem.covariance());
  EXPECT_EQ(qp->linear, negated(problem.expected_returns()));
  EXPECT_EQ(qp->equalities.matrix, matrix(1, 2, {1.0, 1.0}));
  EXPECT_EQ(qp->equalities.rhs, std::vector<double>{1.0});
  EXPECT_EQ(qp->inequalities.matrix, matrix(0, 2, {}));
  EXPECT_EQ(qp->lower_bounds, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(qp->upper_bounds, (std::vector<double>{1.0, 1.0}));
  EXPECT_FALSE(qp->l1.has_value());
}

TEST(PortfolioLowering, WithoutBudgetTheEqualityBlockIsTheUsersOwn) {
  auto none = portfolio(3).with_budget(std::nullopt);
  ASSERT_TRUE(none.has_value());
  auto qp = none->to_qp();
  ASSERT_TRUE(qp.has_value());
  EXPECT_EQ(qp->equalities.matrix, matrix(0, 3, {}));
  EXPECT_TRUE(qp->equalities.rhs.empty());

  auto rows = std::move(*none).with_equalities(matrix(1, 3, {1, 0, -1}), {0.25});
  ASSERT_TRUE(rows.has_value());
  auto qp_rows = rows->to_qp();
  ASSERT_TRUE(qp_rows.has_value());
  EXPECT_EQ(qp_rows->equalities, rows->equalities());
}

TEST(PortfolioLowering, BudgetReachabilityIsTestedFirst) {
  struct Case {
    const char* name;
    std::size_t n;
    double budget;
    std::vector<double> lower;
    std::vector<double> upper;
    std::string message;  // empty: lowers
  };
  const std::vector<Case> cases{
      {"above the default box",
       1,
       2.0,
       {0},
       {1},
       "budget 2 is impossible under the box constraints: reachable sum is [0, 1]"},
      {"above capped sum",
       2,
       1.0,
       {0, 0},
       {0.25, 0.25},
       "budget 1 is impossible under the box constraints: reachable sum is [0, 0.5]"},
      {"below floors",
       2,
       0.5,
       {0.5, 0.5},
       {1, 1},
       "budget 0.5 is impossible under the box constraints: reachable sum is [1, 2]"},
      {"unbounded below never fails low", 2, -5.0, {-kInf, 0}, {1, 1}, ""},
      {"unbounded above never fails high", 2, 7.0, {0, 0}, {1, kInf}, ""},
      {"infinite sum reported",
       2,
       -5.0,
       {0, 0},
       {kInf, 1},
       "budget -5 is impossible under the box constraints: reachable sum is [0, inf]"},
      {"budget on the edge", 2, 0.5, {0, 0}, {0.25, 0.25}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto built = portfolio(c.n).with_budget(c.budget);
    ASSERT_TRUE(built.has_value());
    built = std::move(*built).with_bounds(c.lower, c.upper);
    ASSERT_TRUE(built.has_value());
    auto qp = built->to_qp();
    if (c.message.empty()) {
      ASSERT_TRUE(qp.has_value()) << qp.error().message();
      EXPECT_EQ(qp->equalities.rhs.front(), c.budget);
    } else {
      ASSERT_FALSE(qp.has_value());
      EXPECT_EQ(qp.error().kind(), PortfolioError::Kind::BudgetInfeasible);
      EXPECT_EQ(qp.error().message(), c.message);
    }
  }
}

TEST(PortfolioLowering, PenaltyWithoutAnchorShiftsOnlyTheDiagonal) {
  auto problem = portfolio(3).with_quadratic_turnover({0, 0, 0}, 0.5);
  ASSERT_TRUE(problem.has_value());
  auto qp = problem->to_qp();
  ASSERT_TRUE(qp.has_value());
  // Previous weights of zero leave q = −μ; the anchor is what feeds q.
  EXPECT_EQ(qp->linear, negated(problem->expected_returns()));
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(qp->quadratic.diagonal[i], problem->covariance().diagonal[i] + 0.5);
  EXPECT_EQ(qp->quadratic.omega, problem->covariance().omega);
  EXPECT_FALSE(qp->l1.has_value());
}

TEST(PortfolioLowering, BenchmarkChangesOnlyTheLinearTerm) {
  auto plain = portfolio(3).with_risk_aversion(2.0);
  ASSERT_TRUE(plain.has_value());
  auto tracked = PortfolioProblem(*plain).with_tracking_benchmark({0.5, 0.3, 0.2});
  ASSERT_TRUE(tracked.has_value());
  auto qp_plain = plain->to_qp();
  auto qp_tracked = tracked->to_qp();
  ASSERT_TRUE(qp_plain.has_value() && qp_tracked.has_value());
  EXPECT_EQ(qp_plain->quadratic, qp_tracked->quadratic);
  const std::vector<double> sigma_b = plain->covariance().apply(std::vector<double>{0.5, 0.3, 0.2});
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_DOUBLE_EQ(qp_tracked->linear[i], qp_plain->linear[i] - 2.0 * sigma_b[i]);
  }
}

// ---------------------------------------------------------------------------
// Lowering checked against dense algebra on random problems with every feature.

using dense::DenseMatrix;

// Σ formed densely by the shared reference code.
DenseMatrix dense_covariance(const FactorQuad& form) {
  QpProblem holder;
  holder.quadratic = form;
  return dense::dense_quadratic(holder);
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
  return std::inner_product(a.begin(), a.end(), b.begin(), 0.0);
}

// ½λ(x − b)ᵀΣ(x − b) − μᵀx + ½τ‖x − x⁰‖² + Σ cᵢ|xᵢ − x⁰ᵢ|, formed densely.
double portfolio_objective(const PortfolioProblem& p, const DenseMatrix& sigma,
                           const std::vector<double>& x) {
  const std::size_t n = x.size();
  std::vector<double> active(x);
  if (p.benchmark_weights()) {
    for (std::size_t i = 0; i < n; ++i) active[i] -= (*p.benchmark_weights())[i];
  }
  double value =
      0.5 * p.risk_aversion() * dot(active, dense::dense_apply(sigma, active)) - dot(p.expected_returns(), x);
  std::vector<double> anchor = p.previous_weights().value_or(std::vector<double>(n, 0.0));
  for (std::size_t i = 0; i < n; ++i)
    value += 0.5 * p.turnover_penalty() * (x[i] - anchor[i]) * (x[i] - anchor[i]);
  if (p.l1_turnover_costs() && p.previous_weights()) {
    for (std::size_t i = 0; i < n; ++i) value += (*p.l1_turnover_costs())[i] * std::abs(x[i] - anchor[i]);
  }
  return value;
}

PortfolioProblem random_portfolio(std::uint64_t seed, bool dense_omega) {
  dense::Random rng(seed);
  const std::size_t n = 6 + rng.below(6);
  const std::size_t k = 1 + rng.below(3);
  std::vector<double> factors(n * k);
  for (double& f : factors) f = rng.uniform(-1.0, 1.0);
  FactorCovariance omega;
  if (dense_omega) {
    // Ω = B·Bᵀ + 0.05·I, symmetric by construction.
    std::vector<double> b(k * k);
    for (double& v : b) v = rng.uniform(-0.3, 0.3);
    std::vector<double> o(k * k);
    for (std::size_t r = 0; r < k; ++r) {
      for (std::size_t c = 0; c < k; ++c) {
        double v = r == c ? 0.05 : 0.0;
        for (std::size_t t = 0; t < k; ++t) v += b[r * k + t] * b[c * k + t];
        o[r * k + c] = v;
      }
    }
    omega = FactorCovariance::dense(matrix(k, k, o));
  } else {
    std::vector<double> w(k);
    for (double& v : w) v = rng.uniform(0.01, 0.1);
    omega = FactorCovariance::diagonal(w);
  }
  std::vector<double> specific(n), returns(n), previous(n), costs(n), benchmark(n), lower(n), upper(n);
  for (std::size_t i = 0; i < n; ++i) {
    specific[i] = rng.uniform(0.0, 0.05);
    returns[i] = rng.uniform(-0.1, 0.2);
    previous[i] = rng.uniform(0.0, 0.3);
    costs[i] = rng.uniform(0.0, 0.02);
    benchmark[i] = 1.0 / static_cast<double>(n);
    lower[i] = rng.chance(0.3) ? -kInf : -0.2;
    upper[i] = rng.chance(0.3) ? kInf : 0.6;
  }
  std::vector<double> eq(2 * n), in(3 * n);
  for (double& v : eq) v = rng.uniform(-1.0, 1.0);
  for (double& v : in) v = rng.uniform(-1.0, 1.0);

  auto p = PortfolioProblem::create(matrix(n, k, factors), omega, specific, returns);
  p = std::move(*p).with_risk_aversion(rng.uniform(0.5, 4.0));
  p = std::move(*p).with_budget(1.0);
  p = std::move(*p).with_bounds(lower, upper);
  p = std::move(*p).with_equalities(matrix(2, n, eq), {0.1, -0.2});
  p = std::move(*p).with_inequalities(matrix(3, n, in), {0.5, 0.4, 0.3});
  p = std::move(*p).with_quadratic_turnover(previous, rng.uniform(0.1, 1.0));
  p = std::move(*p).with_l1_turnover(previous, costs);
  p = std::move(*p).with_tracking_benchmark(benchmark);
  EXPECT_TRUE(p.has_value()) << p.error().message();
  return std::move(*p);
}

TEST(PortfolioLowering, MatchesDenseAlgebraOnRandomProblems) {
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    for (const bool dense_omega : {false, true}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + (dense_omega ? " dense" : " diagonal"));
      const PortfolioProblem p = random_portfolio(seed, dense_omega);
      const std::size_t n = p.dimension();
      auto qp = p.to_qp();
      ASSERT_TRUE(qp.has_value()) << qp.error().message();

      const DenseMatrix sigma = dense_covariance(p.covariance());
      const double lambda = p.risk_aversion();
      const double tau = p.turnover_penalty();
      dense::Random rng(seed * 977);
      std::vector<double> x(n);
      for (double& v : x) v = rng.uniform(-1.0, 1.0);

      // P·x = (λΣ + τI)·x.
      const std::vector<double> px = qp->quadratic.apply(x);
      const std::vector<double> sigma_x = dense::dense_apply(sigma, x);
      for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(px[i], lambda * sigma_x[i] + tau * x[i], 1e-12);

      // q = −μ − τx⁰ − λΣb.
      const std::vector<double> sigma_b = dense::dense_apply(sigma, *p.benchmark_weights());
      for (std::size_t i = 0; i < n; ++i) {
        const double expected =
            -p.expected_returns()[i] - tau * (*p.previous_weights())[i] - lambda * sigma_b[i];
        EXPECT_NEAR(qp->linear[i], expected, 1e-12);
      }

      // Budget row first, then the user's rows; the rest copied.
      ASSERT_EQ(qp->equalities.rows(), 3u);
      for (std::size_t j = 0; j < n; ++j) {
        EXPECT_EQ(qp->equalities.matrix(0, j), 1.0);
        EXPECT_EQ(qp->equalities.matrix(1, j), p.equalities().matrix(0, j));
        EXPECT_EQ(qp->equalities.matrix(2, j), p.equalities().matrix(1, j));
      }
      EXPECT_EQ(qp->equalities.rhs, (std::vector<double>{1.0, 0.1, -0.2}));
      EXPECT_EQ(qp->inequalities, p.inequalities());
      EXPECT_EQ(qp->lower_bounds, p.lower_bounds());
      EXPECT_EQ(qp->upper_bounds, p.upper_bounds());
      ASSERT_TRUE(qp->l1.has_value());
      EXPECT_EQ(qp->l1->costs, *p.l1_turnover_costs());
      EXPECT_EQ(qp->l1->anchor, *p.previous_weights());

      // The two objectives differ by the dropped constant ½λbᵀΣb + ½τ‖x⁰‖²,
      // the same at any two points.
      std::vector<double> other(n);
      for (double& v : other) v = rng.uniform(-1.0, 1.0);
      const double gap_x = portfolio_objective(p, sigma, x) - qp->objective(x);
      const double gap_other = portfolio_objective(p, sigma, other) - qp->objective(other);
      const double constant = 0.5 * lambda * dot(*p.benchmark_weights(), sigma_b) +
                              0.5 * tau * dot(*p.previous_weights(), *p.previous_weights());
      EXPECT_NEAR(gap_x, gap_other, 1e-12);
      EXPECT_NEAR(gap_x, constant, 1e-12);
    }
  }
}

// ---------------------------------------------------------------------------
// Solving

// Tight tolerances so that the dense KKT check below has something to prove.
SolverSettings tight_settings() {
  SolverSettings settings;
  settings.absolute_tolerance = 1e-9;
  settings.relative_tolerance = 1e-9;
  settings.max_iterations = 200000;
  return settings;
}

constexpr double kKktTolerance = 1e-6;
constexpr double kFeasibilityTolerance = 1e-6;

void expect_kkt_point(const PortfolioProblem& problem, const Solution& solution) {
  auto qp = problem.to_qp();
  ASSERT_TRUE(qp.has_value());
  ASSERT_EQ(solution.status, SolveStatus::Solved);
  const dense::KktReport report = dense::dense_kkt(*qp, solution.x, solution.dual);
  EXPECT_LE(report.relative_stationarity(), kKktTolerance);
  EXPECT_LE(report.relative_primal(), kKktTolerance);
  EXPECT_LE(report.relative_sign(), kKktTolerance);
  EXPECT_LE(report.relative_complementarity(), kKktTolerance);
  EXPECT_NEAR(solution.objective, qp->objective(solution.x),
              1e-12 * std::max(1.0, std::abs(solution.objective)));
}

double sum(const std::vector<double>& v) {
  return std::accumulate(v.begin(), v.end(), 0.0);
}

TEST(PortfolioSolve, TwoAssetsByHand) {
  // Σ = I (no factors), μ = (0.5, 0), budget 1: stationarity x₁ − 0.5 + y = 0,
  // x₂ + y = 0 with x₁ + x₂ = 1 gives x = (0.75, 0.25), objective −0.0625.
  auto p = PortfolioProblem::create(matrix(2, 0, {}), FactorCovariance::diagonal({}), {1.0, 1.0}, {0.5, 0.0});
  ASSERT_TRUE(p.has_value());
  auto solution = solve_mean_variance_factor(*p, tight_settings());
  ASSERT_TRUE(solution.has_value()) << solution.error().message();
  ASSERT_EQ(solution->status, SolveStatus::Solved);
  EXPECT_NEAR(solution->x[0], 0.75, 1e-7);
  EXPECT_NEAR(solution->x[1], 0.25, 1e-7);
  EXPECT_NEAR(solution->objective, -0.0625, 1e-7);
  ASSERT_EQ(solution->dual.equalities.size(), 1u);
  EXPECT_NEAR(solution->dual.equalities[0], -0.25, 1e-6);
}

// Twelve assets, three factors, a spread of returns with some negatives.
PortfolioProblem base_portfolio(std::uint64_t seed) {
  dense::Random rng(seed);
  const std::size_t n = 12;
  const std::size_t k = 3;
  std::vector<double> factors(n * k);
  for (double& f : factors) f = rng.uniform(-1.0, 1.0);
  std::vector<double> specific(n), returns(n);
  for (std::size_t i = 0; i < n; ++i) {
    specific[i] = rng.uniform(0.01, 0.05);
    returns[i] = rng.uniform(-0.05, 0.15);
  }
  auto p = PortfolioProblem::create(matrix(n, k, factors), FactorCovariance::diagonal({0.04, 0.02, 0.01}),
                                    specific, returns);
  EXPECT_TRUE(p.has_value());
  return std::move(*p);
}

TEST(PortfolioSolve, EndToEndPortfoliosSatisfyTheirKktConditions) {
  struct Case {
    const char* name;
    std::function<PortfolioResult(PortfolioProblem)> build;
    std::function<void(const PortfolioProblem&, const std::vector<double>&)> check;
  };
  const std::size_t n = 12;
  std::vector<std::uint64_t> industries(n);
  for (std::size_t i = 0; i < n; ++i) industries[i] = i % 3;
  std::vector<double> styles(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    styles[i] = static_cast<double>(i) / static_cast<double>(n) - 0.5;
    styles[n + i] = (i % 2 == 0) ? 1.0 : -1.0;
  }
  const std::vector<double> benchmark(n, 1.0 / static_cast<double>(n));
  std::vector<double> previous(n, 0.0);
  previous[0] = 0.5;
  previous[5] = 0.3;
  previous[9] = 0.2;

  const std::vector<Case> cases{
      {"long-only", [](PortfolioProblem p) { return std::move(p).with_risk_aversion(3.0); },
       [](const PortfolioProblem&, const std::vector<double>& x) {
         EXPECT_NEAR(sum(x), 1.0, kFeasibilityTolerance);
         for (double v : x) EXPECT_GE(v, -kFeasibilityTolerance);
       }},
      {"long-short with a short limit",
       [](PortfolioProblem p) {
         auto r = std::move(p).with_risk_aversion(2.0);
         r = std::move(*r).with_bounds(std::vector<double>(12, -kInf), std::vector<double>(12, kInf));
         r = std::move(*r).with_concentration_limit(0.4);
         return std::move(*r).with_short_limit(0.05);
       },
       [](const PortfolioProblem&, const std::vector<double>& x) {
         EXPECT_NEAR(sum(x), 1.0, kFeasibilityTolerance);
         double smallest = kInf;
         for (double v : x) {
           EXPECT_GE(v, -0.05 - kFeasibilityTolerance);
           EXPECT_LE(v, 0.4 + kFeasibilityTolerance);
           smallest = std::min(smallest, v);
         }
         EXPECT_NEAR(smallest, -0.05, 1e-6);  // negative returns make the short limit bind
       }},
      {"benchmark-relative with industry neutrality and style bands",
       [&](PortfolioProblem p) {
         auto r = std::move(p).with_risk_aversion(5.0);
         r = std::move(*r).with_bounds(std::vector<double>(n, 0.0), std::vector<double>(n, 0.3));
         r = std::move(*r).with_tracking_benchmark(benchmark);
         r = std::move(*r).with_industry_neutrality(industries);
         return std::move(*r).with_style_bounds(matrix(2, n, styles), {-0.05, -kInf}, {0.05, 0.1});
       },
       [&](const PortfolioProblem&, const std::vector<double>& x) {
         EXPECT_NEAR(sum(x), 1.0, kFeasibilityTolerance);
         for (std::uint64_t g = 0; g < 3; ++g) {
           double weight = 0.0;
           for (std::size_t i = 0; i < n; ++i) weight += industries[i] == g ? x[i] : 0.0;
           EXPECT_NEAR(weight, 4.0 / 12.0, kFeasibilityTolerance);
         }
         double first_style = 0.0, second_style = 0.0;
         for (std::size_t i = 0; i < n; ++i) {
           first_style += styles[i] * x[i];
           second_style += styles[n + i] * x[i];
         }
         EXPECT_LE(std::abs(first_style), 0.05 + kFeasibilityTolerance);
         EXPECT_LE(second_style, 0.1 + kFeasibilityTolerance);
       }},
      {"turnover with L1 costs",
       [&](PortfolioProblem p) {
         auto r = std::move(p).with_risk_aversion(2.0);
         r = std::move(*r).with_quadratic_turnover(previous, 0.2);
         return std::move(*r).with_l1_turnover(previous, std::vector<double>(n, 0.01));
       },
       [&](const PortfolioProblem&, const std::vector<double>& x) {
         EXPECT_NEAR(sum(x), 1.0, kFeasibilityTolerance);
         for (double v : x) EXPECT_GE(v, -kFeasibilityTolerance);
       }},
  };
  for (const Case& c : cases) {
    for (const std::uint64_t seed : {3u, 11u}) {
      SCOPED_TRACE(std::string(c.name) + " seed " + std::to_string(seed));
      auto p = c.build(base_portfolio(seed));
      ASSERT_TRUE(p.has_value()) << p.error().message();
      auto solution = solve_mean_variance_factor(*p, tight_settings());
      ASSERT_TRUE(solution.has_value()) << solution.error().message();
      expect_kkt_point(*p, *solution);
      c.check(*p, solution->x);
    }
  }
}

TEST(PortfolioSolve, ErrorsAreReportedInOrder) {
  struct Case {
    const char* name;
    std::function<std::expected<Solution, PortfolioError>()> run;
    PortfolioError::Kind kind;
    std::string message;
  };
  SolverSettings no_iterations;
  no_iterations.max_iterations = 0;
  const std::vector<Case> cases{
      {"settings", [&] { return portfolio(4).solve_with(no_iterations, std::nullopt); },
       PortfolioError::Kind::SolverFailed, "invalid solver setting: max_iterations must be positive"},
      {"lowering before settings",
       [&] {
         auto p = portfolio(4).with_budget(9.0);
         return p->solve_with(no_iterations, std::nullopt);
       },
       PortfolioError::Kind::BudgetInfeasible,
       "budget 9 is impossible under the box constraints: reachable sum is [0, 4]"},
      {"warm start",
       [&] {
         WarmStart short_start;
         short_start.x = {0.5, 0.5, 0.0};
         return portfolio(4).solve_with(SolverSettings{}, short_start);
       },
       PortfolioError::Kind::SolverFailed, "warm-start x has length 3; expected 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = c.run();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), c.kind);
    EXPECT_EQ(result.error().message(), c.message);
  }
}

TEST(PortfolioSolve, WarmStartFromTheSolutionConvergesAtOnce) {
  const PortfolioProblem p = base_portfolio(7);
  auto cold = solve_mean_variance_factor(p, tight_settings());
  ASSERT_TRUE(cold.has_value());
  ASSERT_EQ(cold->status, SolveStatus::Solved);
  auto warm = solve_mean_variance_factor(p, tight_settings(), cold->warm_start());
  ASSERT_TRUE(warm.has_value());
  ASSERT_EQ(warm->status, SolveStatus::Solved);
  EXPECT_LT(warm->iterations, cold->iterations);
  for (std::size_t i = 0; i < p.dimension(); ++i) EXPECT_NEAR(warm->x[i], cold->x[i], 1e-6);
}

}  // namespace
}  // namespace morva
