#include "morva/certificate.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "support/dense.hpp"

namespace morva {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTol = 1e-6;

using dense::matrix;

// n variables, P = I, q = 0, no rows, an open box.
QpProblem blank_qp(std::size_t n) {
  return dense::open_qp(std::vector<double>(n, 1.0));
}

// Budget against boxes:  x₀ + x₁ = 1,  x₀ − x₁ ≤ −0.5,  0 ≤ xᵢ ≤ 0.25.
// Certificate A (y = −1, w = (1, 1)):      0 = −x₀ − x₁ + x₀ + x₁ ≤ −1 + 0.25 + 0.25 = −0.5.
// Certificate B (z = 1, w = (−1, 1)):      0 ≤ −0.5 + 0·(−1) + 0.25 = −0.25.
QpProblem budget_qp() {
  QpProblem qp = blank_qp(2);
  qp.equalities = {matrix(1, 2, {1, 1}), {1.0}};
  qp.inequalities = {matrix(1, 2, {1, -1}), {-0.5}};
  qp.lower_bounds = {0.0, 0.0};
  qp.upper_bounds = {0.25, 0.25};
  return qp;
}
const PrimalCertificate kCertA{{-1.0}, {0.0}, {1.0, 1.0}};
const PrimalCertificate kCertB{{0.0}, {1.0}, {-1.0, 1.0}};

PrimalCertificate scaled(PrimalCertificate c, double factor) {
  for (auto& v : c.equality_dual) v *= factor;
  for (auto& v : c.inequality_dual) v *= factor;
  for (auto& v : c.bound_dual) v *= factor;
  return c;
}

// ---------------------------------------------------------------- primal audit

TEST(CheckPrimalCertificate, Audits) {
  struct Case {
    std::string label;
    std::function<void(QpProblem&)> mutate;
    PrimalCertificate certificate;
    CertificateAudit expected;
  };
  const std::vector<Case> cases = {
      {"certificate A", [](QpProblem&) {}, kCertA, {0.0, -0.5, 0.0}},
      {"certificate B", [](QpProblem&) {}, kCertB, {0.0, -0.25, 0.0}},
      // r = A_eqᵀ·1 = (1, 1); value b_eq·1.
      {"not stationary", [](QpProblem&) {}, {{1.0}, {0.0}, {0.0, 0.0}}, {1.0, 1.0, 0.0}},
      // The residual uses the raw z: r = −1·(1, −1) = (−1, 1); the value only its
      // positive part; −z is the violation.
      {"negative inequality weight", [](QpProblem&) {}, {{0.0}, {-1.0}, {0.0, 0.0}}, {1.0, 0.0, 1.0}},
      {"negative weight balanced", [](QpProblem&) {}, {{0.0}, {-1.0}, {1.0, -1.0}}, {0.0, 0.25, 1.0}},
      // Citing an infinite side moves the weight from the value into the violation.
      {"upper side infinite", [](QpProblem& qp) { qp.upper_bounds[0] = kInf; }, kCertA, {0.0, -0.75, 1.0}},
      {"lower side infinite", [](QpProblem& qp) { qp.lower_bounds[0] = -kInf; }, kCertB, {0.0, -0.25, 1.0}},
      {"non-zero lower bound cited",
       [](QpProblem& qp) { qp.lower_bounds[0] = -0.5; },
       kCertB,
       {0.0, 0.25, 0.0}},
      {"NaN weight", [](QpProblem&) {}, {{-1.0}, {0.0}, {kNaN, 1.0}}, {kNaN, -0.75, 0.0}},
  };
  for (const auto& c : cases) {
    QpProblem qp = budget_qp();
    c.mutate(qp);
    const auto audit = check_primal_certificate(qp, c.certificate);
    ASSERT_TRUE(audit.has_value()) << c.label;
    if (std::isnan(c.expected.residual)) {
      EXPECT_TRUE(std::isnan(audit->residual)) << c.label;
    } else {
      EXPECT_EQ(audit->residual, c.expected.residual) << c.label;
    }
    EXPECT_EQ(audit->value, c.expected.value) << c.label;
    EXPECT_EQ(audit->violation, c.expected.violation) << c.label;
  }
}

TEST(CheckPrimalCertificate, LengthMismatchInBlockOrder) {
  struct Case {
    std::string label;
    PrimalCertificate certificate;
    LengthMismatch expected;
  };
  const std::vector<Case> cases = {
      {"equality block first", {{}, {}, {1, 1, 1}}, {"certificate.equality_dual", 1, 0}},
      {"inequality block second", {{-1}, {0, 0}, {1}}, {"certificate.inequality_dual", 1, 2}},
      {"box block with n + 1 entries", {{-1}, {0}, {1, 1, 1}}, {"certificate.bound_dual", 2, 3}},
  };
  for (const auto& c : cases) {
    const auto audit = check_primal_certificate(budget_qp(), c.certificate);
    ASSERT_FALSE(audit.has_value()) << c.label;
    EXPECT_EQ(audit.error(), c.expected) << c.label;
  }
}

// ---------------------------------------------------------------- primal detection

TEST(DetectPrimalInfeasibility, NormalisesJointly) {
  // y = −1, z = 0.2, w = (0.8, 1.2): r = 0 and value = −1 − 0.1 + 0.2 + 0.3 = −0.6.
  // The common scale is the largest entry over all blocks, 1.2.
  const PrimalCertificate candidate{{-1.0}, {0.2}, {0.8, 1.2}};
  const auto reference = detect_primal_infeasibility(budget_qp(), candidate, kTol);
  ASSERT_TRUE(reference.has_value());
  EXPECT_EQ(reference->bound_dual[1], 1.0);
  EXPECT_NEAR(reference->equality_dual[0], -1.0 / 1.2, 1e-15);
  EXPECT_NEAR(reference->inequality_dual[0], 0.2 / 1.2, 1e-15);
  EXPECT_NEAR(reference->bound_dual[0], 0.8 / 1.2, 1e-15);

  // Powers of two scale exactly, so the result is bit-identical.
  for (double factor : {std::ldexp(1.0, -30), 0.5, 8.0, std::ldexp(1.0, 40)}) {
    const auto c = detect_primal_infeasibility(budget_qp(), scaled(candidate, factor), kTol);
    ASSERT_TRUE(c.has_value()) << factor;
    EXPECT_EQ(*c, *reference) << factor;
  }
  // Any other positive factor agrees up to the rounding of the scaled input.
  for (double factor : {1e-9, 3.0, 7.7e5}) {
    const auto c = detect_primal_infeasibility(budget_qp(), scaled(candidate, factor), kTol);
    ASSERT_TRUE(c.has_value()) << factor;
    EXPECT_NEAR(c->equality_dual[0], reference->equality_dual[0], 1e-15) << factor;
    EXPECT_NEAR(c->inequality_dual[0], reference->inequality_dual[0], 1e-15) << factor;
    EXPECT_NEAR(c->bound_dual[0], reference->bound_dual[0], 1e-15) << factor;
    EXPECT_NEAR(c->bound_dual[1], reference->bound_dual[1], 1e-15) << factor;
  }
}

TEST(DetectPrimalInfeasibility, RejectsDegenerateCandidates) {
  struct Case {
    std::string label;
    PrimalCertificate candidate;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"all zeros", {{0.0}, {0.0}, {0.0, 0.0}}, false},
      {"largest entry exactly 1e-12", scaled(kCertA, 1e-12), false},
      {"largest entry below 1e-12", scaled(kCertA, 5e-13), false},
      {"largest entry 2e-12", scaled(kCertA, 2e-12), true},
      {"infinite entry", {{-1.0}, {0.0}, {1.0, kInf}}, false},
      {"NaN entry", {{-1.0}, {kNaN}, {1.0, 1.0}}, false},
      {"wrong box length", {{-1.0}, {0.0}, {1.0, 1.0, 1.0}}, false},
      {"wrong inequality length", {{-1.0}, {}, {1.0, 1.0}}, false},
      // y = −1, w = (1, 0): value −1 + 0.25 = −0.75, but r = (0, −1).
      {"negative value, combination not cancelling", {{-1.0}, {0.0}, {1.0, 0.0}}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(detect_primal_infeasibility(budget_qp(), c.candidate, kTol).has_value(), c.accepted) << c.label;
  }
}

TEST(DetectPrimalInfeasibility, ProjectsInequalityWeights) {
  // The inequality row is scaled by h = 2⁻¹⁰: h·(x₀ − x₁) ≤ −0.5·h. Then
  // y = −1, z = ζ, w = (1 − h·ζ, 1 + h·ζ) is exactly stationary with value
  // ≈ −0.5 for any ζ, and clamping ζ to 0 moves the residual only by h·|ζ|,
  // so the sign rule alone decides between −0.5·tol and −2·tol.
  const double h = std::ldexp(1.0, -10);
  QpProblem qp = budget_qp();
  qp.inequalities = {matrix(1, 2, {h, -h}), {-0.5 * h}};
  struct Case {
    double zeta;
    bool accepted;
  };
  for (const Case c : {Case{-0.5 * kTol, true}, Case{-kTol, true}, Case{-2.0 * kTol, false},
                       Case{-0.5, false}, Case{0.25, true}}) {
    const PrimalCertificate candidate{{-1.0}, {c.zeta}, {1.0 - h * c.zeta, 1.0 + h * c.zeta}};
    const auto cert = detect_primal_infeasibility(qp, candidate, kTol);
    ASSERT_EQ(cert.has_value(), c.accepted) << c.zeta;
    if (cert && c.zeta < 0) {
      EXPECT_EQ(cert->inequality_dual[0], 0.0);
      EXPECT_FALSE(std::signbit(cert->inequality_dual[0]));
    }
  }
}

TEST(DetectPrimalInfeasibility, ProjectsBoxWeightsOntoFiniteSides) {
  // x₀ + x₁ = 1 with 0 ≤ x₀, x₁ ≤ 0.25, plus h·(x₂ − x₁) = 0 on a third asset
  // with box [l₂, u₂]. A balanced candidate y = (−1, −e), w = (1, 1 − e, e) is
  // stationary for every e; an unbalanced one y = (−1, 0), w = (1, 1, e) becomes
  // stationary only once w₂ is clamped to 0, so there the projection alone
  // decides. The value −0.5 − 0.25·e never sees a w₂ citing an infinite side.
  auto make_qp = [](double l2, double u2) {
    QpProblem qp = blank_qp(3);
    qp.equalities = {matrix(2, 3, {1, 1, 0, 0, -1, 1}), {1.0, 0.0}};
    qp.lower_bounds = {0.0, 0.0, l2};
    qp.upper_bounds = {0.25, 0.25, u2};
    return qp;
  };
  struct Case {
    std::string label;
    double l2, u2, e;
    bool balanced;
    bool accepted;
    bool kept;  // when accepted: w₂ survives the projection (else it becomes 0)
  };
  const std::vector<Case> cases = {
      {"free asset, small positive", -kInf, kInf, 0.5 * kTol, true, true, false},
      {"free asset, positive at tolerance", -kInf, kInf, kTol, true, true, false},
      {"free asset, small negative", -kInf, kInf, -0.5 * kTol, true, true, false},
      {"free asset, small positive, unbalanced", -kInf, kInf, 0.5 * kTol, false, true, false},
      {"free asset, large positive", -kInf, kInf, 2 * kTol, false, false, false},
      {"free asset, large negative", -kInf, kInf, -2 * kTol, false, false, false},
      {"no upper bound, large positive", 0.0, kInf, 2 * kTol, false, false, false},
      {"no upper bound, negative cites lower", 0.0, kInf, -0.25, true, true, true},
      {"no lower bound, positive cites upper", -kInf, 0.0, 0.25, true, true, true},
      {"no lower bound, large negative", -kInf, 0.0, -2 * kTol, false, false, false},
  };
  for (const auto& c : cases) {
    const double tilt = c.balanced ? c.e : 0.0;
    const PrimalCertificate candidate{{-1.0, -tilt}, {}, {1.0, 1.0 - tilt, c.e}};
    const double scale = std::max(1.0, 1.0 - tilt);
    const auto cert = detect_primal_infeasibility(make_qp(c.l2, c.u2), candidate, kTol);
    ASSERT_EQ(cert.has_value(), c.accepted) << c.label;
    // The rows' supports, as the stored columns give them, skip their zeros
    // with the same residual, at the tolerance too.
    const std::vector<std::vector<std::uint32_t>> supports = {{0, 1}, {1, 2}};
    EXPECT_EQ(detect_primal_infeasibility(make_qp(c.l2, c.u2), candidate, kTol, supports), cert) << c.label;
    if (!cert) continue;
    EXPECT_EQ(cert->bound_dual[2], c.kept ? c.e / scale : 0.0) << c.label;
    EXPECT_FALSE(std::signbit(cert->bound_dual[2]) && !c.kept) << c.label;
    EXPECT_EQ(cert->equality_dual[1], -tilt / scale) << c.label << ": equality weights are never projected";
  }
}

TEST(DetectPrimalInfeasibility, AcceptanceIsInclusive) {
  // tol = 0.25: z = 1, w = (−0.75, 1) gives r = (0.25, 0) and value
  // −0.5 + 0.25 + 0·(−0.75) = −0.25: both exactly at the limits.
  const PrimalCertificate candidate{{0.0}, {1.0}, {-0.75, 1.0}};
  const auto audit = check_primal_certificate(budget_qp(), candidate);
  ASSERT_TRUE(audit.has_value());
  EXPECT_EQ(audit->residual, 0.25);
  EXPECT_EQ(audit->value, -0.25);
  const auto accepted = detect_primal_infeasibility(budget_qp(), candidate, 0.25);
  ASSERT_TRUE(accepted.has_value());
  EXPECT_EQ(*accepted, candidate);
  EXPECT_FALSE(detect_primal_infeasibility(budget_qp(), candidate, std::nextafter(0.25, 0.0)).has_value());
  EXPECT_FALSE(detect_primal_infeasibility(budget_qp(), candidate, kNaN).has_value());
}

TEST(DetectPrimalInfeasibility, RejectsConsistentConstraints) {
  // With 0 ≤ xᵢ ≤ 0.5 the budget is reachable: certificate A's value is
  // −1 + 0.5 + 0.5 = 0 and its residual 0, yet it proves nothing.
  QpProblem qp = budget_qp();
  qp.inequalities = LinearConstraints::empty(2);
  qp.upper_bounds = {0.5, 0.5};
  const PrimalCertificate candidate{{-1.0}, {}, {1.0, 1.0}};
  const auto audit = check_primal_certificate(qp, candidate);
  ASSERT_TRUE(audit.has_value());
  EXPECT_EQ(audit->residual, 0.0);
  EXPECT_EQ(audit->value, 0.0);
  EXPECT_FALSE(detect_primal_infeasibility(qp, candidate, kTol).has_value());
}

// ---------------------------------------------------------------- dual audit

// P = diag(0, 0, 1, 0) + f·fᵀ with f = (1, 1, 0, 0): P·(1, −1, 0, 0) = 0.
// q = (−1, 0, 0, 0); asset 2 is boxed in [0, 1], the others are free.
QpProblem ray_qp() {
  QpProblem qp = blank_qp(4);
  qp.quadratic = {matrix(4, 1, {1, 1, 0, 0}), FactorCovariance::diagonal({1.0}), {0.0, 0.0, 1.0, 0.0}};
  qp.linear = {-1.0, 0.0, 0.0, 0.0};
  qp.lower_bounds[2] = 0.0;
  qp.upper_bounds[2] = 1.0;
  return qp;
}
const std::vector<double> kRay = {1.0, -1.0, 0.0, 0.0};

TEST(CheckDualCertificate, Audits) {
  struct Case {
    std::string label;
    std::function<void(QpProblem&)> mutate;
    std::vector<double> direction;
    CertificateAudit expected;
  };
  const std::vector<Case> cases = {
      {"descent ray", [](QpProblem&) {}, kRay, {0.0, -1.0, 0.0}},
      // P·(1, 0, 0, 0) = (1, 1, 0, 0).
      {"curved direction", [](QpProblem&) {}, {1.0, 0.0, 0.0, 0.0}, {1.0, -1.0, 0.0}},
      {"d₀ > 0 under finite u₀", [](QpProblem& qp) { qp.upper_bounds[0] = 2.0; }, kRay, {0.0, -1.0, 1.0}},
      {"d₀ > 0 with u₀ = +∞ and finite l₀",
       [](QpProblem& qp) { qp.lower_bounds[0] = -2.0; },
       kRay,
       {0.0, -1.0, 0.0}},
      {"d₁ < 0 over finite l₁", [](QpProblem& qp) { qp.lower_bounds[1] = 0.0; }, kRay, {0.0, -1.0, 1.0}},
      {"equality row kept",
       [](QpProblem& qp) {
         qp.equalities = {matrix(1, 4, {1, 1, 0, 0}), {1.0}};
       },
       kRay,
       {0.0, -1.0, 0.0}},
      {"equality row broken",
       [](QpProblem& qp) {
         qp.equalities = {matrix(1, 4, {0, -2, 0, 0}), {1.0}};
       },
       kRay,
       {0.0, -1.0, 2.0}},
      {"inequality row moving inward",
       [](QpProblem& qp) {
         qp.inequalities = {matrix(1, 4, {-0.5, 0, 0, 0}), {1.0}};
       },
       kRay,
       {0.0, -1.0, 0.0}},
      {"inequality row moving outward",
       [](QpProblem& qp) {
         qp.inequalities = {matrix(1, 4, {0.5, 0, 0, 0}), {1.0}};
       },
       kRay,
       {0.0, -1.0, 0.5}},
      // Σ cᵢ|dᵢ| = 0.25 + 0.5 raises the slope from −1 to −0.25.
      {"L1 costs",
       [](QpProblem& qp) {
         qp.l1 = L1Term{{0.25, 0.5, 9.0, 0.0}, {7, 7, 7, 7}};
       },
       kRay,
       {0.0, -0.25, 0.0}},
  };
  for (const auto& c : cases) {
    QpProblem qp = ray_qp();
    c.mutate(qp);
    const auto audit = check_dual_certificate(qp, c.direction);
    ASSERT_TRUE(audit.has_value()) << c.label;
    EXPECT_EQ(*audit, c.expected) << c.label;
  }
  const auto nan_audit = check_dual_certificate(ray_qp(), std::vector<double>{kNaN, -1.0, 0.0, 0.0});
  ASSERT_TRUE(nan_audit.has_value());
  EXPECT_TRUE(std::isnan(nan_audit->residual));
}

TEST(CheckDualCertificate, LengthMismatch) {
  for (std::size_t length : {0u, 3u, 5u}) {
    const auto audit = check_dual_certificate(ray_qp(), std::vector<double>(length, 1.0));
    ASSERT_FALSE(audit.has_value()) << length;
    EXPECT_EQ(audit.error(), (LengthMismatch{"certificate.direction", 4, length}));
  }
}

// ---------------------------------------------------------------- dual detection

TEST(DetectDualInfeasibility, NormalisesAndAccepts) {
  // d = (0.6, −0.6, 0, 0.3) with q₃ = −1: slope −0.9, unit-norm direction (1, −1, 0, 0.5).
  QpProblem qp = ray_qp();
  qp.linear[3] = -1.0;
  const std::vector<double> candidate = {0.6, -0.6, 0.0, 0.3};
  const auto reference = detect_dual_infeasibility(qp, candidate, kTol);
  ASSERT_TRUE(reference.has_value());
  EXPECT_EQ(*reference, (std::vector<double>{1.0, -1.0, 0.0, 0.5}));
  for (double factor : {1e-9, 0.125, 3.0, 1e7}) {
    std::vector<double> c = candidate;
    for (auto& v : c) v *= factor;
    const auto d = detect_dual_infeasibility(qp, c, kTol);
    ASSERT_TRUE(d.has_value()) << factor;
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR((*d)[i], (*reference)[i], 1e-15) << factor;
  }
}

TEST(DetectDualInfeasibility, RejectsUnlessEveryTestPasses) {
  struct Case {
    std::string label;
    std::function<void(QpProblem&)> mutate;
    std::vector<double> candidate;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"descent ray", [](QpProblem&) {}, kRay, true},
      {"all zeros", [](QpProblem&) {}, {0, 0, 0, 0}, false},
      {"largest entry exactly 1e-12", [](QpProblem&) {}, {1e-12, -1e-12, 0, 0}, false},
      {"largest entry 2e-12", [](QpProblem&) {}, {2e-12, -2e-12, 0, 0}, true},
      {"infinite entry", [](QpProblem&) {}, {kInf, -1, 0, 0}, false},
      {"NaN entry", [](QpProblem&) {}, {1, -1, kNaN, 0}, false},
      {"wrong length", [](QpProblem&) {}, {1, -1, 0}, false},
      {"curvature", [](QpProblem&) {}, {1, 0, 0, 0}, false},
      {"blocked by an upper bound", [](QpProblem& qp) { qp.upper_bounds[0] = 1.0; }, kRay, false},
      {"flat objective", [](QpProblem& qp) { qp.linear[0] = 0.0; }, kRay, false},
      {"L1 costs outweigh the descent",
       [](QpProblem& qp) {
         qp.l1 = L1Term{{0.5, 0.5, 0, 0}, {0, 0, 0, 0}};
       },
       kRay, false},
      {"L1 costs smaller than the descent",
       [](QpProblem& qp) {
         qp.l1 = L1Term{{0.25, 0.25, 0, 0}, {0, 0, 0, 0}};
       },
       kRay, true},
      {"equality row the ray keeps",
       [](QpProblem& qp) {
         qp.equalities = {matrix(1, 4, {1, 1, 0, 0}), {1.0}};
       },
       kRay, true},
      {"blocked by an equality row",
       [](QpProblem& qp) {
         qp.equalities = {matrix(1, 4, {0, -2, 0, 0}), {1.0}};
       },
       kRay, false},
      {"inequality row the ray moves away from",
       [](QpProblem& qp) {
         qp.inequalities = {matrix(1, 4, {-1, 0, 0, 0}), {1.0}};
       },
       kRay, true},
      {"blocked by an inequality row",
       [](QpProblem& qp) {
         qp.inequalities = {matrix(1, 4, {1, 0, 0, 0}), {1.0}};
       },
       kRay, false},
      // ‖A_eq·d‖∞ propagates a NaN (rejecting); a NaN entry of A_in·d is
      // passed over by the maximum.
      {"NaN equality row image",
       [](QpProblem& qp) {
         qp.equalities = {matrix(1, 4, {kNaN, 0, 0, 0}), {0.0}};
       },
       kRay, false},
      {"NaN inequality row image",
       [](QpProblem& qp) {
         qp.inequalities = {matrix(1, 4, {kNaN, 0, 0, 0}), {0.0}};
       },
       kRay, true},
  };
  for (const auto& c : cases) {
    QpProblem qp = ray_qp();
    c.mutate(qp);
    EXPECT_EQ(detect_dual_infeasibility(qp, c.candidate, kTol).has_value(), c.accepted) << c.label;
  }
}

TEST(DetectDualInfeasibility, AcceptanceIsInclusive) {
  // tol = 0.5: d = (1, −1, 0.5, 0) with q = (−0.5, 0, 0, 0): P·d = (0, 0, 0.5, 0),
  // slope −0.5, and d₂ = 0.5 against u₂ = 1: all three exactly at the limits.
  QpProblem qp = ray_qp();
  qp.linear[0] = -0.5;
  const std::vector<double> d = {1.0, -1.0, 0.5, 0.0};
  const auto audit = check_dual_certificate(qp, d);
  ASSERT_TRUE(audit.has_value());
  EXPECT_EQ(*audit, (CertificateAudit{0.5, -0.5, 0.5}));
  const auto accepted = detect_dual_infeasibility(qp, d, 0.5);
  ASSERT_TRUE(accepted.has_value());
  EXPECT_EQ(*accepted, d);
  EXPECT_FALSE(detect_dual_infeasibility(qp, d, std::nextafter(0.5, 0.0)).has_value());
  EXPECT_FALSE(detect_dual_infeasibility(qp, d, kNaN).has_value());
}

}  // namespace
}  // namespace morva
