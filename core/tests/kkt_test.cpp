#include "morva/kkt.hpp"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/dense.hpp"

namespace morva {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using dense::matrix;

// An exact optimum worked by hand (all numbers dyadic, so every sum is exact):
//
//   F = [1; 0.5; 0], Ω = diag(2), d = (1, 1, 2)
//   x*      = (0.5, 0.25, 0.25)
//   A_eq    = [1 1 1],            b_eq = 1,          y    = 0.5
//   A_in    = [1 −1 0; 0 1 1],    b_in = (0.25, 1),  z    = (0.25, 0)    row 0 active
//   l = (0, 0, 0.25), u = (1, 1, ∞),                 y_b  = (0, 0, −0.125) asset 2 at l
//   c = (0.25, 0.125, 0.0625), a = (0.5, 0, 1),      y_l1 = (0.125, 0.125, −0.0625)
//     (asset 0 at its anchor, asset 1 above, asset 2 below)
//   Fᵀx = 0.625, Ω·Fᵀx = 1.25, P·x = d∘x + F·1.25 = (1.75, 0.875, 0.5)
//   P·x + A_eqᵀy + A_inᵀz + y_b + y_l1 = (2.625, 1.25, 0.8125) = −q.
QpProblem optimum_qp() {
  QpProblem qp;
  qp.quadratic = {matrix(3, 1, {1.0, 0.5, 0.0}), FactorCovariance::diagonal({2.0}), {1.0, 1.0, 2.0}};
  qp.linear = {-2.625, -1.25, -0.8125};
  qp.equalities = {matrix(1, 3, {1, 1, 1}), {1.0}};
  qp.inequalities = {matrix(2, 3, {1, -1, 0, 0, 1, 1}), {0.25, 1.0}};
  qp.lower_bounds = {0.0, 0.0, 0.25};
  qp.upper_bounds = {1.0, 1.0, kInf};
  qp.l1 = L1Term{{0.25, 0.125, 0.0625}, {0.5, 0.0, 1.0}};
  return qp;
}
const std::vector<double> kOptimumX = {0.5, 0.25, 0.25};
DualVariables optimum_duals() {
  return {{0.5}, {0.25, 0.0}, {0.0, 0.0, -0.125}, {0.125, 0.125, -0.0625}};
}

void expect_residuals(const std::string& label, const QpProblem& qp, const std::vector<double>& x,
                      const DualVariables& duals, KktResiduals expected, double tol = 0.0) {
  const auto r = check_kkt(qp, x, duals);
  ASSERT_TRUE(r.has_value()) << label;
  EXPECT_NEAR(r->primal, expected.primal, tol) << label;
  EXPECT_NEAR(r->dual, expected.dual, tol) << label;
  EXPECT_NEAR(r->complementarity, expected.complementarity, tol) << label;
}

TEST(CheckKkt, ExactOptimumHasZeroResiduals) {
  const auto r = check_kkt(optimum_qp(), kOptimumX, optimum_duals());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, (KktResiduals{0.0, 0.0, 0.0}));
}

TEST(CheckKkt, PerturbedOptimum) {
  struct Case {
    std::string label;
    std::function<void(QpProblem&, std::vector<double>&, DualVariables&)> perturb;
    KktResiduals expected;
  };
  const std::vector<Case> cases = {
      // Equality multipliers carry no sign: y = −1.5 with q shifted by 2·(1, 1, 1) is optimal again.
      {"negative equality multiplier",
       [](QpProblem& qp, auto&, DualVariables& d) {
         d.equalities[0] = -1.5;
         qp.linear = {-0.625, 0.75, 1.1875};
       },
       {0, 0, 0}},
      // Stationarity alone: g = (0.25, 0.25, 0.25).
      {"equality multiplier off",
       [](auto&, auto&, DualVariables& d) { d.equalities[0] = 0.75; },
       {0, 0.25, 0}},
      // z₁ = 0.5 on a row with slack −0.5: g += 0.5·(0, 1, 1), complementarity 0.25.
      {"multiplier on inactive row",
       [](auto&, auto&, DualVariables& d) { d.inequalities[1] = 0.5; },
       {0, 0.5, 0.25}},
      // z₀ = −0.125 with q re-balanced so that g = 0: the sign violation alone is the dual residual.
      {"negative inequality multiplier, gradient zero",
       [](QpProblem& qp, auto&, DualVariables& d) {
         d.inequalities[0] = -0.125;
         qp.linear = {-2.25, -1.625, -0.8125};
       },
       {0, 0.125, 0}},
      // Moving x₂ to 0.5: equality gap 0.25; g₂ = 2·0.25; asset 2 is 0.25 off its
      // lower bound with multiplier −0.125.
      {"x off the optimum", [](auto&, std::vector<double>& x, auto&) { x[2] = 0.5; }, {0.25, 0.5, 0.03125}},
      // x₀ = 1.25 breaks u₀ = 1 by 0.25, the equality by 0.75 and row 0 by 0.75;
      // g = (0.75 + 2·0.75, 0.75, 0); complementarity max(0.75·0.25, 0.75·(0.25 − 0.125)).
      {"x beyond its upper bound",
       [](auto&, std::vector<double>& x, auto&) { x[0] = 1.25; },
       {0.75, 2.25, 0.1875}},
      // |y_l1,0| = 1.5·c₀ at the anchor, q re-balanced: sign violation 0.5·c₀.
      {"l1 multiplier beyond its cost",
       [](QpProblem& qp, auto&, DualVariables& d) {
         d.l1[0] = 0.375;
         qp.linear[0] = -2.875;
       },
       {0, 0.125, 0}},
      // Asset 1 is 0.25 above its anchor but y_l1,1 = 0: (x₁ − a₁)·c₁ = 0.03125; g₁ = −0.125.
      {"l1 multiplier zero above anchor",
       [](auto&, auto&, DualVariables& d) { d.l1[1] = 0.0; },
       {0, 0.125, 0.03125}},
      // Asset 2 is 0.75 below its anchor; y_l1,2 = +c₂ is the wrong side: 0.75·(c₂ + c₂).
      {"l1 multiplier wrong side below anchor",
       [](QpProblem& qp, auto&, DualVariables& d) {
         d.l1[2] = 0.0625;
         qp.linear[2] = -0.9375;
       },
       {0, 0, 0.09375}},
      // A NaN gradient entry falls back to the sign violation (0.5 from z₁ = −0.5);
      // complementarity |−0.5·−0.5| still counts.
      {"NaN equality multiplier",
       [](auto&, auto&, DualVariables& d) {
         d.equalities[0] = kNaN;
         d.inequalities[1] = -0.5;
       },
       {0, 0.5, 0.25}},
      // NaN operands are skipped by the maxima; the finite violations still count.
      // Every row product is NaN (0·NaN is NaN), x₁ exceeds u₁ by 0.5.
      {"NaN entry in x",
       [](auto&, std::vector<double>& x, auto&) {
         x = {kNaN, 1.5, 0.25};
       },
       {0.5, 0, 0}},
  };
  for (const auto& c : cases) {
    QpProblem qp = optimum_qp();
    std::vector<double> x = kOptimumX;
    DualVariables duals = optimum_duals();
    c.perturb(qp, x, duals);
    expect_residuals(c.label, qp, x, duals, c.expected);
  }
}

// One asset, P = 1, no rows; q is set so that P·x + q + y_b + y_l1 = 0, which
// isolates the sign and complementarity terms of the box and the L1 term.
struct AssetCase {
  std::string label;
  double lower, upper, x, y_box;
  std::optional<std::array<double, 3>> l1;  // cost, anchor, multiplier
  KktResiduals expected;
};

TEST(CheckKkt, BoxAndL1Terms) {
  const std::vector<AssetCase> cases = {
      {"active upper bound", 0.0, 0.05, 0.05, 0.3, {}, {0, 0, 0}},
      {"inactive upper bound", 0.0, 0.05, 0.04, 0.3, {}, {0, 0, 0.003}},
      {"upper bound exceeded", 0.0, 0.05, 0.06, 0.3, {}, {0.01, 0, 0.003}},
      {"active lower bound", 0.1, 1.0, 0.1, -0.2, {}, {0, 0, 0}},
      {"inactive lower bound", 0.1, 1.0, 0.3, -0.2, {}, {0, 0, 0.04}},
      {"lower bound exceeded", 0.1, 1.0, 0.0, 0.0, {}, {0.1, 0, 0}},
      {"positive multiplier, no upper bound", 0.0, kInf, 0.5, 0.7, {}, {0, 0.7, 0}},
      {"negative multiplier, no lower bound", -kInf, 1.0, 0.5, -0.4, {}, {0, 0.4, 0}},
      {"free asset, positive multiplier", -kInf, kInf, 0.5, 0.25, {}, {0, 0.25, 0}},
      {"free asset, negative multiplier", -kInf, kInf, 0.5, -0.25, {}, {0, 0.25, 0}},
      {"infinite bounds contribute no excess", -kInf, kInf, -1e300, 0.0, {}, {0, 0, 0}},
      // Both sides finite: each sign is charged against its own side only.
      {"two-sided, positive multiplier", 0.0, 1.0, 0.5, 0.5, {}, {0, 0, 0.25}},
      {"two-sided, negative multiplier", 0.0, 1.0, 0.25, -0.5, {}, {0, 0, 0.125}},
      {"pinned, either sign", 0.5, 0.5, 0.5, -0.75, {}, {0, 0, 0}},
      // L1 with c = 0.2 around a = 0.
      {"above anchor, y = c", -kInf, kInf, 0.5, 0.0, {{0.2, 0.0, 0.2}}, {0, 0, 0}},
      {"above anchor, y = 0", -kInf, kInf, 0.5, 0.0, {{0.2, 0.0, 0.0}}, {0, 0, 0.1}},
      {"below anchor, y = −c", -kInf, kInf, -0.5, 0.0, {{0.2, 0.0, -0.2}}, {0, 0, 0}},
      {"below anchor, y = 0", -kInf, kInf, -0.5, 0.0, {{0.2, 0.0, 0.0}}, {0, 0, 0.1}},
      {"at anchor, |y| < c", -kInf, kInf, 0.0, 0.0, {{0.2, 0.0, -0.15}}, {0, 0, 0}},
      {"at anchor, y = 1.5·c", -kInf, kInf, 0.0, 0.0, {{0.2, 0.0, 0.3}}, {0, 0.1, 0}},
      {"at anchor, y = −1.5·c", -kInf, kInf, 0.0, 0.0, {{0.2, 0.0, -0.3}}, {0, 0.1, 0}},
  };
  for (const auto& c : cases) {
    QpProblem qp;
    qp.quadratic = {matrix(1, 0, {}), FactorCovariance::diagonal({}), {1.0}};
    qp.equalities = LinearConstraints::empty(1);
    qp.inequalities = LinearConstraints::empty(1);
    qp.lower_bounds = {c.lower};
    qp.upper_bounds = {c.upper};
    DualVariables duals{{}, {}, {c.y_box}, {}};
    double y_l1 = 0.0;
    if (c.l1) {
      qp.l1 = L1Term{{(*c.l1)[0]}, {(*c.l1)[1]}};
      y_l1 = (*c.l1)[2];
      duals.l1 = {y_l1};
    }
    qp.linear = {-(c.x + c.y_box + y_l1)};
    ASSERT_TRUE(qp.validate().has_value()) << c.label;
    expect_residuals(c.label, qp, {c.x}, duals, c.expected, 1e-15);
  }
}

TEST(CheckKkt, LengthMismatchInBlockOrder) {
  struct Case {
    std::string label;
    bool with_l1;
    std::function<void(std::vector<double>&, DualVariables&)> perturb;
    LengthMismatch expected;
  };
  const std::vector<Case> cases = {
      {"x first, before any dual block",
       true,
       [](std::vector<double>& x, DualVariables& d) {
         x.pop_back();
         d.equalities.clear();
         d.l1.clear();
       },
       {"x", 3, 2}},
      {"equalities before inequalities",
       true,
       [](auto&, DualVariables& d) {
         d.equalities.push_back(0.0);
         d.inequalities.clear();
       },
       {"dual.equalities", 1, 2}},
      {"inequalities",
       true,
       [](auto&, DualVariables& d) { d.inequalities.pop_back(); },
       {"dual.inequalities", 2, 1}},
      {"bounds before l1",
       true,
       [](auto&, DualVariables& d) {
         d.bounds.push_back(0.0);
         d.l1.clear();
       },
       {"dual.bounds", 3, 4}},
      {"l1 too short", true, [](auto&, DualVariables& d) { d.l1.pop_back(); }, {"dual.l1", 3, 2}},
      {"l1 block without an L1 term", false, [](auto&, auto&) {}, {"dual.l1", 0, 3}},
  };
  for (const auto& c : cases) {
    QpProblem qp = optimum_qp();
    if (!c.with_l1) qp.l1.reset();
    std::vector<double> x = kOptimumX;
    DualVariables duals = optimum_duals();
    c.perturb(x, duals);
    const auto r = check_kkt(qp, x, duals);
    ASSERT_FALSE(r.has_value()) << c.label;
    EXPECT_EQ(r.error(), c.expected) << c.label;
  }
  // Without an L1 term an empty l1 block is what is expected.
  QpProblem qp = optimum_qp();
  qp.l1.reset();
  DualVariables duals = optimum_duals();
  duals.l1.clear();
  EXPECT_TRUE(check_kkt(qp, kOptimumX, duals).has_value());
}

}  // namespace
}  // namespace morva
