#include "anderson.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace morva {
namespace {

// F(u) = M·u + b with M = Q·diag(λ)·Qᵀ, λ spread over [0, 0.99]: a contraction
// whose plain iteration gains a digit only every ~230 steps.
struct AffineMap {
  std::size_t n;
  std::vector<double> m, b, fixed;

  explicit AffineMap(std::size_t size) : n(size), m(size * size), b(size), fixed(size) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    // Q from Gram–Schmidt on a random matrix.
    std::vector<double> q(n * n);
    for (double& v : q) v = normal(rng);
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t p = 0; p < j; ++p) {
        double d = 0.0;
        for (std::size_t i = 0; i < n; ++i) d += q[i * n + j] * q[i * n + p];
        for (std::size_t i = 0; i < n; ++i) q[i * n + j] -= d * q[i * n + p];
      }
      double norm = 0.0;
      for (std::size_t i = 0; i < n; ++i) norm += q[i * n + j] * q[i * n + j];
      for (std::size_t i = 0; i < n; ++i) q[i * n + j] /= std::sqrt(norm);
    }
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j)
        for (std::size_t p = 0; p < n; ++p)
          m[i * n + j] +=
              q[i * n + p] * (0.99 * static_cast<double>(p) / static_cast<double>(n - 1)) * q[j * n + p];
    for (double& v : fixed) v = normal(rng);
    // b = (I − M)·u*, so u* is the fixed point.
    for (std::size_t i = 0; i < n; ++i) {
      b[i] = fixed[i];
      for (std::size_t j = 0; j < n; ++j) b[i] -= m[i * n + j] * fixed[j];
    }
  }

  void apply(const std::vector<double>& u, std::vector<double>& out) const {
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = b[i];
      for (std::size_t j = 0; j < n; ++j) out[i] += m[i * n + j] * u[j];
    }
  }

  double error(const std::vector<double>& u) const {
    double worst = 0.0;
    for (std::size_t i = 0; i < n; ++i) worst = std::max(worst, std::abs(u[i] - fixed[i]));
    return worst;
  }
};

// Steps until ‖u − u*‖∞ ≤ 1e-9 (or `limit`), from u = 0.
std::size_t steps_to_converge(const AffineMap& map, bool accelerate, std::size_t limit) {
  AndersonAcceleration anderson(map.n, 5);
  std::vector<double> u(map.n, 0.0), image(map.n);
  for (std::size_t step = 1; step <= limit; ++step) {
    map.apply(u, image);
    if (accelerate && anderson.extrapolate(u, image)) {
      for (std::size_t i = 0; i < map.n; ++i) image[i] -= anderson.correction()[i];
    }
    u.swap(image);
    if (map.error(u) <= 1e-9) return step;
  }
  return limit;
}

TEST(Anderson, ConvergesOnASlowContractionWherePlainIterationCrawls) {
  const AffineMap map(20);
  EXPECT_LT(steps_to_converge(map, true, 400), 200u);
  EXPECT_EQ(steps_to_converge(map, false, 400), 400u);
}

TEST(Anderson, GrowingResidualRestartsAndKeepsThePlainImage) {
  AndersonAcceleration anderson(2, 3);
  std::vector<double> u{0.0, 0.0}, image{1.0, 1.0};
  EXPECT_FALSE(anderson.extrapolate(u, image));  // nothing stored yet
  u = image;
  image = {1.5, 1.5};
  EXPECT_TRUE(anderson.extrapolate(u, image));  // residual halved: extrapolates
  // A residual far above twice the last one: restart, image untouched.
  u = {2.0, 2.0};
  image = {50.0, -50.0};
  EXPECT_FALSE(anderson.extrapolate(u, image));
  EXPECT_EQ(image, (std::vector<double>{50.0, -50.0}));
}

}  // namespace
}  // namespace morva
