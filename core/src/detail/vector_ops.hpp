// Small span-level vector kernels shared by the core's translation units:
// finiteness, NaN-aware maxima and norms, and row dot products. Internal to
// the library; every function is inline and depends on no library type.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "simd.hpp"

namespace morva::detail {

// Smallest positive normal double; magnitudes at or below it count as zero
// when a scale factor or a ratio is formed.
inline constexpr double kSmallestNormal = 2.2250738585072014e-308;

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

// Calls visit(i, r) for every i < n with r = i mod 4 (the tail from r = 0),
// four entries a round. Running maxima kept per lane r, each raised as
// raise_to raises, overlap their comparisons where one maximum would chain
// every comparison on the last; a maximum is exact and does not depend on
// the order its values come in, so the lanes' maximum is the single chain's.
template <class Visit>
MORVA_ALWAYS_INLINE inline void for_each_in_lanes(std::size_t n, Visit visit) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    visit(i, 0);
    visit(i + 1, 1);
    visit(i + 2, 2);
    visit(i + 3, 3);
  }
  for (std::size_t r = 0; i < n; ++i, ++r) visit(i, r);
}

// Four running maxima from +0 for for_each_in_lanes, a NaN value leaving a
// lane unchanged.
struct LaneMaxima {
  double lane[4] = {0.0, 0.0, 0.0, 0.0};
  MORVA_ALWAYS_INLINE void raise(std::size_t r, double value) {
    if (value > lane[r]) lane[r] = value;
  }
  double value() const { return std::max(std::max(lane[0], lane[1]), std::max(lane[2], lane[3])); }
};

// max(start, ‖v‖∞) with NaN propagating: the first NaN entry is returned.
// ‖v‖∞ of an empty v is 0. The magnitudes are taken in lanes, and read
// again in order only when one is NaN.
inline double inf_norm(std::span<const double> v, double start = 0.0) {
  if (v.empty()) return start;
  LaneMaxima lanes;
  bool nan = false;
  for_each_in_lanes(v.size(), [&](std::size_t i, std::size_t r) MORVA_ALWAYS_INLINE {
    const double m = std::abs(v[i]);
    nan |= m != m;
    lanes.raise(r, m);
  });
  if (nan) {
    for (double e : v)
      if (std::isnan(e)) return e;
  }
  return std::max(start, lanes.value());
}

// Σ_j row_j·x_j over the common length, left to right.
inline double row_dot(std::span<const double> row, std::span<const double> x) {
  double sum = 0.0;
  const std::size_t len = std::min(row.size(), x.size());
  for (std::size_t j = 0; j < len; ++j) sum += row[j] * x[j];
  return sum;
}

// `largest` raised to the largest and `smallest` lowered to the smallest
// magnitude |v| over the finite nonzero values (inf, NaN and zeros of either
// sign passed over). Extremes do not depend on the order the values come
// in, so alternate entries go to two lanes: a lane keeps |v| where
// 0 < |v| < inf, which NaN fails.
inline void narrow_to_magnitudes(std::span<const double> values, double& largest, double& smallest) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::size_t j = 0;
  double hi = largest;
  double lo = smallest;
#if defined(__GNUC__)
  const Lanes2 infinite = {kInf, kInf};
  const Lanes2 zero = {0.0, 0.0};
  Lanes2 top = {hi, hi};
  Lanes2 bottom = {lo, lo};
  for (; j + 2 <= values.size(); j += 2) {
    const Lanes2 m = magnitude2(load2(values.data() + j));
    const Lanes2 finite = m < infinite ? m : zero;  // NaN and inf to 0
    top = finite > top ? finite : top;
    bottom = finite > zero && finite < bottom ? finite : bottom;
  }
  hi = top[1] > top[0] ? top[1] : top[0];
  lo = bottom[1] < bottom[0] ? bottom[1] : bottom[0];
#endif
  for (; j < values.size(); ++j) {
    const double m = std::abs(values[j]);
    if (!(m < kInf) || m == 0.0) continue;
    hi = m > hi ? m : hi;
    lo = m < lo ? m : lo;
  }
  largest = hi;
  smallest = lo;
}

// The number of nonzero entries of row[0, len), two lanes at a time.
inline std::size_t count_nonzeros(const double* row, std::size_t len) {
  std::size_t c = 0;
  std::size_t count = 0;
#if defined(__GNUC__)
  const Lanes2 zero = {0.0, 0.0};
  using Counts = long long __attribute__((vector_size(16)));
  Counts lanes = {0, 0};
  for (; c + 2 <= len; c += 2) lanes -= load2(row + c) != zero;  // a true lane is −1
  count = static_cast<std::size_t>(lanes[0] + lanes[1]);
#endif
  for (; c < len; ++c) count += row[c] != 0.0;
  return count;
}

}  // namespace morva::detail
