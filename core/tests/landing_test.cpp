#include "landing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace morva {
namespace {

// 60 weights 1e-8 off 0, 0.05 and 0.0125 by turns (Σ ≈ 1.25) under a 5% cap.
const std::vector<double> kLower(60, 0.0), kUpper(60, 0.05);
const std::vector<double> kBook = [] {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> noise(-1e-8, 1e-8);
  std::vector<double> x(60);
  for (std::size_t i = 0; i < 60; ++i) x[i] = (i % 3 == 1 ? 0.05 : i % 3 == 2 ? 0.0125 : 0.0) + noise(rng);
  return x;
}();

// clip(x + τ, l, u), the Euclidean projection for the τ bisected on its sum.
std::vector<double> shifted(double tau) {
  std::vector<double> y(kBook);
  for (double& v : y) v = std::clamp(v + tau, 0.0, 0.05);
  return y;
}

TEST(Landing, IsTheEuclideanProjectionExactlyInsideTheBoxAndOnTheBudget) {
  for (const double budget : {1.0, 1.25, 1.4}) {
    double lo = -1.0, hi = 1.0;
    for (int k = 0; k < 200; ++k)
      (accurate_sum(shifted(0.5 * (lo + hi))) < budget ? lo : hi) = 0.5 * (lo + hi);
    const std::vector<double> y = land(kBook, kLower, kUpper, budget, 1.0).value(), reference = shifted(lo);
    EXPECT_LE(std::abs(accurate_sum(y) - budget), 1e-15 * budget);
    for (std::size_t i = 0; i < y.size(); ++i)
      EXPECT_TRUE(0.0 <= y[i] && y[i] <= 0.05 && std::abs(y[i] - reference[i]) <= 1e-16) << i;
  }
}

TEST(Landing, MovesNoWeightBeyondTheToleranceElseLeavesTheIterate) {
  double outside = 0.0;  // the largest box violation: any landing moves that weight so far
  for (const double v : kBook) outside = std::max({outside, -v, v - 0.05});
  const double budget = accurate_sum(kBook);
  EXPECT_EQ(land(kBook, kLower, kUpper, std::nullopt, outside).value(), shifted(0.0));  // the box alone
  const std::vector<double> y = land(kBook, kLower, kUpper, budget, outside).value();
  for (std::size_t i = 0; i < y.size(); ++i) EXPECT_LE(std::abs(y[i] - kBook[i]), outside) << i;
  EXPECT_EQ(land(kBook, kLower, kUpper, budget, 0.99 * outside).error(), LandingRefusal::TooFar);
  EXPECT_EQ(land(kBook, kLower, kUpper, 1.0, 1e-3).error(), LandingRefusal::TooFar);  // needs τ ≈ −0.0125
  const std::vector<double> feasible{0.25, 0.25, 0.5}, zero(3, 0.0), half(3, 0.5), broken{NAN, 0.5, 0.5};
  EXPECT_EQ(land(feasible, zero, half, 1.0, 0.0).value(), feasible);
  EXPECT_EQ(land(broken, zero, half, 1.0, 1.0).error(), LandingRefusal::NotFinite);
}

}  // namespace
}  // namespace morva
