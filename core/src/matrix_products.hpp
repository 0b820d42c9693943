// Products of a row-major Matrix with vectors, for the modules that check
// and solve over the constraint blocks: each in a fixed order through the
// kernels of detail/, so the same inputs give the same bits anywhere.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
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
  std::vector<double> image(a.rows());
  row_products(a, x, image);
  return detail::inf_norm(image);
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

// The nonzero positions of some rows of a matrix, in increasing order (one
// entry per row, or none at all; an empty entry: not known, the row is read
// whole), as the stored columns keep them.
using RowSupports = std::span<const std::vector<std::uint32_t>>;

// Walks rows [0, rows) in increasing order: whole(first, last) for each run
// of rows without a known support, then known(r) for the row that ends it.
template <class Whole, class Known>
void for_each_run(RowSupports supports, std::size_t rows, Whole whole, Known known) {
  for (std::size_t r = 0; r <= rows;) {
    std::size_t end = r;
    while (end < rows && supports[end].empty()) ++end;
    whole(r, end);
    if (end < rows) known(end);
    r = end + 1;
  }
}

// row_products, each row with a known support summed over it alone. With x
// finite every skipped term is ±0, and adding ±0 leaves a sum that starts at
// +0 unchanged (it is never −0), so each sum is row_products' own. Runs of
// rows read whole go four at a time, as row_products takes them.
inline void row_products(const Matrix& a, std::span<const double> x, std::span<double> out,
                         RowSupports supports) {
  if (supports.empty() || !detail::all_finite(x)) {
    row_products(a, x, out);
    return;
  }
  const double* data = a.data().data();
  const std::size_t cols = a.cols();
  const std::size_t len = std::min(cols, x.size());
  for_each_run(
      supports, a.rows(),
      [&](std::size_t first, std::size_t last) {
        detail::dot_rows([&](std::size_t i) { return data + (first + i) * cols; }, last - first, x.data(),
                         len, out.data() + first);
      },
      [&](std::size_t r) {
        double sum = 0.0;
        for (const std::uint32_t j : supports[r]) {
          if (j < len) sum += data[r * cols + j] * x[j];
        }
        out[r] = sum;
      });
}

// add_transpose_product, each row with a known support added over it alone.
// With y finite every skipped term is ±0: each entry of out keeps its value
// up to the sign of a zero, and still takes the rows in increasing order.
inline void add_transpose_product(const Matrix& a, std::span<const double> y, std::span<double> out,
                                  RowSupports supports) {
  if (supports.empty() || !detail::all_finite(y)) {
    add_transpose_product(a, y, out);
    return;
  }
  const std::size_t cols = std::min(a.cols(), out.size());
  const double* data = a.data().data();
  const std::size_t stride = a.cols();
  for_each_run(
      supports, std::min(a.rows(), y.size()),
      [&](std::size_t first, std::size_t last) {
        detail::add_weighted_rows([&](std::size_t i) { return data + i * stride; }, first, last,
                                  [&](std::size_t i) { return y[i]; }, cols, out.data());
      },
      [&](std::size_t r) {
        for (const std::uint32_t j : supports[r]) {
          if (j < cols) out[j] += data[r * stride + j] * y[r];
        }
      });
}

}  // namespace morva
