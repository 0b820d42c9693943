// The input table's shapes are promises the builders keep: starting from
// fields where every input is set and valid, one entry more along the extent
// an input's row names (an asset, a row's right-hand side, a factor, a group)
// must be refused.
#include "morva/portfolio_inputs.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "morva/portfolio.hpp"
#include "support/dense.hpp"
#include "support/portfolio_fixture.hpp"

namespace morva {
namespace {

using fixture::matrix;
using fixture::portfolio;

constexpr std::size_t kAssets = 3;

// Every input set, the industries with explicit targets, the costs one per asset.
PortfolioFields every_input() {
  const FactorQuad covariance = portfolio(kAssets).covariance();
  return {
      .factors = FactorScan::of(covariance.factors()),
      .omega = covariance.omega,
      .specific_variance = covariance.diagonal,
      .expected_returns = {0.05, 0.06, 0.07},
      .risk_aversion = 2.5,
      .budget = 0.9,
      .lower_bounds = std::vector<double>{-0.5, -0.5, -0.5},
      .upper_bounds = std::vector<double>{0.8, 0.8, 0.8},
      .equality_matrix = matrix(1, kAssets, {1.0, -1.0, 0.0}),
      .equality_rhs = std::vector<double>{0.0},
      .inequality_matrix = matrix(1, kAssets, {0.0, 1.0, 1.0}),
      .inequality_rhs = std::vector<double>{0.7},
      .previous_weights = std::vector<double>{0.3, 0.3, 0.4},
      .turnover_penalty = 0.1,
      .l1_turnover_costs = L1Costs(std::vector<double>{0.002, 0.001, 0.002}),
      .benchmark_weights = std::vector<double>{0.2, 0.5, 0.3},
      .industry_ids = std::vector<std::uint64_t>{0, 1, 0},
      .industry_targets = std::vector<double>{0.5, 0.4},
      .style_matrix = matrix(1, kAssets, {1.0, 0.0, -1.0}),
      .style_lower = std::vector<double>{-0.2},
      .style_upper = std::vector<double>{0.2},
      .max_weight = 0.6,
      .max_short = 0.1,
  };
}

// One entry more along the extent `shape` names.
template <class T>
void grow(std::vector<T>& values, Shape) {
  values.push_back(T{});
}

void grow(Matrix& values, Shape shape) {
  // n × k gains an asset (a row), m × n an asset (a column).
  const std::size_t rows = values.rows() + (shape == Shape::AssetsByFactors ? 1 : 0);
  const std::size_t cols = values.cols() + (shape == Shape::AssetsByFactors ? 0 : 1);
  values = matrix(rows, cols, std::vector<double>(rows * cols, 0.5));
}

void grow(FactorScan& factors, Shape shape) {
  Matrix values = factors.factors();
  grow(values, shape);
  factors = FactorScan::of(std::move(values));
}

void grow(FactorCovariance& omega, Shape shape) {
  grow(omega.diagonal_values(), shape);
}

void grow(L1Costs& costs, Shape shape) {
  grow(std::get<std::vector<double>>(costs), shape);
}

template <class T>
void grow(std::optional<T>& value, Shape shape) {
  grow(*value, shape);
}

TEST(PortfolioInputs, EveryInputIsHeldToTheShapeOfItsRow) {
  ASSERT_TRUE(build_portfolio(every_input()).has_value());
  for_each_input([&](const auto& row, auto index) {
    if constexpr (std::get<index>(kPortfolioInputs).shape != Shape::Scalar) {
      PortfolioFields fields = every_input();
      grow(fields.*row.member, row.shape);
      EXPECT_FALSE(build_portfolio(std::move(fields)).has_value()) << row.name;
    }
  });
}

}  // namespace
}  // namespace morva
