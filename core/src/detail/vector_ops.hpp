// Small span-level vector kernels shared by the core's translation units:
// finiteness, NaN-aware maxima and norms, and row dot products. Internal to
// the library; every function is inline and depends on no library type.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "simd.hpp"

namespace morva::detail {

inline bool all_finite(std::span<const double> v) {
  return std::all_of(v.begin(), v.end(), [](double e) { return std::isfinite(e); });
}

// Finite and not negative; −0.0 passes because −0.0 < 0 is false.
inline bool finite_non_negative(double v) {
  return std::isfinite(v) && !(v < 0.0);
}

// max(a, b) that ignores a NaN operand (NaN only when both are NaN).
inline double max_ignoring_nan(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return std::max(a, b);
}

// Raises a running maximum to `value`; a NaN value leaves it unchanged.
inline void raise_to(double& running, double value) {
  if (value > running) running = value;
}

// max(v, 0) and min(v, 0) with a NaN operand mapped to 0.
inline double positive_part(double v) {
  return v > 0.0 ? v : 0.0;
}
inline double negative_part(double v) {
  return v < 0.0 ? v : 0.0;
}

// max(start, ‖v‖∞) with NaN propagating: the first NaN entry is returned.
// ‖v‖∞ of an empty v is 0.
inline double inf_norm(std::span<const double> v, double start = 0.0) {
  double norm = start;
  for (double e : v) {
    if (std::isnan(e)) return e;
    norm = std::max(norm, std::abs(e));
  }
  return norm;
}

// Σ_j row_j·x_j over the common length, left to right.
inline double row_dot(std::span<const double> row, std::span<const double> x) {
  double sum = 0.0;
  const std::size_t len = std::min(row.size(), x.size());
  for (std::size_t j = 0; j < len; ++j) sum += row[j] * x[j];
  return sum;
}

}  // namespace morva::detail
