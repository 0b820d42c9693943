#include "support/random_portfolio.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "support/dense.hpp"

namespace morva::fixture {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMinSubnormal = std::numeric_limits<double>::denorm_min();

using dense::matrix;

// Values chosen to stress the number texts: subnormals, the extremes of the
// double range, negative zero, integral values, exponent-form magnitudes.
const std::vector<double> kSpecialValues = {0.0,
                                            -0.0,
                                            kMinSubnormal,
                                            -kMinSubnormal,
                                            2.5e-310,
                                            2.2250738585072014e-308,
                                            1e-300,
                                            -1e-300,
                                            1e308,
                                            -1e308,
                                            std::numeric_limits<double>::max(),
                                            1e-7,
                                            250.0,
                                            0.1,
                                            -0.04,
                                            1e16,
                                            123456789012345680.0,
                                            1.0 / 3.0};
const std::vector<double> kSpecialNonNegative = {0.0,   -0.0, kMinSubnormal, 2.5e-310, 1e-300,
                                                 1e308, 1e-7, 250.0,         0.1};

struct ValueSource {
  dense::Random random;

  double bits_value() {
    for (;;) {
      const double v = std::bit_cast<double>(random.next());
      if (std::isfinite(v)) return v;
    }
  }
  double any() {
    switch (random.below(3)) {
      case 0: return random.uniform(-1.0, 1.0);
      case 1: return kSpecialValues[random.below(kSpecialValues.size())];
      default: return bits_value();
    }
  }
  double non_negative() {
    switch (random.below(3)) {
      case 0: return random.uniform(0.0, 1.0);
      case 1: return kSpecialNonNegative[random.below(kSpecialNonNegative.size())];
      default: return std::fabs(bits_value());
    }
  }
  double positive() {
    const double v = non_negative();
    return v > 0.0 ? v : 2.5;
  }
  std::vector<double> vector(std::size_t n, bool non_negative_only = false) {
    std::vector<double> out(n);
    for (double& v : out) v = non_negative_only ? non_negative() : any();
    return out;
  }
};

// Builders that a random draw may legitimately violate (a limit that empties
// a box) are tried on a copy and skipped when they fail.
void try_apply(PortfolioProblem& p, const std::function<PortfolioResult(PortfolioProblem&&)>& builder) {
  auto result = builder(PortfolioProblem(p));
  if (result) p = std::move(*result);
}

}  // namespace

PortfolioProblem unwrap(PortfolioResult result) {
  if (!result) {
    ADD_FAILURE() << "builder failed: " << result.error().message();
    std::abort();
  }
  return std::move(*result);
}

PortfolioProblem random_problem(std::uint64_t seed, const Features& f) {
  ValueSource v{dense::Random(seed)};
  const std::size_t n = f.n;
  const std::size_t k = f.k;
  FactorCovariance omega;
  if (f.dense_omega) {
    std::vector<double> data(k * k);
    for (std::size_t r = 0; r < k; ++r) {
      for (std::size_t c = 0; c <= r; ++c) data[r * k + c] = data[c * k + r] = v.any();
    }
    omega = FactorCovariance::dense(matrix(k, k, std::move(data)));
  } else {
    omega = FactorCovariance::diagonal(v.vector(k, true));
  }
  PortfolioProblem p = unwrap(PortfolioProblem::create(matrix(n, k, v.vector(n * k)), std::move(omega),
                                                       v.vector(n, true), v.vector(n)));
  p = unwrap(std::move(p).with_risk_aversion(v.positive()));
  if (f.budget_mode == 1) p = unwrap(std::move(p).with_budget(std::nullopt));
  if (f.budget_mode == 2) p = unwrap(std::move(p).with_budget(v.any()));
  std::vector<double> lower(n), upper(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double a = v.any(), b = v.any();
    lower[i] = std::fmin(a, b);
    upper[i] = std::fmax(a, b);
    if (v.random.chance(f.infinite_side_chance)) lower[i] = -kInf;
    if (v.random.chance(f.infinite_side_chance)) upper[i] = kInf;
  }
  p = unwrap(std::move(p).with_bounds(std::move(lower), std::move(upper)));
  if (f.equalities) {
    const std::size_t m = 1 + v.random.below(3);
    p = unwrap(std::move(p).with_equalities(matrix(m, n, v.vector(m * n)), v.vector(m)));
  }
  if (f.inequalities) {
    const std::size_t m = 1 + v.random.below(3);
    p = unwrap(std::move(p).with_inequalities(matrix(m, n, v.vector(m * n)), v.vector(m)));
  }
  std::vector<double> previous = v.vector(n);
  if (f.previous) p = unwrap(std::move(p).with_quadratic_turnover(previous, v.non_negative()));
  if (f.l1) p = unwrap(std::move(p).with_l1_turnover(previous, v.vector(n, true)));
  if (f.benchmark || f.neutrality) {
    // Neutrality targets are sums of benchmark weights: moderate values keep
    // them finite.
    std::vector<double> benchmark = f.neutrality ? std::vector<double>(n) : v.vector(n);
    if (f.neutrality) {
      for (double& b : benchmark) b = v.random.uniform(-1.0, 1.0);
    }
    p = unwrap(std::move(p).with_tracking_benchmark(std::move(benchmark)));
  }
  if (n > 0) {
    const std::size_t groups = 1 + v.random.below(n);
    std::vector<std::uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = i % groups;
    if (f.groups) p = unwrap(std::move(p).with_group_targets(ids, v.vector(groups)));
    if (f.neutrality) p = unwrap(std::move(p).with_industry_neutrality(ids));
  }
  if (f.style) {
    const std::size_t s = 1 + v.random.below(3);
    std::vector<double> style_lower(s), style_upper(s);
    for (std::size_t r = 0; r < s; ++r) {
      const double a = v.random.uniform(-1.0, 0.0), b = v.random.uniform(0.0, 1.0);
      switch (v.random.below(4)) {
        case 0: style_lower[r] = a, style_upper[r] = b; break;
        case 1: style_lower[r] = -kInf, style_upper[r] = b; break;
        case 2: style_lower[r] = a, style_upper[r] = kInf; break;
        default: style_lower[r] = style_upper[r] = b; break;
      }
    }
    p = unwrap(std::move(p).with_style_bounds(matrix(s, n, v.vector(s * n)), style_lower, style_upper));
  }
  if (f.concentration) {
    const double w = v.positive();
    try_apply(p, [w](PortfolioProblem&& q) { return std::move(q).with_concentration_limit(w); });
  }
  if (f.short_limit) {
    const double s = v.non_negative();
    try_apply(p, [s](PortfolioProblem&& q) { return std::move(q).with_short_limit(s); });
  }
  return p;
}

Features random_features(std::uint64_t seed) {
  dense::Random r(seed * 7919 + 17);
  Features f;
  f.n = 1 + r.below(6);
  f.k = r.below(4);
  f.dense_omega = r.chance(0.5);
  f.budget_mode = static_cast<int>(r.below(3));
  f.infinite_side_chance = r.chance(0.6) ? 0.4 : 0.0;
  f.equalities = r.chance(0.5);
  f.inequalities = r.chance(0.5);
  f.previous = r.chance(0.5);
  f.l1 = r.chance(0.4);
  f.benchmark = r.chance(0.5);
  f.groups = r.chance(0.3);
  f.neutrality = r.chance(0.3);
  f.style = r.chance(0.4);
  f.concentration = r.chance(0.3);
  f.short_limit = r.chance(0.3);
  return f;
}

Features every_feature() {
  return Features{.n = 5,
                  .k = 3,
                  .dense_omega = true,
                  .budget_mode = 2,
                  .infinite_side_chance = 0.5,
                  .equalities = true,
                  .inequalities = true,
                  .previous = true,
                  .l1 = true,
                  .benchmark = true,
                  .groups = true,
                  .neutrality = true,
                  .style = true,
                  .concentration = true,
                  .short_limit = true};
}

}  // namespace morva::fixture
