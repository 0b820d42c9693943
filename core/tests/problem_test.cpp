#include "morva/problem.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/dense.hpp"

namespace morva {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using dense::matrix;

// A valid 4-asset QP with one factor, one equality row, two inequality rows,
// a finite box and an L1 term. Every validation case breaks exactly one rule
// (or two, to pin down which rule comes first).
QpProblem valid_qp() {
  QpProblem qp;
  qp.quadratic = {
      matrix(4, 1, {1.0, 0.5, -0.5, 2.0}), FactorCovariance::diagonal({0.04}), {0.1, 0.2, 0.3, 0.4}};
  qp.linear = {-0.1, -0.2, 0.0, 0.05};
  qp.equalities = {matrix(1, 4, {1, 1, 1, 1}), {1.0}};
  qp.inequalities = {matrix(2, 4, {1, 0, 0, 0, 0, 1, 1, 0}), {0.5, 0.7}};
  qp.lower_bounds = {0, 0, 0, -kInf};
  qp.upper_bounds = {1, 1, 1, kInf};
  qp.l1 = L1Term{{0.01, 0.01, 0.0, 0.02}, {0.25, 0.25, 0.25, 0.25}};
  return qp;
}

struct Case {
  std::string label;
  std::function<void(QpProblem&)> mutate;
  std::string message;
};

void expect_errors(ProblemError::Kind kind, const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    QpProblem qp = valid_qp();
    c.mutate(qp);
    const auto result = qp.validate();
    ASSERT_FALSE(result.has_value()) << c.label;
    EXPECT_EQ(result.error().kind, kind) << c.label;
    EXPECT_EQ(result.error().message(), c.message) << c.label;
  }
}

TEST(QpValidate, AcceptsValidProblems) {
  const std::vector<std::pair<std::string, std::function<void(QpProblem&)>>> cases = {
      {"fixture", [](QpProblem&) {}},
      {"unconstrained, infinite box, no L1",
       [](QpProblem& qp) {
         qp.equalities = LinearConstraints::empty(4);
         qp.inequalities = LinearConstraints::empty(4);
         qp.lower_bounds.assign(4, -kInf);
         qp.upper_bounds.assign(4, kInf);
         qp.l1.reset();
       }},
      {"both sides +inf", [](QpProblem& qp) { qp.lower_bounds[3] = kInf; }},
      {"both sides -inf", [](QpProblem& qp) { qp.upper_bounds[3] = -kInf; }},
      {"pinned variable", [](QpProblem& qp) { qp.lower_bounds[1] = qp.upper_bounds[1] = 0.3; }},
      {"negative zero cost", [](QpProblem& qp) { qp.l1->costs[0] = -0.0; }},
      {"zero lower under negative zero upper", [](QpProblem& qp) { qp.upper_bounds[0] = -0.0; }},
      {"distant anchor", [](QpProblem& qp) { qp.l1->anchor[0] = 1e300; }},
  };
  for (const auto& [label, mutate] : cases) {
    QpProblem qp = valid_qp();
    mutate(qp);
    const auto result = qp.validate();
    EXPECT_TRUE(result.has_value()) << label << ": " << (result ? "" : result.error().message());
  }
}

TEST(QpValidate, DimensionMismatch) {
  expect_errors(
      ProblemError::Kind::DimensionMismatch,
      {
          {"quadratic first",
           [](QpProblem& qp) {
             qp.quadratic.diagonal.pop_back();
             qp.linear.pop_back();
           },
           "quadratic.diagonal has dimension 3; expected 4"},
          {"linear", [](QpProblem& qp) { qp.linear.pop_back(); }, "linear has dimension 3; expected 4"},
          {"linear before lower",
           [](QpProblem& qp) {
             qp.linear.push_back(0);
             qp.lower_bounds.pop_back();
           },
           "linear has dimension 5; expected 4"},
          {"lower", [](QpProblem& qp) { qp.lower_bounds.push_back(0); },
           "lower_bounds has dimension 5; expected 4"},
          {"lower before upper",
           [](QpProblem& qp) {
             qp.lower_bounds.pop_back();
             qp.upper_bounds.pop_back();
           },
           "lower_bounds has dimension 3; expected 4"},
          {"upper", [](QpProblem& qp) { qp.upper_bounds.clear(); },
           "upper_bounds has dimension 0; expected 4"},
          {"upper before equalities",
           [](QpProblem& qp) {
             qp.upper_bounds.clear();
             qp.equalities.rhs.clear();
           },
           "upper_bounds has dimension 0; expected 4"},
          {"equality columns before their NaN",
           [](QpProblem& qp) {
             qp.equalities.matrix = matrix(1, 3, {kNaN, 1, 1});
           },
           "equalities has dimension 3; expected 4"},
          {"equality rhs length",
           [](QpProblem& qp) {
             qp.equalities = {matrix(2, 4, std::vector<double>(8, 1.0)), {1, 2, 3}};
           },
           "equalities has dimension 3; expected 2"},
          {"equality columns before rhs",
           [](QpProblem& qp) {
             qp.equalities = {matrix(2, 3, std::vector<double>(6)), {1}};
           },
           "equalities has dimension 3; expected 4"},
          {"inequality columns",
           [](QpProblem& qp) { qp.inequalities.matrix = matrix(2, 5, std::vector<double>(10)); },
           "inequalities has dimension 5; expected 4"},
          {"inequality rhs length", [](QpProblem& qp) { qp.inequalities.rhs.push_back(1.0); },
           "inequalities has dimension 3; expected 2"},
          {"inequality shape after equality shape",
           [](QpProblem& qp) {
             qp.equalities.rhs.clear();
             qp.inequalities.rhs.clear();
           },
           "equalities has dimension 0; expected 1"},
          {"costs", [](QpProblem& qp) { qp.l1->costs.pop_back(); }, "l1.costs has dimension 3; expected 4"},
          {"costs before anchor",
           [](QpProblem& qp) {
             qp.l1->costs.pop_back();
             qp.l1->anchor.pop_back();
           },
           "l1.costs has dimension 3; expected 4"},
          {"anchor", [](QpProblem& qp) { qp.l1->anchor.push_back(0); },
           "l1.anchor has dimension 5; expected 4"},
          {"anchor length before negative cost",
           [](QpProblem& qp) {
             qp.l1->anchor.pop_back();
             qp.l1->costs[0] = -1;
           },
           "l1.anchor has dimension 3; expected 4"},
      });
}

TEST(QpValidate, NonFinite) {
  expect_errors(
      ProblemError::Kind::NonFinite,
      {
          {"equality entry", [](QpProblem& qp) { qp.equalities.matrix(0, 2) = kNaN; },
           "equalities contains a non-finite coefficient"},
          {"equality rhs", [](QpProblem& qp) { qp.equalities.rhs[0] = kInf; },
           "equalities contains a non-finite coefficient"},
          {"equality entry before inequality shape",
           [](QpProblem& qp) {
             qp.equalities.matrix(0, 0) = kInf;
             qp.inequalities.rhs.clear();
           },
           "equalities contains a non-finite coefficient"},
          {"inequality entry", [](QpProblem& qp) { qp.inequalities.matrix(1, 3) = -kInf; },
           "inequalities contains a non-finite coefficient"},
          {"inequality rhs", [](QpProblem& qp) { qp.inequalities.rhs[1] = kNaN; },
           "inequalities contains a non-finite coefficient"},
          {"infinite inequality rhs is not a free row", [](QpProblem& qp) { qp.inequalities.rhs[0] = kInf; },
           "inequalities contains a non-finite coefficient"},
          {"inequalities before linear",
           [](QpProblem& qp) {
             qp.inequalities.rhs[1] = kNaN;
             qp.linear[0] = kNaN;
           },
           "inequalities contains a non-finite coefficient"},
          {"linear", [](QpProblem& qp) { qp.linear[3] = kInf; }, "linear contains a non-finite coefficient"},
          {"linear before L1",
           [](QpProblem& qp) {
             qp.linear[3] = kNaN;
             qp.l1->costs.clear();
           },
           "linear contains a non-finite coefficient"},
          {"anchor", [](QpProblem& qp) { qp.l1->anchor[2] = kInf; },
           "l1.anchor contains a non-finite coefficient"},
          {"anchor before bounds",
           [](QpProblem& qp) {
             qp.l1->anchor[2] = kNaN;
             qp.lower_bounds[0] = 2.0;
           },
           "l1.anchor contains a non-finite coefficient"},
          {"NaN lower", [](QpProblem& qp) { qp.lower_bounds[1] = kNaN; },
           "bounds contains a non-finite coefficient"},
          {"NaN upper", [](QpProblem& qp) { qp.upper_bounds[3] = kNaN; },
           "bounds contains a non-finite coefficient"},
          {"NaN at an earlier index than a crossing",
           [](QpProblem& qp) {
             qp.upper_bounds[0] = kNaN;
             qp.lower_bounds[2] = 5.0;
           },
           "bounds contains a non-finite coefficient"},
      });
}

TEST(QpValidate, NonConvex) {
  const std::string message = "non-convex quadratic data: l1 costs must be finite and non-negative";
  expect_errors(ProblemError::Kind::NonConvex,
                {
                    {"negative cost", [](QpProblem& qp) { qp.l1->costs[1] = -1e-9; }, message},
                    {"infinite cost", [](QpProblem& qp) { qp.l1->costs[3] = kInf; }, message},
                    {"NaN cost", [](QpProblem& qp) { qp.l1->costs[0] = kNaN; }, message},
                    {"cost before anchor",
                     [](QpProblem& qp) {
                       qp.l1->costs[3] = -1;
                       qp.l1->anchor[0] = kNaN;
                     },
                     message},
                    {"quadratic diagonal first",
                     [](QpProblem& qp) {
                       qp.quadratic.diagonal[0] = -1;
                       qp.linear.clear();
                     },
                     "non-convex quadratic data: quadratic diagonal must be finite and non-negative"},
                });
}

TEST(QpValidate, InvalidBounds) {
  expect_errors(ProblemError::Kind::InvalidBounds,
                {
                    {"crossing at 2",
                     [](QpProblem& qp) {
                       qp.lower_bounds[2] = 0.5;
                       qp.upper_bounds[2] = 0.25;
                     },
                     "invalid bounds at index 2: lower 0.5 exceeds upper 0.25"},
                    {"crossing at 0",
                     [](QpProblem& qp) {
                       qp.lower_bounds[0] = 1;
                       qp.upper_bounds[0] = 0;
                     },
                     "invalid bounds at index 0: lower 1 exceeds upper 0"},
                    {"infinite lower",
                     [](QpProblem& qp) {
                       qp.lower_bounds[3] = kInf;
                       qp.upper_bounds[3] = 1;
                     },
                     "invalid bounds at index 3: lower inf exceeds upper 1"},
                    {"tiny crossing",
                     [](QpProblem& qp) {
                       qp.lower_bounds[1] = 1e-7;
                       qp.upper_bounds[1] = -1e-7;
                     },
                     "invalid bounds at index 1: lower 0.0000001 exceeds upper -0.0000001"},
                    {"crossing before a later NaN",
                     [](QpProblem& qp) {
                       qp.lower_bounds[1] = 2;
                       qp.lower_bounds[3] = kNaN;
                     },
                     "invalid bounds at index 1: lower 2 exceeds upper 1"},
                });
}

TEST(QpValidate, QuadraticFormErrorsComeFirst) {
  expect_errors(ProblemError::Kind::NonFinite, {{"factor NaN with broken linear",
                                                 [](QpProblem& qp) {
                                                   qp.quadratic.written_factors()(1, 0) = kNaN;
                                                   qp.linear.clear();
                                                 },
                                                 "quadratic.factors contains a non-finite coefficient"}});
}

TEST(L1TermValidate, ChecksAgainstGivenDimension) {
  const L1Term term{{0.1, 0.2}, {0.0, 1.0}};
  EXPECT_TRUE(term.validate(2).has_value());
  ASSERT_FALSE(term.validate(3).has_value());
  EXPECT_EQ(term.validate(3).error().message(), "l1.costs has dimension 2; expected 3");
}

// ---------------------------------------------------------------- objective

TEST(QpObjective, HandWorkedValue) {
  // F = [1; 2], Ω = diag(3), d = (1, 2): P = [4 6; 6 14].
  // x = (1, −1): Px = (−2, −8), ½xᵀPx = ½·6 = 3.
  // q = (0.5, 0.25): qᵀx = 0.25.  c = (0.1, 0.2), a = (0, 0.5): Σ c|x − a| = 0.1 + 0.3.
  QpProblem qp;
  qp.quadratic = {matrix(2, 1, {1, 2}), FactorCovariance::diagonal({3}), {1, 2}};
  qp.linear = {0.5, 0.25};
  qp.equalities = LinearConstraints::empty(2);
  qp.inequalities = LinearConstraints::empty(2);
  qp.lower_bounds = {-kInf, -kInf};
  qp.upper_bounds = {kInf, kInf};
  const std::vector<double> x = {1, -1};
  EXPECT_EQ(qp.objective(x), 3.25);
  qp.l1 = L1Term{{0.1, 0.2}, {0.0, 0.5}};
  EXPECT_NEAR(qp.objective(x), 3.65, 1e-15);
}

TEST(QpObjective, AtAnchorWithoutLinearTermIsHalfQuadraticForm) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> normal(0.0, 1.0);
  QpProblem qp = valid_qp();
  qp.linear.assign(4, 0.0);
  std::vector<double> x(4);
  for (auto& v : x) v = normal(rng);
  qp.l1->anchor = x;
  qp.l1->costs = {5, 5, 5, 5};
  const auto px = qp.quadratic.apply(x);
  double dot = 0.0;
  for (std::size_t i = 0; i < 4; ++i) dot += x[i] * px[i];
  EXPECT_EQ(qp.objective(x), 0.5 * dot);
  // Moving off the anchor by h adds exactly Σ c·|h| to the L1 part.
  std::vector<double> y = x;
  y[2] += 0.5;
  const auto py = qp.quadratic.apply(y);
  double dot_y = 0.0;
  for (std::size_t i = 0; i < 4; ++i) dot_y += y[i] * py[i];
  EXPECT_NEAR(qp.objective(y), 0.5 * dot_y + 2.5, 1e-12);
}

TEST(QpObjective, QuadraticPartIsHomogeneousOfDegreeTwo) {
  // f(t·x) = t²·½xᵀPx + t·qᵀx with no L1 term; checked at t = 2 and t = -3.
  QpProblem qp = valid_qp();
  qp.l1.reset();
  const std::vector<double> x = {0.3, -0.2, 0.7, 0.1};
  QpProblem quad_only = qp;
  quad_only.linear.assign(4, 0.0);
  const double quad = quad_only.objective(x);
  double lin = 0.0;
  for (std::size_t i = 0; i < 4; ++i) lin += qp.linear[i] * x[i];
  EXPECT_GT(quad, 0.0);
  for (double t : {2.0, -3.0}) {
    std::vector<double> tx = x;
    for (auto& v : tx) v *= t;
    EXPECT_NEAR(qp.objective(tx), t * t * quad + t * lin, 1e-14);
  }
}

// The projection onto the box within a leverage limit against a bisection on
// θ to the last bit: the same point, inside the box and the limit, and θ = 0
// exactly when the clipped point already fits.
struct LeverageCase {
  const char* name;
  std::vector<double> v, lower, upper, weights;
  double limit;
};

class LeverageProjection : public testing::TestWithParam<LeverageCase> {};

TEST_P(LeverageProjection, MatchesABisection) {
  const LeverageCase& c = GetParam();
  const GrossLeverage leverage{c.limit, c.weights};
  const auto point = [&](double t) {
    std::vector<double> z(c.v.size());
    for (std::size_t i = 0; i < z.size(); ++i) {
      const double shrink = t * leverage.weight(i);
      const double soft = c.v[i] > shrink ? c.v[i] - shrink : (c.v[i] < -shrink ? c.v[i] + shrink : 0.0);
      z[i] = std::clamp(soft, c.lower[i], c.upper[i]);
    }
    return z;
  };
  double low = 0.0, high = 1e3;
  for (int step = 0; step < 200; ++step)
    (leverage.gross(point(0.5 * (low + high))) > c.limit ? low : high) = 0.5 * (low + high);
  std::vector<double> z(c.v.size());
  const double theta = project_box_and_leverage(c.v, c.lower, c.upper, leverage, 0.3, z);
  const std::vector<double> expected = point(leverage.gross(point(0.0)) <= c.limit ? 0.0 : high);
  for (std::size_t i = 0; i < z.size(); ++i) {
    EXPECT_NEAR(z[i], expected[i], 1e-12) << i;
    EXPECT_GE(z[i], c.lower[i]);
    EXPECT_LE(z[i], c.upper[i]);
  }
  if (leverage.gross(point(0.0)) <= c.limit) EXPECT_EQ(theta, 0.0);
  if (leverage.gross(expected) <= c.limit + 1e-9) EXPECT_LE(leverage.gross(z), c.limit * (1 + 1e-15));
}

INSTANTIATE_TEST_SUITE_P(
    GrossLeverage, LeverageProjection,
    testing::Values(
        LeverageCase{"within", {0.3, -0.2, 0.5}, {-1, -1, -1}, {1, 1, 1}, {}, 2.0},
        LeverageCase{"binding", {0.9, -0.7, 0.4, 0.05}, {-1, -1, -1, -1}, {1, 1, 1, 1}, {}, 1.2},
        LeverageCase{
            "binding_at_caps", {3.0, -2.0, 0.6, -0.1}, {-0.5, -0.5, 0, -1}, {0.5, 0.5, 1, 1}, {}, 1.3},
        LeverageCase{"weighted", {0.9, -0.7, 0.4}, {-1, -1, -1}, {1, 1, 1}, {2.0, 0.5, 1.0}, 1.0},
        LeverageCase{"box_off_zero", {0.9, 0.8}, {0.4, -1}, {1, 1}, {}, 0.3}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace morva
