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

// out[i] = row_dot(A.row(i), x) for every row (out has A.rows() entries).
inline void row_products(const Matrix& a, std::span<const double> x, std::span<double> out) {
  const double* data = a.data().data();
  const std::size_t cols = a.cols();
  dot_rows([&](std::size_t i) { return data + i * cols; }, a.rows(), x.data(), std::min(cols, x.size()),
           out.data());
}

// ‖A·x‖∞ with every row dotted by row_dot; NaN propagating: the first NaN
// row product is returned.
inline double image_inf_norm(const Matrix& a, std::span<const double> x) {
  constexpr std::size_t kBatch = 64;
  double products[kBatch];
  const double* data = a.data().data();
  const std::size_t cols = a.cols();
  const std::size_t len = std::min(cols, x.size());
  double norm = 0.0;
  for (std::size_t first = 0; first < a.rows(); first += kBatch) {
    const std::size_t count = std::min(kBatch, a.rows() - first);
    dot_rows([&](std::size_t i) { return data + (first + i) * cols; }, count, x.data(), len, products);
    for (std::size_t i = 0; i < count; ++i) {
      if (std::isnan(products[i])) return products[i];
      norm = std::max(norm, std::abs(products[i]));
    }
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
  return dot4(a, b, len);
}

// out += Aᵀ·y over the common sizes, accumulated row by row of the row-major
// matrix so that A is read once in storage order.
// (detail::add_scaled_rows, four rows per pass, keeps that order per entry.)
inline void add_transpose_product(const Matrix& a, std::span<const double> y, std::span<double> out) {
  const std::size_t rows = std::min(a.rows(), y.size());
  const std::size_t cols = std::min(a.cols(), out.size());
  const double* data = a.data().data();
  const std::size_t stride = a.cols();
  add_scaled_rows([&](std::size_t i) { return data + i * stride; }, rows, y.data(), cols, out.data());
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
