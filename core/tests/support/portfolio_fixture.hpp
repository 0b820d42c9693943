// Small valid portfolios for the portfolio-model tests, and helpers that read
// a builder result as "the problem" or "the error message".
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "morva/matrix.hpp"
#include "morva/portfolio.hpp"
#include "support/dense.hpp"

namespace morva::fixture {

// n assets, two factors with diagonal Ω = diag(0.04, 0.01), F_i = (1, (i mod 3) − 1),
// specific variances 0.02 + 0.01·i and returns 0.05 + 0.01·i. Valid for every n.
inline PortfolioProblem portfolio(std::size_t n) {
  std::vector<double> factors;
  std::vector<double> specific;
  std::vector<double> returns;
  for (std::size_t i = 0; i < n; ++i) {
    factors.push_back(1.0);
    factors.push_back(static_cast<double>(i % 3) - 1.0);
    specific.push_back(0.02 + 0.01 * static_cast<double>(i));
    returns.push_back(0.05 + 0.01 * static_cast<double>(i));
  }
  auto matrix = Matrix::create(n, 2, std::move(factors));
  auto problem = PortfolioProblem::create(std::move(*matrix), FactorCovariance::diagonal({0.04, 0.01}),
                                          std::move(specific), std::move(returns));
  EXPECT_TRUE(problem.has_value());
  return std::move(*problem);
}

using dense::matrix;

// The error message of a failed result, or a marker text when it succeeded.
template <typename T>
std::string message_of(const std::expected<T, PortfolioError>& result) {
  return result ? std::string("<success>") : result.error().message();
}

}  // namespace morva::fixture
