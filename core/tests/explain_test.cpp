// Certificates read in portfolio terms: the hint sentences, the index lists,
// and infeasible and unbounded portfolios solved end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "morva/portfolio.hpp"
#include "support/dense.hpp"
#include "support/portfolio_fixture.hpp"

namespace morva {
namespace {

using fixture::matrix;
using fixture::portfolio;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const std::string kInfeasiblePrefix = "no portfolio satisfies these constraints simultaneously: ";
const std::string kInfeasibleSuffix =
    "; relax at least one of them (Farkas weights are on Solution::certificate)";

std::string infeasible_hint(const std::string& phrases) {
  return kInfeasiblePrefix + phrases + kInfeasibleSuffix;
}

std::string unbounded_hint(const std::string& assets) {
  return "the objective is unbounded: expected returns reward a direction the risk model prices at (near) "
         "zero "
         "risk and no bound or constraint caps it (largest components at asset(s) " +
         assets +
         "); check factor exposures and specific variance for missing risk, or add bounds (the direction is "
         "on "
         "Solution::certificate)";
}

TEST(EnumerateIndices, ListsAtMostFiveThenTheCount) {
  struct Case {
    std::vector<std::size_t> indices;
    std::string text;
  };
  const std::vector<Case> cases{
      {{}, ""},
      {{42}, "42"},
      {{3, 8}, "3, 8"},
      {{0, 1, 2, 3, 4}, "0, 1, 2, 3, 4"},
      {{0, 1, 2, 3, 4, 5}, "0, 1, 2, 3, 4, ... (6 total)"},
      {{0, 1, 2, 3, 4, 5, 6}, "0, 1, 2, 3, 4, ... (7 total)"},
      {{9, 7, 5, 3, 1, 0, 2, 4}, "9, 7, 5, 3, 1, ... (8 total)"},  // order as given
  };
  for (const Case& c : cases) EXPECT_EQ(enumerate_indices(c.indices), c.text);
}

Solution failed_solution(SolveStatus status, std::optional<Certificate> certificate) {
  Solution solution;
  solution.status = status;
  solution.diagnostics = ConvergenceDiagnostics{};
  solution.diagnostics->hints = {"engine hint"};
  solution.certificate = std::move(certificate);
  return solution;
}

Certificate primal(std::vector<double> y, std::vector<double> z, std::vector<double> w) {
  return Certificate{PrimalCertificate{std::move(y), std::move(z), std::move(w)}};
}

Certificate ray(std::vector<double> d) {
  return Certificate{DualCertificate{std::move(d)}};
}

TEST(CertificateHints, PrimalCertificatesNameTheirParticipants) {
  struct Case {
    const char* name;
    Certificate certificate;
    std::optional<double> budget;
    std::size_t equality_rows;
    std::string hint;  // empty: no hint added
  };
  const std::vector<Case> cases{
      {"budget and three lower bounds", primal({1.0}, {}, {-0.3, -0.3, -0.4, 0.01}), 1.0, 0,
       infeasible_hint("the budget (sum of weights = 1), lower bounds on asset(s) 0, 1, 2")},
      {"the documented example", primal({-1.0, 0.01}, {}, {0.5, 0.5, 0.5, 0.04}), 1.0, 1,
       infeasible_hint("the budget (sum of weights = 1), upper bounds on asset(s) 0, 1, 2")},
      {"budget value printed in shortest form", primal({0.05}, {}, {}), 0.5, 0,
       infeasible_hint("the budget (sum of weights = 0.5)")},
      {"negative inequality weight is not cited, negative bound weight cites a lower bound",
       primal({}, {-0.3, 0.2}, {0.0, -0.3}), std::nullopt, 0,
       infeasible_hint("inequality cap(s) 1, lower bounds on asset(s) 1")},
      {"without a budget row 0 is the first user row", primal({0.7, 0.0}, {}, {}), std::nullopt, 2,
       infeasible_hint("equality row(s) 0")},
      {"with a budget user rows start after it", primal({0.01, 0.0, 0.2, -0.5}, {}, {}), 1.0, 3,
       infeasible_hint("equality row(s) 1, 2")},
      {"every kind in order", primal({-0.5, 0.9}, {0.06, 0.01, 1.0}, {0.3, -0.2, 0.0, -1.0}), 2.0, 1,
       infeasible_hint(
           "the budget (sum of weights = 2), equality row(s) 0, inequality cap(s) 0, 2, upper bounds on "
           "asset(s) 0, lower bounds on asset(s) 1, 3")},
      {"six upper bounds", primal({}, {}, {1, 1, 1, 1, 1, 1}), std::nullopt, 0,
       infeasible_hint("upper bounds on asset(s) 0, 1, 2, 3, 4, ... (6 total)")},
      {"thresholds are inclusive", primal({}, {0.05, 0.0499}, {-0.05, 0.0499}), std::nullopt, 0,
       infeasible_hint("inequality cap(s) 0, lower bounds on asset(s) 0")},
      {"every weight below the threshold", primal({0.049, -0.049}, {0.04}, {0.049, -0.049}), 1.0, 1, ""},
      {"NaN weights are never cited", primal({kNaN}, {kNaN}, {kNaN, 0.5}), 1.0, 0,
       infeasible_hint("upper bounds on asset(s) 1")},
      {"rows beyond the problem's own are not cited", primal({0.0, 0.0, 0.9}, {}, {}), 1.0, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Solution solution = failed_solution(SolveStatus::PrimalInfeasible, c.certificate);
    append_certificate_hints(solution, c.budget, c.equality_rows);
    ASSERT_TRUE(solution.diagnostics.has_value());
    const std::vector<std::string>& hints = solution.diagnostics->hints;
    if (c.hint.empty()) {
      EXPECT_EQ(hints, std::vector<std::string>{"engine hint"});
    } else {
      EXPECT_EQ(hints, (std::vector<std::string>{c.hint, "engine hint"}));
    }
  }
}

TEST(CertificateHints, DualCertificatesNameTheLargestComponents) {
  struct Case {
    const char* name;
    std::vector<double> direction;
    std::string assets;
  };
  const std::vector<Case> cases{
      {"documented example", {0.2, -0.9, 0.9, 0.05}, "1, 2, 0"},
      {"ties keep asset order", {0.5, -1.0, 0.5, 1.0, -0.5}, "1, 3, 0, 2, 4"},
      {"threshold inclusive", {0.1, 0.0999, -0.1}, "0, 2"},
      {"more than five", {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7}, "6, 5, 4, 3, 2, ... (7 total)"},
      {"no component large enough", {0.01, -0.05}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Solution solution = failed_solution(SolveStatus::DualInfeasible, ray(c.direction));
    append_certificate_hints(solution, 1.0, 0);
    ASSERT_TRUE(solution.diagnostics.has_value());
    EXPECT_EQ(solution.diagnostics->hints,
              (std::vector<std::string>{unbounded_hint(c.assets), "engine hint"}));
  }
}

TEST(CertificateHints, LeaveSolutionsWithoutCertificateOrDiagnosticsUnchanged) {
  struct Case {
    const char* name;
    Solution solution;
  };
  Solution plain = failed_solution(SolveStatus::MaxIterations, std::nullopt);
  Solution no_diagnostics_primal = failed_solution(SolveStatus::PrimalInfeasible, primal({1.0}, {}, {}));
  no_diagnostics_primal.diagnostics.reset();
  Solution no_diagnostics_dual = failed_solution(SolveStatus::DualInfeasible, ray({1.0}));
  no_diagnostics_dual.diagnostics.reset();
  Solution solved;
  solved.x = {0.5, 0.5};
  const std::vector<Case> cases{
      {"no certificate", plain},
      {"primal without diagnostics", no_diagnostics_primal},
      {"dual without diagnostics", no_diagnostics_dual},
      {"solved", solved},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Solution solution = c.solution;
    append_certificate_hints(solution, 1.0, 2);
    EXPECT_EQ(solution, c.solution);
  }
}

// ---------------------------------------------------------------------------
// End to end: the engine proves the failure and the hint names the culprits.

void expect_valid_farkas(const PortfolioProblem& problem, const Solution& solution) {
  auto qp = problem.to_qp();
  ASSERT_TRUE(qp.has_value());
  ASSERT_TRUE(solution.certificate.has_value());
  ASSERT_TRUE(solution.certificate->is_primal());
  const dense::FarkasReport report = dense::dense_farkas(*qp, solution.certificate->primal());
  EXPECT_LE(report.combination, 1e-4);
  EXPECT_LE(report.sign_violation, 1e-4);
  EXPECT_LT(report.value, -1e-4);
}

TEST(CertificateHints, InfeasiblePortfoliosNameTheConflictingRows) {
  // Free boxes make every Farkas combination unique up to scale, so the hint
  // is determined by the data.
  struct Case {
    const char* name;
    std::function<PortfolioResult(PortfolioProblem)> build;
    std::string phrases;
  };
  const std::vector<double> free_lower(3, -kInf);
  const std::vector<double> free_upper(3, kInf);
  const std::vector<Case> cases{
      // 1ᵀx = 1 and 1ᵀx ≤ 0.5: y = (−1), z = (1) gives 0 ≤ −0.5.
      {"cap below the budget",
       [&](PortfolioProblem p) {
         auto r = std::move(p).with_bounds(free_lower, free_upper);
         return std::move(*r).with_inequalities(matrix(1, 3, {1, 1, 1}), {0.5});
       },
       "the budget (sum of weights = 1), inequality cap(s) 0"},
      // Groups {0, 1} = 0.8 and {2} = 0.5 sum to 1.3 ≠ 1: y = (1, −1, −1).
      {"group targets against the budget",
       [&](PortfolioProblem p) {
         auto r = std::move(p).with_bounds(free_lower, free_upper);
         return std::move(*r).with_group_targets({0, 0, 1}, {0.8, 0.5});
       },
       "the budget (sum of weights = 1), equality row(s) 0, 1"},
      // x₂ = 0.5 (user row) and the budget force x₀ + x₁ = 0.5 > 0.2 + 0.2.
      {"user row, budget and two caps",
       [&](PortfolioProblem p) {
         auto r = std::move(p).with_bounds({-kInf, -kInf, -kInf}, {0.2, 0.2, kInf});
         return std::move(*r).with_equalities(matrix(1, 3, {0, 0, 1}), {0.5});
       },
       "the budget (sum of weights = 1), equality row(s) 0, upper bounds on asset(s) 0, 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = c.build(portfolio(3));
    ASSERT_TRUE(p.has_value()) << p.error().message();
    auto solution = solve_mean_variance_factor(*p);
    ASSERT_TRUE(solution.has_value()) << solution.error().message();
    ASSERT_EQ(solution->status, SolveStatus::PrimalInfeasible);
    expect_valid_farkas(*p, *solution);
    ASSERT_TRUE(solution->diagnostics.has_value());
    ASSERT_FALSE(solution->diagnostics->hints.empty());
    EXPECT_EQ(solution->diagnostics->hints.front(), infeasible_hint(c.phrases));
  }
}

TEST(CertificateHints, UnboundedPortfolioNamesTheRisklessAsset) {
  // Asset 2 has no factor exposure, no specific variance, a positive return
  // and no upper bound; without a budget x₂ → ∞ lowers the objective forever.
  auto p = PortfolioProblem::create(matrix(4, 1, {1.0, 0.5, 0.0, -0.5}), FactorCovariance::diagonal({0.04}),
                                    {0.02, 0.03, 0.0, 0.05}, {0.05, 0.04, 0.03, 0.02});
  ASSERT_TRUE(p.has_value());
  p = std::move(*p).with_budget(std::nullopt);
  p = std::move(*p).with_bounds({0, 0, 0, 0}, {1, 1, kInf, 1});
  ASSERT_TRUE(p.has_value());
  auto solution = solve_mean_variance_factor(*p);
  ASSERT_TRUE(solution.has_value()) << solution.error().message();
  ASSERT_EQ(solution->status, SolveStatus::DualInfeasible);
  ASSERT_TRUE(solution->certificate.has_value());
  ASSERT_FALSE(solution->certificate->is_primal());

  auto qp = p->to_qp();
  ASSERT_TRUE(qp.has_value());
  const dense::RayReport report = dense::dense_ray(*qp, solution->certificate->dual().direction);
  EXPECT_LE(report.curvature, 1e-4);
  EXPECT_LE(report.violation, 1e-4);
  EXPECT_LT(report.slope, -1e-4);

  ASSERT_TRUE(solution->diagnostics.has_value());
  ASSERT_FALSE(solution->diagnostics->hints.empty());
  EXPECT_EQ(solution->diagnostics->hints.front(), unbounded_hint("2"));
}

}  // namespace
}  // namespace morva
