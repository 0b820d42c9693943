// Products of a row-major Matrix with vectors, for the modules that check
// and solve over the problem's constraint blocks. Every product takes the
// rows and entries in a fixed order through the kernels of detail/, so the
// same inputs give the same bits wherever it is called from.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "detail/vector_ops.hpp"
#include "morva/matrix.hpp"

namespace morva {

// out[i] = A.row(i)·x, each a left-to-right sum over the common length (out
// has A.rows() entries).
inline void row_products(const Matrix& a, std::span<const double> x, std::span<double> out) {
  const double* data = a.data().data();
  const std::size_t cols = a.cols();
  detail::dot_rows([&](std::size_t i) { return data + i * cols; }, a.rows(), x.data(),
                   std::min(cols, x.size()), out.data());
}

// ‖A·x‖∞ with every row product as in row_products; NaN propagating: the
// first NaN row product is returned.
inline double image_inf_norm(const Matrix& a, std::span<const double> x) {
  constexpr std::size_t kBatch = 64;
  double products[kBatch];
  const double* data = a.data().data();
  const std::size_t cols = a.cols();
  const std::size_t len = std::min(cols, x.size());
  double norm = 0.0;
  for (std::size_t first = 0; first < a.rows(); first += kBatch) {
    const std::size_t count = std::min(kBatch, a.rows() - first);
    detail::dot_rows([&](std::size_t i) { return data + (first + i) * cols; }, count, x.data(), len,
                     products);
    for (std::size_t i = 0; i < count; ++i) {
      if (std::isnan(products[i])) return products[i];
      norm = std::max(norm, std::abs(products[i]));
    }
  }
  return norm;
}

// out += Aᵀ·y over the common sizes, accumulated row by row of the row-major
// matrix so that A is read once in storage order: every entry takes the rows
// in increasing order.
inline void add_transpose_product(const Matrix& a, std::span<const double> y, std::span<double> out) {
  const std::size_t rows = std::min(a.rows(), y.size());
  const std::size_t cols = std::min(a.cols(), out.size());
  const double* data = a.data().data();
  const std::size_t stride = a.cols();
  detail::add_scaled_rows([&](std::size_t i) { return data + i * stride; }, rows, y.data(), cols, out.data());
}

// Factor count from which the rows of F·s are summed in four partial sums
// (FactorQuad::apply_into). Below it the left-to-right sum is as fast, and
// small hand-checked forms keep their exact left-to-right results.
inline constexpr std::size_t kPartialSumMinFactors = 8;

// F_i·s as FactorQuad::apply_into sums it, from row i's nonzero entries
// alone (`entries`: (column, value) in increasing column, of a row of k
// columns): left to right below kPartialSumMinFactors factors, else in
// detail::dot4's four partial sums. With s finite every skipped term is ±0,
// which leaves each partial sum (never −0: they start at +0) as it is.
inline double factor_row_dot(std::span<const std::pair<std::uint32_t, double>> entries, const double* s,
                             std::size_t k) {
  if (k < kPartialSumMinFactors) {
    double sum = 0.0;
    for (const auto& [l, v] : entries) sum += v * s[l];
    return sum;
  }
  const std::size_t main = k / 4 * 4;
  double lane[4] = {0.0, 0.0, 0.0, 0.0};
  for (const auto& [l, v] : entries) {
    // The columns past the last group of four go to the first sum, after it.
    lane[l < main ? l % 4 : 0] += v * s[l];
  }
  return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

// The nonzero positions of some rows of a matrix, in increasing order (one
// entry per row, or none at all; an empty entry: not known, the row is read
// whole), as the stored columns keep them.
using RowSupports = std::span<const std::vector<std::uint32_t>>;

// row_products, each row with a known support summed over it alone. With x
// finite every skipped term is ±0, and adding ±0 leaves a sum that starts at
// +0 unchanged (it is never −0), so each sum is row_products' own.
inline void row_products(const Matrix& a, std::span<const double> x, std::span<double> out,
                         RowSupports supports) {
  if (supports.empty() || !detail::all_finite(x)) {
    row_products(a, x, out);
    return;
  }
  const std::size_t len = std::min(a.cols(), x.size());
  for (std::size_t r = 0; r < a.rows(); ++r) {
    const auto row = a.row(r);
    if (supports[r].empty()) {
      out[r] = detail::row_dot(row.first(len), x);
      continue;
    }
    double sum = 0.0;
    for (const std::uint32_t j : supports[r]) {
      if (j < len) sum += row[j] * x[j];
    }
    out[r] = sum;
  }
}

// add_transpose_product, each row with a known support added over it alone.
// With y finite every skipped term is ±0: each entry of out keeps its value
// up to the sign of a zero.
inline void add_transpose_product(const Matrix& a, std::span<const double> y, std::span<double> out,
                                  RowSupports supports) {
  if (supports.empty() || !detail::all_finite(y)) {
    add_transpose_product(a, y, out);
    return;
  }
  const std::size_t rows = std::min(a.rows(), y.size());
  const std::size_t cols = std::min(a.cols(), out.size());
  const double* data = a.data().data();
  const std::size_t stride = a.cols();
  // Runs of rows read whole go four at a time; every entry still takes the
  // rows in increasing order.
  std::size_t r = 0;
  while (r < rows) {
    std::size_t end = r;
    while (end < rows && supports[end].empty()) ++end;
    detail::add_weighted_rows([&](std::size_t i) { return data + i * stride; }, r, end,
                              [&](std::size_t i) { return y[i]; }, cols, out.data());
    if (end == rows) break;
    const double* row = data + end * stride;
    for (const std::uint32_t j : supports[end]) {
      if (j < cols) out[j] += row[j] * y[end];
    }
    r = end + 1;
  }
}

}  // namespace morva
