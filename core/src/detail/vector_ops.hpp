// Small vector kernels shared by the core's translation units: NaN-aware
// maxima and norms, row dot products and transpose accumulation over the
// row-major Matrix. Internal to the library; every function is inline.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>

#include "morva/kkt.hpp"
#include "morva/matrix.hpp"

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

// ‖A·x‖∞ with every row dotted by row_dot; NaN propagating: the first NaN
// row product is returned.
inline double image_inf_norm(const Matrix& a, std::span<const double> x) {
  double norm = 0.0;
  for (std::size_t i = 0; i < a.rows(); ++i) {
    const double e = row_dot(a.row(i), x);
    if (std::isnan(e)) return e;
    norm = std::max(norm, std::abs(e));
  }
  return norm;
}

// Σ_c a_c·b_c in four interleaved partial sums, so that the additions do not
// form one serial dependency chain:
//   s_r = Σ a_c·b_c over c ≡ r (mod 4) in the leading ⌊len/4⌋·4 terms, each
//         partial sum accumulated in increasing c,
//   s_0 then takes the remaining len mod 4 terms in increasing c,
//   result = (s_0 + s_1) + (s_2 + s_3).
inline double dot_partial_sums(const double* a, const double* b, std::size_t len) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t c = 0;
  for (; c + 4 <= len; c += 4) {
    s0 += a[c] * b[c];
    s1 += a[c + 1] * b[c + 1];
    s2 += a[c + 2] * b[c + 2];
    s3 += a[c + 3] * b[c + 3];
  }
  for (; c < len; ++c) s0 += a[c] * b[c];
  return (s0 + s1) + (s2 + s3);
}

// out += Aᵀ·y over the common sizes, accumulated row by row of the row-major
// matrix so that A is read once in storage order.
inline void add_transpose_product(const Matrix& a, std::span<const double> y, std::span<double> out) {
  const std::size_t rows = std::min(a.rows(), y.size());
  const std::size_t cols = std::min(a.cols(), out.size());
  for (std::size_t i = 0; i < rows; ++i) {
    const auto row = a.row(i);
    const double yi = y[i];
    for (std::size_t j = 0; j < cols; ++j) out[j] += row[j] * yi;
  }
}

// One block of a length check; the name is only copied into an error.
struct BlockLength {
  const char* name;
  std::size_t expected;
  std::size_t actual;
};

// The first block, in the order given, whose length is not the expected one.
inline std::optional<LengthMismatch> first_length_mismatch(std::initializer_list<BlockLength> blocks) {
  for (const BlockLength& b : blocks) {
    if (b.expected != b.actual) return LengthMismatch{b.name, b.expected, b.actual};
  }
  return std::nullopt;
}

}  // namespace morva::detail
