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
  // Σ wᵢ|zᵢ(θ)| and its slope −Σ wᵢ² over the assets on their linear piece.
  const auto gross_at = [&](double t, double& slope) {
    double sum = 0.0;
    slope = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double w = leverage.weight(i);
      const double shrunk = v[i] > t * w ? v[i] - t * w : (v[i] < -t * w ? v[i] + t * w : 0.0);
      const double clipped = std::clamp(shrunk, lower[i], upper[i]);
      if (clipped != 0.0 && clipped == shrunk) slope -= w * w;
      sum += w * std::abs(clipped);
    }
    return sum;
  };
  const auto write = [&](double t) {
    for (std::size_t i = 0; i < n; ++i) {
      const double w = leverage.weight(i);
      const double shrunk = v[i] > t * w ? v[i] - t * w : (v[i] < -t * w ? v[i] + t * w : 0.0);  // 0 at t = ∞
      z[i] = std::clamp(shrunk, lower[i], upper[i]);
    }
  };
  const double limit = leverage.limit;
  double slope = 0.0;
  if (gross_at(0.0, slope) <= limit) {
    write(0.0);
    return 0.0;
  }
  // At θ = max |vᵢ|/wᵢ every shrunk value is zero: z is the box's point
  // nearest zero, the least gross the box allows.
  double high = 0.0;
  for (std::size_t i = 0; i < n; ++i) high = std::max(high, std::abs(v[i]) / leverage.weight(i));
  if (gross_at(high, slope) > limit) {
    write(std::numeric_limits<double>::infinity());
    return std::numeric_limits<double>::infinity();
  }
  // Bracket [low, high]: the gross exceeds the limit at low and meets it at
  // high. Newton on the current linear piece, bisection when it leaves the
  // bracket.
  double low = 0.0;
  double t = theta > low && theta < high ? theta : 0.5 * high;
  constexpr int kMaxSteps = 100;
  for (int step = 0; step < kMaxSteps; ++step) {
    const double excess = gross_at(t, slope) - limit;
    if (excess > 0.0) {
      low = t;
    } else {
      high = t;
      if (excess >= -1e-15 * limit) break;
    }
    double next = slope < 0.0 ? t - excess / slope : low;
    if (!(next > low && next < high)) next = 0.5 * (low + high);
    if (high - low <= 1e-15 * high || next == t) break;
    t = next;
  }
  t = high;
  write(t);
  return t;
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
