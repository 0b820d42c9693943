// Building a portfolio from decoded fields: every input rule refused with its
// exact text, the first broken rule in builder order winning, and the result
// equal to the builders called by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "morva/portfolio.hpp"
#include "support/dense.hpp"
#include "support/portfolio_fixture.hpp"

namespace morva {
namespace {

using fixture::matrix;
using fixture::message_of;
using fixture::portfolio;

constexpr std::size_t kAssets = 3;

// The fixture portfolio's data with nothing optional set.
PortfolioFields base_fields() {
  const PortfolioProblem problem = portfolio(kAssets);
  PortfolioFields fields;
  fields.factors = FactorScan::of(problem.covariance().factors());
  fields.omega = problem.covariance().omega;
  fields.specific_variance = problem.covariance().diagonal;
  fields.expected_returns = problem.expected_returns();
  return fields;
}

struct FieldsCase {
  const char* name;
  std::function<void(PortfolioFields&)> change;
  std::string message;
};

class BuildPortfolioRefuses : public testing::TestWithParam<FieldsCase> {};

TEST_P(BuildPortfolioRefuses, WithTheExactMessage) {
  PortfolioFields fields = base_fields();
  GetParam().change(fields);
  EXPECT_EQ(message_of(build_portfolio(std::move(fields))), GetParam().message);
}

const std::vector<double> kThree{0.1, 0.2, 0.3};

INSTANTIATE_TEST_SUITE_P(
    OneRuleEach, BuildPortfolioRefuses,
    testing::Values(
        FieldsCase{"lower_alone", [](PortfolioFields& f) { f.lower_bounds = kThree; },
                   "lower_bounds and upper_bounds must be provided together"},
        FieldsCase{"upper_alone", [](PortfolioFields& f) { f.upper_bounds = kThree; },
                   "lower_bounds and upper_bounds must be provided together"},
        FieldsCase{"equality_rhs_alone", [](PortfolioFields& f) { f.equality_rhs = {1.0}; },
                   "equality_matrix and equality_rhs must be provided together"},
        FieldsCase{"inequality_matrix_alone",
                   [](PortfolioFields& f) { f.inequality_matrix = matrix(1, kAssets, kThree); },
                   "inequality_matrix and inequality_rhs must be provided together"},
        FieldsCase{"penalty_without_anchor", [](PortfolioFields& f) { f.turnover_penalty = 0.5; },
                   "previous_weights is required when turnover_penalty is non-zero"},
        FieldsCase{"nan_penalty_without_anchor",
                   [](PortfolioFields& f) { f.turnover_penalty = std::numeric_limits<double>::quiet_NaN(); },
                   "previous_weights is required when turnover_penalty is non-zero"},
        // The kind of the costs is not looked at before the anchor exists.
        FieldsCase{"unreadable_costs_without_anchor",
                   [](PortfolioFields& f) { f.l1_turnover_costs = UnreadableCosts{}; },
                   "previous_weights is required when l1_turnover_costs is provided"},
        FieldsCase{"unreadable_costs",
                   [](PortfolioFields& f) {
                     f.previous_weights = kThree;
                     f.l1_turnover_costs = UnreadableCosts{};
                   },
                   "l1_turnover_costs must be a float or a one-dimensional float array"},
        FieldsCase{"targets_without_ids", [](PortfolioFields& f) { f.industry_targets = {1.0}; },
                   "industry_targets requires industry_ids"},
        FieldsCase{"style_matrix_alone",
                   [](PortfolioFields& f) { f.style_matrix = matrix(1, kAssets, kThree); },
                   "style_matrix, style_lower, and style_upper must be provided together"},
        FieldsCase{"style_bounds_without_matrix",
                   [](PortfolioFields& f) {
                     f.style_lower = {0.0};
                     f.style_upper = {1.0};
                   },
                   "style_matrix, style_lower, and style_upper must be provided together"},
        // Earlier builders win over later input rules, in chain order.
        FieldsCase{"risk_aversion_before_bounds",
                   [](PortfolioFields& f) {
                     f.risk_aversion = -1.0;
                     f.lower_bounds = kThree;
                   },
                   "invalid portfolio parameter: risk_aversion must be finite and positive"},
        FieldsCase{"bounds_before_equalities",
                   [](PortfolioFields& f) {
                     f.upper_bounds = kThree;
                     f.equality_rhs = {1.0};
                   },
                   "lower_bounds and upper_bounds must be provided together"},
        FieldsCase{"quadratic_turnover_before_costs",
                   [](PortfolioFields& f) {
                     f.previous_weights = kThree;
                     f.turnover_penalty = -1.0;
                     f.l1_turnover_costs = UnreadableCosts{};
                   },
                   "invalid portfolio parameter: turnover_penalty must be finite and non-negative"},
        FieldsCase{"anchor_before_industries",
                   [](PortfolioFields& f) {
                     f.turnover_penalty = 1.0;
                     f.industry_targets = {1.0};
                   },
                   "previous_weights is required when turnover_penalty is non-zero"},
        FieldsCase{"styles_before_limits",
                   [](PortfolioFields& f) {
                     f.style_lower = {0.0};
                     f.max_weight = -1.0;
                   },
                   "style_matrix, style_lower, and style_upper must be provided together"},
        FieldsCase{"concentration_before_short_limit",
                   [](PortfolioFields& f) {
                     f.max_weight = 0.0;
                     f.max_short = -1.0;
                   },
                   "invalid portfolio parameter: max_weight must be finite and positive"}),
    [](const testing::TestParamInfo<FieldsCase>& info) { return std::string(info.param.name); });

// Every field set: the chain must equal the builders called in their order.
TEST(BuildPortfolio, EqualsTheBuildersCalledByHand) {
  PortfolioFields fields = base_fields();
  fields.risk_aversion = 2.5;
  fields.budget = 0.9;
  fields.lower_bounds = std::vector<double>{-0.5, -0.5, -0.5};
  fields.upper_bounds = std::vector<double>{0.8, 0.8, 0.8};
  fields.equality_matrix = matrix(1, kAssets, {1.0, -1.0, 0.0});
  fields.equality_rhs = std::vector<double>{0.0};
  fields.inequality_matrix = matrix(1, kAssets, {0.0, 1.0, 1.0});
  fields.inequality_rhs = std::vector<double>{0.7};
  fields.previous_weights = std::vector<double>{0.3, 0.3, 0.4};
  fields.turnover_penalty = 0.1;
  fields.l1_turnover_costs = 0.002;  // one cost for every asset
  fields.benchmark_weights = std::vector<double>{0.2, 0.5, 0.3};
  fields.industry_ids = std::vector<std::uint64_t>{0, 1, 0};
  fields.style_matrix = matrix(1, kAssets, {1.0, 0.0, -1.0});
  fields.style_lower = std::vector<double>{-0.2};
  fields.style_upper = std::vector<double>{0.2};
  fields.max_weight = 0.6;
  fields.max_short = 0.1;
  const auto built = build_portfolio(fields);
  ASSERT_TRUE(built.has_value()) << built.error().message();

  auto by_hand = PortfolioProblem::create(fields.factors, fields.omega, fields.specific_variance,
                                          fields.expected_returns);
  if (by_hand) by_hand = std::move(*by_hand).with_risk_aversion(2.5);
  if (by_hand) by_hand = std::move(*by_hand).with_budget(0.9);
  if (by_hand) by_hand = std::move(*by_hand).with_bounds(*fields.lower_bounds, *fields.upper_bounds);
  if (by_hand) by_hand = std::move(*by_hand).with_equalities(*fields.equality_matrix, *fields.equality_rhs);
  if (by_hand)
    by_hand = std::move(*by_hand).with_inequalities(*fields.inequality_matrix, *fields.inequality_rhs);
  if (by_hand) by_hand = std::move(*by_hand).with_quadratic_turnover(*fields.previous_weights, 0.1);
  if (by_hand) {
    by_hand =
        std::move(*by_hand).with_l1_turnover(*fields.previous_weights, std::vector<double>(kAssets, 0.002));
  }
  if (by_hand) by_hand = std::move(*by_hand).with_tracking_benchmark(*fields.benchmark_weights);
  if (by_hand) by_hand = std::move(*by_hand).with_industry_neutrality(*fields.industry_ids);
  if (by_hand) {
    by_hand =
        std::move(*by_hand).with_style_bounds(*fields.style_matrix, *fields.style_lower, *fields.style_upper);
  }
  if (by_hand) by_hand = std::move(*by_hand).with_concentration_limit(0.6);
  if (by_hand) by_hand = std::move(*by_hand).with_short_limit(0.1);
  ASSERT_TRUE(by_hand.has_value()) << by_hand.error().message();
  EXPECT_EQ(*built, *by_hand);
}

// Absent optional fields leave the constructor's defaults; an absent budget
// drops the budget row.
TEST(BuildPortfolio, AbsentFieldsKeepTheDefaults) {
  const auto built = build_portfolio(base_fields());
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(*built, portfolio(kAssets));

  PortfolioFields no_budget = base_fields();
  no_budget.budget = std::nullopt;
  const auto free = build_portfolio(std::move(no_budget));
  ASSERT_TRUE(free.has_value());
  EXPECT_FALSE(free->budget().has_value());
}

// Explicit targets take precedence over the benchmark-derived ones.
TEST(BuildPortfolio, IndustryTargetsSelectTheGroupTemplate) {
  PortfolioFields fields = base_fields();
  fields.industry_ids = std::vector<std::uint64_t>{1, 0, 1};
  fields.industry_targets = std::vector<double>{0.4, 0.6};
  const auto built = build_portfolio(std::move(fields));
  ASSERT_TRUE(built.has_value()) << built.error().message();
  EXPECT_EQ(built->equalities().rhs, (std::vector<double>{0.4, 0.6}));
  const std::span<const double> rows = built->equalities().matrix.data();
  EXPECT_EQ(std::vector<double>(rows.begin(), rows.end()), (std::vector<double>{0, 1, 0, 1, 0, 1}));
}

}  // namespace
}  // namespace morva
