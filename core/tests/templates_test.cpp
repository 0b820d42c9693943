// Constraint templates: group targets, industry neutrality, style bands,
// concentration and short limits, and the row-appending helper they share.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
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

using Builder = std::function<PortfolioResult(PortfolioProblem)>;

struct RejectCase {
  const char* name;
  std::size_t n;
  Builder build;
  PortfolioError::Kind kind;
  std::string message;
};

void expect_rejections(const std::vector<RejectCase>& cases) {
  for (const RejectCase& c : cases) {
    SCOPED_TRACE(c.name);
    PortfolioResult result = c.build(portfolio(c.n));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), c.kind);
    EXPECT_EQ(result.error().message(), c.message);
  }
}

PortfolioProblem with_benchmark(std::size_t n, std::vector<double> benchmark) {
  auto p = portfolio(n).with_tracking_benchmark(std::move(benchmark));
  EXPECT_TRUE(p.has_value());
  return std::move(*p);
}

// The block as plain rows, for comparisons that read like the maths.
std::vector<std::vector<double>> rows_of(const LinearConstraints& block) {
  std::vector<std::vector<double>> rows;
  for (std::size_t r = 0; r < block.rows(); ++r) {
    rows.emplace_back(block.matrix.row(r).begin(), block.matrix.row(r).end());
  }
  return rows;
}

using Rows = std::vector<std::vector<double>>;

// ---------------------------------------------------------------------------
// Groups and industries

TEST(GroupTemplates, ReportTheFirstBrokenRule) {
  using K = PortfolioError::Kind;
  const std::string empty_group_1 =
      "invalid constraint template: groups group 1 has no member assets; its row would read 0 = target";
  const std::vector<RejectCase> cases{
      {"ids length", 4,
       [](PortfolioProblem p) {
         return std::move(p).with_group_targets({0, 1, 9}, {kNaN});
       },
       K::ProblemInvalid, "groups has dimension 3; expected 4"},
      {"id too large before target finiteness", 4,
       [](PortfolioProblem p) {
         return std::move(p).with_group_targets({0, 1, 7, 2}, {0.2, kNaN, 0.3});
       },
       K::InvalidTemplate,
       "invalid constraint template: groups contains id 7 but only 3 target(s) were supplied"},
      {"first large id in asset order", 4,
       [](PortfolioProblem p) {
         return std::move(p).with_group_targets({0, 5, 9, 2}, {0.2, 0.1, 0.3});
       },
       K::InvalidTemplate,
       "invalid constraint template: groups contains id 5 but only 3 target(s) were supplied"},
      {"no targets at all", 4,
       [](PortfolioProblem p) {
         return std::move(p).with_group_targets({0, 0, 0, 0}, {});
       },
       K::InvalidTemplate,
       "invalid constraint template: groups contains id 0 but only 0 target(s) were supplied"},
      {"target finiteness before empty groups", 4,
       [](PortfolioProblem p) {
         return std::move(p).with_group_targets({0, 0, 0, 0}, {0.2, -kInf});
       },
       K::ProblemInvalid, "group targets contains a non-finite coefficient"},
      {"ids [0, 2, 0] fail on group 1", 3,
       [](PortfolioProblem p) {
         return std::move(p).with_group_targets({0, 2, 0}, {0.5, 0.2, 0.3});
       },
       K::InvalidTemplate, empty_group_1},
      {"more targets than assets", 2,
       [](PortfolioProblem p) {
         return std::move(p).with_group_targets({0, 1}, {0.5, 0.2, 0.3, 0.1});
       },
       K::InvalidTemplate,
       "invalid constraint template: groups group 2 has no member assets; its row would read 0 = target"},

      {"neutrality without benchmark before ids", 4,
       [](PortfolioProblem p) { return std::move(p).with_industry_neutrality({0}); }, K::InvalidTemplate,
       "invalid constraint template: industry neutrality derives its targets from the tracking benchmark; "
       "call "
       "with_tracking_benchmark first or supply explicit targets with with_group_targets"},
      {"industry ids length", 4,
       [](PortfolioProblem p) {
         auto r = std::move(p).with_tracking_benchmark({0.25, 0.25, 0.25, 0.25});
         return std::move(*r).with_industry_neutrality({0, 1});
       },
       K::ProblemInvalid, "industries has dimension 2; expected 4"},
      {"benchmark sums past the largest double", 2,
       [](PortfolioProblem p) {
         auto r = std::move(p).with_tracking_benchmark({1.7e308, 1.7e308});
         return std::move(*r).with_industry_neutrality({0, 0});
       },
       K::ProblemInvalid, "industry targets contains a non-finite coefficient"},
  };
  expect_rejections(cases);
}

TEST(GroupTemplates, IndustryGapsNameTheFirstEmptyGroupWithoutSizingByTheLargestId) {
  // Ids are caller data: a stray 10¹² or the largest 64-bit value must fail at
  // once on the first empty group, not size anything by the largest id.
  struct Case {
    const char* name;
    std::vector<std::uint64_t> ids;
    std::uint64_t empty_group;
  };
  constexpr std::uint64_t kHuge = 1'000'000'000'000ULL;
  constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();
  const std::vector<Case> cases{
      {"gap below the largest id", {0, 2, 0, 2}, 1},
      {"stray 10^12", {0, 1, kHuge, 2}, 3},
      {"stray 10^12 with a gap below", {0, kHuge, 2, 3}, 1},
      {"every id huge", {kHuge, kHuge, kHuge, kHuge}, 0},
      {"largest 64-bit id", {0, 1, 2, kLargest}, 3},
      {"largest 64-bit id alone", {kLargest, kLargest, kLargest, kLargest}, 0},
      {"ids n and above", {4, 5, 6, 7}, 0},
      {"ids 1 to n", {1, 2, 3, 4}, 0},
      {"permutation shifted by one", {3, 1, 2, 4}, 0},
      {"only the last group below n missing", {0, 1, 2, 4}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = with_benchmark(4, {0.1, 0.2, 0.3, 0.4}).with_industry_neutrality(c.ids);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), PortfolioError::Kind::InvalidTemplate);
    EXPECT_EQ(result.error().message(), "invalid constraint template: industries group " +
                                            std::to_string(c.empty_group) +
                                            " has no member assets; its row would read 0 = target");
  }
}

TEST(GroupTemplates, AppendOneRowPerGroupAfterTheExistingRows) {
  struct Case {
    const char* name;
    std::size_t n;
    Builder build;
    Rows rows;  // the whole equality block after the call
    std::vector<double> rhs;
  };
  const std::vector<Case> cases{
      {"two groups over four assets",
       4,
       [](PortfolioProblem p) {
         return std::move(p).with_group_targets({0, 1, 0, 1}, {0.6, 0.4});
       },
       {{1, 0, 1, 0}, {0, 1, 0, 1}},
       {0.6, 0.4}},
      {"after a user row",
       4,
       [](PortfolioProblem p) {
         auto r = std::move(p).with_equalities(matrix(1, 4, {1, -1, 0, 0}), {0.0});
         return std::move(*r).with_group_targets({0, 1, 0, 1}, {0.6, 0.4});
       },
       {{1, -1, 0, 0}, {1, 0, 1, 0}, {0, 1, 0, 1}},
       {0.0, 0.6, 0.4}},
      {"one group holding everything",
       3,
       [](PortfolioProblem p) {
         return std::move(p).with_group_targets({0, 0, 0}, {0.9});
       },
       {{1, 1, 1}},
       {0.9}},
      {"industry targets from the benchmark",
       3,
       [](PortfolioProblem p) {
         auto r = std::move(p).with_tracking_benchmark({0.2, 0.3, 0.5});
         return std::move(*r).with_industry_neutrality({1, 1, 0});
       },
       {{0, 0, 1}, {1, 1, 0}},
       {0.5, 0.5}},
      {"templates stack in call order",
       3,
       [](PortfolioProblem p) {
         auto r = std::move(p).with_tracking_benchmark({0.2, 0.3, 0.5});
         r = std::move(*r).with_industry_neutrality({0, 1, 1});
         return std::move(*r).with_group_targets({0, 0, 0}, {1.0});
       },
       {{1, 0, 0}, {0, 1, 1}, {1, 1, 1}},
       {0.2, 0.8, 1.0}},
      {"direct call with the caller's name",
       3,
       [](PortfolioProblem p) {
         return std::move(p).append_group_equalities("sectors", {1, 0, 1}, {0.25, 0.75});
       },
       {{0, 1, 0}, {1, 0, 1}},
       {0.25, 0.75}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PortfolioResult result = c.build(portfolio(c.n));
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(rows_of(result->equalities()), c.rows);
    EXPECT_EQ(result->equalities().rhs, c.rhs);
    EXPECT_EQ(result->inequalities().rows(), 0u);
    EXPECT_EQ(result->lower_bounds(), std::vector<double>(c.n, 0.0));
    EXPECT_EQ(result->upper_bounds(), std::vector<double>(c.n, 1.0));
  }
}

TEST(GroupTemplates, IndustryTargetsAreSummedInAssetOrder) {
  // 0.1 + 0.2 + 0.3 differs from 0.1 + (0.2 + 0.3) in the last bit; the
  // target must be the left-to-right sum.
  auto result = with_benchmark(4, {0.1, 0.2, 0.3, 0.4}).with_industry_neutrality({0, 0, 0, 1});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->equalities().rhs, (std::vector<double>{(0.1 + 0.2) + 0.3, 0.4}));
}

TEST(GroupTemplates, DirectCallsCheckTheirIds) {
  const std::vector<RejectCase> cases{
      {"ids length", 3,
       [](PortfolioProblem p) {
         return std::move(p).append_group_equalities("sectors", {0, 0}, {1.0});
       },
       PortfolioError::Kind::ProblemInvalid, "sectors has dimension 2; expected 3"},
      {"id beyond the targets", 3,
       [](PortfolioProblem p) {
         return std::move(p).append_group_equalities("sectors", {0, 3, 0}, {1.0});
       },
       PortfolioError::Kind::InvalidTemplate,
       "invalid constraint template: sectors contains id 3 but only 1 target(s) were supplied"},
      {"empty group", 3,
       [](PortfolioProblem p) {
         return std::move(p).append_group_equalities("sectors", {0, 0, 0}, {1.0, 0.0});
       },
       PortfolioError::Kind::InvalidTemplate,
       "invalid constraint template: sectors group 1 has no member assets; its row would read 0 = target"},
  };
  expect_rejections(cases);
}

// ---------------------------------------------------------------------------
// Style bands

TEST(StyleTemplates, ReportTheFirstBrokenRule) {
  using K = PortfolioError::Kind;
  // Two styles over four assets unless a case says otherwise.
  const Matrix styles = matrix(2, 4, {1, 0, -1, 0.5, 0, 1, 1, -1});
  const std::vector<RejectCase> cases{
      {"matrix width", 4,
       [](PortfolioProblem p) {
         return std::move(p).with_style_bounds(matrix(1, 3, {kNaN, 0, 0}), {0}, {1});
       },
       K::ProblemInvalid, "style exposures has dimension 3; expected 4"},
      {"matrix entry", 4,
       [](PortfolioProblem p) {
         return std::move(p).with_style_bounds(matrix(1, 4, {1, 1, kInf, 1}), {}, {});
       },
       K::ProblemInvalid, "style exposures contains a non-finite coefficient"},
      {"lower length", 4,
       [&](PortfolioProblem p) { return std::move(p).with_style_bounds(styles, {0}, {kNaN}); },
       K::ProblemInvalid, "style lower has dimension 1; expected 2"},
      {"lower NaN before upper length", 4,
       [&](PortfolioProblem p) {
         return std::move(p).with_style_bounds(styles, {0, kNaN}, {});
       },
       K::ProblemInvalid, "style lower contains a non-finite coefficient"},
      {"upper length", 4,
       [&](PortfolioProblem p) {
         return std::move(p).with_style_bounds(styles, {0, 0}, {1, 1, 1});
       },
       K::ProblemInvalid, "style upper has dimension 3; expected 2"},
      {"upper NaN before crossing", 4,
       [&](PortfolioProblem p) {
         return std::move(p).with_style_bounds(styles, {5, 0}, {1, kNaN});
       },
       K::ProblemInvalid, "style upper contains a non-finite coefficient"},
      {"crossed band", 4,
       [&](PortfolioProblem p) {
         return std::move(p).with_style_bounds(styles, {0.2, 0}, {0.1, 1});
       },
       K::InvalidTemplate, "invalid constraint template: style 0 bounds cross: lower 0.2 exceeds upper 0.1"},
      {"crossing before a later unbounded style", 4,
       [&](PortfolioProblem p) {
         return std::move(p).with_style_bounds(styles, {1, -kInf}, {-1, kInf});
       },
       K::InvalidTemplate, "invalid constraint template: style 0 bounds cross: lower 1 exceeds upper -1"},
      {"unbounded style", 4,
       [](PortfolioProblem p) {
         return std::move(p).with_style_bounds(matrix(3, 4, std::vector<double>(12, 1.0)), {0, -0.1, -kInf},
                                               {0, 0.1, kInf});
       },
       K::InvalidTemplate,
       "invalid constraint template: style 2 has neither a finite lower nor a finite upper bound; drop the "
       "row "
       "instead of leaving it unconstrained"},
      {"unbounded before a later crossing", 4,
       [&](PortfolioProblem p) {
         return std::move(p).with_style_bounds(styles, {-kInf, 3}, {kInf, 2});
       },
       K::InvalidTemplate,
       "invalid constraint template: style 0 has neither a finite lower nor a finite upper bound; drop the "
       "row "
       "instead of leaving it unconstrained"},
      // A band pinned at infinity has no finite side either; it must not turn
      // into the row S·x = inf.
      {"pinned at +inf", 4,
       [&](PortfolioProblem p) {
         return std::move(p).with_style_bounds(styles, {0, kInf}, {1, kInf});
       },
       K::InvalidTemplate,
       "invalid constraint template: style 1 has neither a finite lower nor a finite upper bound; drop the "
       "row "
       "instead of leaving it unconstrained"},
      {"pinned at -inf", 4,
       [&](PortfolioProblem p) {
         return std::move(p).with_style_bounds(styles, {-kInf, 0}, {-kInf, 1});
       },
       K::InvalidTemplate,
       "invalid constraint template: style 0 has neither a finite lower nor a finite upper bound; drop the "
       "row "
       "instead of leaving it unconstrained"},
      {"lower +inf crossing upper", 4,
       [&](PortfolioProblem p) {
         return std::move(p).with_style_bounds(styles, {kInf, 0}, {1, 1});
       },
       K::InvalidTemplate, "invalid constraint template: style 0 bounds cross: lower inf exceeds upper 1"},
  };
  expect_rejections(cases);
}

TEST(StyleTemplates, BandsBecomeEqualityOrOneSidedRows) {
  struct Case {
    const char* name;
    double lower;
    double upper;
    Rows equalities;
    std::vector<double> equality_rhs;
    Rows inequalities;
    std::vector<double> inequality_rhs;
  };
  const std::vector<double> s{1, -2, 0, 0.5};
  const std::vector<double> minus_s{-1, 2, -0.0, -0.5};
  const std::vector<Case> cases{
      {"upper only", -kInf, 0.3, {}, {}, {s}, {0.3}},
      {"lower only", -0.1, kInf, {}, {}, {minus_s}, {0.1}},
      {"pinned", 0.2, 0.2, {s}, {0.2}, {}, {}},
      {"two-sided: upper row first", -0.5, 0.25, {}, {}, {s, minus_s}, {0.25, 0.5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = portfolio(4).with_style_bounds(matrix(1, 4, s), {c.lower}, {c.upper});
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(rows_of(result->equalities()), c.equalities);
    EXPECT_EQ(result->equalities().rhs, c.equality_rhs);
    EXPECT_EQ(rows_of(result->inequalities()), c.inequalities);
    EXPECT_EQ(result->inequalities().rhs, c.inequality_rhs);
    EXPECT_EQ(result->equalities().matrix.cols(), 4u);
    EXPECT_EQ(result->inequalities().matrix.cols(), 4u);
  }
}

TEST(StyleTemplates, RowsFollowTheUsersInStyleOrder) {
  // Styles: r0 two-sided, r1 pinned, r2 upper only, r3 pinned. Equalities get
  // r1, r3 after the user row; inequalities get r0⁺, r0⁻, r2 after the user row.
  const Matrix styles = matrix(4, 3, {1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1});
  auto result = portfolio(3).with_equalities(matrix(1, 3, {1, -1, 0}), {0.0});
  result = std::move(*result).with_inequalities(matrix(1, 3, {0, 1, -1}), {0.5});
  result = std::move(*result).with_style_bounds(styles, {-0.1, 0.3, -kInf, 1.0}, {0.4, 0.3, 0.6, 1.0});
  ASSERT_TRUE(result.has_value()) << result.error().message();
  EXPECT_EQ(rows_of(result->equalities()), (Rows{{1, -1, 0}, {0, 1, 0}, {1, 1, 1}}));
  EXPECT_EQ(result->equalities().rhs, (std::vector<double>{0.0, 0.3, 1.0}));
  EXPECT_EQ(rows_of(result->inequalities()), (Rows{{0, 1, -1}, {1, 0, 0}, {-1, -0.0, -0.0}, {0, 0, 1}}));
  EXPECT_EQ(result->inequalities().rhs, (std::vector<double>{0.5, 0.4, 0.1, 0.6}));
}

TEST(StyleTemplates, AZeroRowMatrixChangesNothing) {
  const PortfolioProblem before = *portfolio(4).with_equalities(matrix(1, 4, {1, 0, 0, 0}), {0.1});
  auto after = PortfolioProblem(before).with_style_bounds(matrix(0, 4, {}), {}, {});
  ASSERT_TRUE(after.has_value()) << after.error().message();
  EXPECT_EQ(*after, before);
}

// ---------------------------------------------------------------------------
// Concentration and short limits

TEST(LimitTemplates, RejectBadLimits) {
  using K = PortfolioError::Kind;
  const std::string weight = "invalid portfolio parameter: max_weight must be finite and positive";
  const std::string shorts = "invalid portfolio parameter: max_short must be finite and non-negative";
  const std::vector<RejectCase> cases{
      {"weight zero", 3, [](PortfolioProblem p) { return std::move(p).with_concentration_limit(0.0); },
       K::InvalidParameter, weight},
      {"weight negative", 3, [](PortfolioProblem p) { return std::move(p).with_concentration_limit(-0.1); },
       K::InvalidParameter, weight},
      {"weight NaN", 3, [](PortfolioProblem p) { return std::move(p).with_concentration_limit(kNaN); },
       K::InvalidParameter, weight},
      {"weight inf", 3, [](PortfolioProblem p) { return std::move(p).with_concentration_limit(kInf); },
       K::InvalidParameter, weight},
      {"short negative", 3, [](PortfolioProblem p) { return std::move(p).with_short_limit(-1e-300); },
       K::InvalidParameter, shorts},
      {"short NaN", 3, [](PortfolioProblem p) { return std::move(p).with_short_limit(kNaN); },
       K::InvalidParameter, shorts},
      {"short inf", 3, [](PortfolioProblem p) { return std::move(p).with_short_limit(kInf); },
       K::InvalidParameter, shorts},
      {"limit empties a box", 3,
       [](PortfolioProblem p) {
         auto r = std::move(p).with_bounds({0, 0, 0.2}, {1, 1, 1});
         return std::move(*r).with_concentration_limit(0.1);
       },
       K::ProblemInvalid, "invalid bounds at index 2: lower 0.2 exceeds upper 0.1"},
      {"short limit empties a box", 2,
       [](PortfolioProblem p) {
         auto r = std::move(p).with_bounds({-1, -1}, {1, -0.5});
         return std::move(*r).with_short_limit(0.2);
       },
       K::ProblemInvalid, "invalid bounds at index 1: lower -0.2 exceeds upper -0.5"},
  };
  expect_rejections(cases);
}

TEST(LimitTemplates, TightenTheBoxElementByElement) {
  struct Case {
    const char* name;
    std::vector<double> lower;
    std::vector<double> upper;
    Builder limit;
    std::vector<double> expected_lower;
    std::vector<double> expected_upper;
  };
  const auto concentration = [](double w) {
    return [w](PortfolioProblem p) { return std::move(p).with_concentration_limit(w); };
  };
  const auto short_limit = [](double s) {
    return [s](PortfolioProblem p) { return std::move(p).with_short_limit(s); };
  };
  const std::vector<Case> cases{
      {"default box", {0, 0, 0}, {1, 1, 1}, concentration(0.1), {0, 0, 0}, {0.1, 0.1, 0.1}},
      {"caps shorts too",
       {-kInf, -0.05, -1},
       {kInf, 0.05, 0.5},
       concentration(0.1),
       {-0.1, -0.05, -0.1},
       {0.1, 0.05, 0.1}},
      {"short limit on an open side",
       {-kInf, 0, -0.01},
       {1, 1, kInf},
       short_limit(0.05),
       {-0.05, 0, -0.01},
       {1, 1, kInf}},
      {"negative-zero short limit",
       {-kInf, -1, 0.5},
       {kInf, 1, 1},
       short_limit(-0.0),
       {0, 0, 0.5},
       {kInf, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto boxed = portfolio(3).with_bounds(c.lower, c.upper);
    ASSERT_TRUE(boxed.has_value());
    PortfolioResult result = c.limit(std::move(*boxed));
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(result->lower_bounds(), c.expected_lower);
    EXPECT_EQ(result->upper_bounds(), c.expected_upper);
    EXPECT_EQ(result->equalities().rows(), 0u);
    EXPECT_EQ(result->inequalities().rows(), 0u);
  }
}

}  // namespace
}  // namespace morva
