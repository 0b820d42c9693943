#include "morva/problem.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "detail/vector_ops.hpp"

namespace morva {
namespace {

using detail::all_finite;

// Shape first (columns, then right-hand side length), then finiteness (matrix, then rhs).
std::expected<void, ProblemError> validate_block(const LinearConstraints& block, std::size_t n,
                                                 const char* name, DataEntries entries) {
  const std::size_t rows = block.matrix.rows();
  if (block.matrix.cols() != n) {
    return std::unexpected(ProblemError::dimension_mismatch(name, n, block.matrix.cols()));
  }
  if (block.rhs.size() != rows) {
    return std::unexpected(ProblemError::dimension_mismatch(name, rows, block.rhs.size()));
  }
  if ((entries == DataEntries::Check && !all_finite(block.matrix.data())) || !all_finite(block.rhs)) {
    return std::unexpected(ProblemError::non_finite(name));
  }
  return {};
}

}  // namespace

std::expected<void, ProblemError> L1Term::validate(std::size_t n) const {
  if (costs.size() != n)
    return std::unexpected(ProblemError::dimension_mismatch("l1.costs", n, costs.size()));
  if (anchor.size() != n) {
    return std::unexpected(ProblemError::dimension_mismatch("l1.anchor", n, anchor.size()));
  }
  if (auto valid = validate_l1_costs(costs); !valid) return valid;
  if (!all_finite(anchor)) return std::unexpected(ProblemError::non_finite("l1.anchor"));
  return {};
}

std::expected<void, ProblemError> validate_l1_costs(std::span<const double> costs) {
  // -0.0 passes: (-0.0 < 0.0) is false.
  const bool costs_ok =
      std::all_of(costs.begin(), costs.end(), [](double c) { return std::isfinite(c) && !(c < 0.0); });
  if (!costs_ok) {
    return std::unexpected(ProblemError::non_convex("l1 costs must be finite and non-negative"));
  }
  return {};
}

std::expected<void, ProblemError> validate_box_values(std::span<const double> lower,
                                                      std::span<const double> upper) {
  // Infinite sides pass; NaN is reported before any crossing at the same index.
  for (std::size_t i = 0; i < std::min(lower.size(), upper.size()); ++i) {
    const double lo = lower[i];
    const double hi = upper[i];
    if (std::isnan(lo) || std::isnan(hi)) return std::unexpected(ProblemError::non_finite("bounds"));
    if (lo > hi) return std::unexpected(ProblemError::invalid_bounds(i, lo, hi));
  }
  return {};
}

std::expected<void, ProblemError> QpProblem::validate(DataEntries entries) const {
  if (auto quad = quadratic.validate(entries); !quad) return quad;
  const std::size_t n = quadratic.assets();

  if (linear.size() != n)
    return std::unexpected(ProblemError::dimension_mismatch("linear", n, linear.size()));
  if (lower_bounds.size() != n) {
    return std::unexpected(ProblemError::dimension_mismatch("lower_bounds", n, lower_bounds.size()));
  }
  if (upper_bounds.size() != n) {
    return std::unexpected(ProblemError::dimension_mismatch("upper_bounds", n, upper_bounds.size()));
  }

  if (auto eq = validate_block(equalities, n, "equalities", entries); !eq) return eq;
  if (auto in = validate_block(inequalities, n, "inequalities", entries); !in) return in;

  if (!all_finite(linear)) return std::unexpected(ProblemError::non_finite("linear"));

  if (l1) {
    if (auto term = l1->validate(n); !term) return term;
  }
  if (leverage && (!(std::isfinite(leverage->limit) && leverage->limit > 0.0) ||
                   (!leverage->weights.empty() && leverage->weights.size() != n))) {
    return std::unexpected(ProblemError::non_finite("gross_leverage"));
  }

  return validate_box_values(lower_bounds, upper_bounds);
}

double GrossLeverage::gross(std::span<const double> x) const {
  double sum = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) sum += weight(i) * std::abs(x[i]);
  return sum;
}

double project_box_and_leverage(std::span<const double> v, std::span<const double> lower,
                                std::span<const double> upper, const GrossLeverage& leverage, double theta,
                                std::span<double> z) {
  const std::size_t n = v.size();
  // z(θ) written, and Σ wᵢ|zᵢ(θ)| with its slope −Σ wᵢ² over the assets on
  // their linear piece (shrunk, neither zero nor clipped). θ = ∞ leaves the
  // box's point nearest zero.
  double slope = 0.0;
  const auto gross_at = [&](double t) {
    double sum = 0.0;
    slope = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double w = leverage.weight(i);
      const double shrink = t * w;
      const double shrunk = v[i] > shrink ? v[i] - shrink : (v[i] < -shrink ? v[i] + shrink : 0.0);
      const double clipped = std::clamp(shrunk, lower[i], upper[i]);
      if (clipped != 0.0 && clipped == shrunk) slope -= w * w;
      z[i] = clipped;
      sum += w * std::abs(clipped);
    }
    return sum;
  };
  const double limit = leverage.limit;
  // At θ = max |vᵢ|/wᵢ every shrunk value is zero: the least gross the box allows.
  double high = 0.0;
  for (std::size_t i = 0; i < n; ++i) high = std::max(high, std::abs(v[i]) / leverage.weight(i));
  // Bracket [low, high] of the least θ that meets the limit. Newton on the
  // current linear piece lands on the root unless a kink lies between;
  // bisection when a step leaves the bracket. A gross within rounding of the
  // limit (either side) ends the search; the last θ's warm start is tried
  // first, and θ = 0 whenever the clipped point fits.
  constexpr double kRounding = 1e-14;
  constexpr int kMaxSteps = 100;
  double low = 0.0;
  double t = theta > 0.0 && theta < high ? theta : 0.0;
  bool zero_tried = t == 0.0;
  for (int step = 0; step < kMaxSteps; ++step) {
    const double excess = gross_at(t) - limit;
    if ((t == 0.0 && excess <= 0.0) || (t > 0.0 && std::abs(excess) <= kRounding * limit)) return t;
    (excess > 0.0 ? low : high) = t;
    if (high - low <= kRounding * high) break;
    const double next = slope < 0.0 ? t - excess / slope : (excess < 0.0 ? low : 0.5 * (low + high));
    if (!zero_tried && next <= 0.0) {  // past the root from a warm start: does θ = 0 fit?
      zero_tried = true;
      t = 0.0;
      continue;
    }
    t = next > low && next < high ? next : 0.5 * (low + high);
  }
  if (gross_at(high) > limit * (1.0 + kRounding)) {
    gross_at(std::numeric_limits<double>::infinity());  // no θ meets it
    return std::numeric_limits<double>::infinity();
  }
  return high;
}

std::expected<ValidatedQp, ProblemError> ValidatedQp::of(QpProblem problem, DataEntries entries) {
  if (auto valid = problem.validate(entries); !valid) return std::unexpected(std::move(valid.error()));
  return ValidatedQp(std::move(problem));
}

double QpProblem::objective(std::span<const double> x) const {
  return objective(x, quadratic.apply(x));
}

double QpProblem::objective(std::span<const double> x, std::span<const double> px) const {
  // ½·xᵀPx: the dot product first, then halved.
  double dot = 0.0;
  for (std::size_t i = 0; i < px.size(); ++i) dot += x[i] * px[i];

  double lin = 0.0;
  const std::size_t n_lin = std::min(linear.size(), x.size());
  for (std::size_t i = 0; i < n_lin; ++i) lin += linear[i] * x[i];

  double l1_value = 0.0;
  if (l1) {
    const std::size_t n_l1 = std::min({l1->costs.size(), l1->anchor.size(), x.size()});
    for (std::size_t i = 0; i < n_l1; ++i) l1_value += l1->costs[i] * std::abs(x[i] - l1->anchor[i]);
  }
  return (0.5 * dot + lin) + l1_value;
}

}  // namespace morva
