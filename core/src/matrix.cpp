#include "morva/matrix.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "detail/vector_ops.hpp"
#include "factor_products.hpp"
#include "factor_rows.hpp"
#include "large_storage.hpp"
#include "matrix_products.hpp"
#include "morva/large_storage.hpp"

namespace morva {
namespace {

// Relative tolerance of the symmetry test on a dense Ω:
// |Ω_rc − Ω_cr| ≤ kSymmetryTolerance · max(|Ω_rc|, |Ω_cr|, 1).
constexpr double kSymmetryTolerance = 1e-12;
// True when a·b does not fit in 64 bits.
bool product_overflows(std::uint64_t a, std::uint64_t b) {
  return a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a;
}

using detail::all_finite;
using detail::finite_non_negative;

}  // namespace

// ---------------------------------------------------------------- Matrix

std::expected<Matrix, MatrixError> Matrix::create(std::uint64_t rows, std::uint64_t cols,
                                                  std::vector<double> data) {
  if (product_overflows(rows, cols)) return std::unexpected(MatrixError::dimension_overflow(rows, cols));
  if (static_cast<std::uint64_t>(data.size()) != rows * cols) {
    return std::unexpected(MatrixError::shape_mismatch(rows, cols, data.size()));
  }
  return Matrix(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols), std::move(data));
}

std::expected<Matrix, MatrixError> Matrix::from_rows(const std::vector<std::vector<double>>& rows,
                                                     std::uint64_t cols) {
  const std::uint64_t row_count = rows.size();
  if (product_overflows(row_count, cols)) {
    return std::unexpected(MatrixError::dimension_overflow(row_count, cols));
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].size() != cols) return std::unexpected(MatrixError::ragged_row(i, rows[i].size(), cols));
  }
  std::vector<double> data;
  data.reserve(static_cast<std::size_t>(row_count * cols));
  for (const auto& row : rows) data.insert(data.end(), row.begin(), row.end());
  return Matrix(rows.size(), static_cast<std::size_t>(cols), std::move(data));
}

Matrix Matrix::zeros(std::size_t rows, std::size_t cols) {
  // A large one in a kept block where one fits (zeroed here), so that a
  // process solving problem after problem does not fault its pages in again.
  if (rows * cols * sizeof(double) < kKeptBlockBytes)
    return Matrix(rows, cols, std::vector<double>(rows * cols, 0.0));
  std::vector<double> values = large_storage(rows * cols);
  values.assign(rows * cols, 0.0);
  return Matrix(rows, cols, std::move(values));
}

Matrix::Matrix(std::size_t rows, std::size_t cols, std::vector<double> data)
    : rows_(rows), cols_(cols), data_(std::move(data)), values_(data_.owned_data()) {}

Matrix Matrix::rows_of(const Matrix& m, std::size_t first, std::size_t count) {
  Matrix window = m;
  window.rows_ = count;
  if (window.values_ != nullptr) window.values_ += first * m.cols_;
  return window;
}

void Matrix::own_window() {
  data_ = SharedValues(std::vector<double>(values(), values() + size()));
  values_ = data_.owned_data();
}

void Matrix::SharedValues::release() noexcept {
  // The last holder deletes the values; acquire-release orders every other
  // holder's reads before that.
  if (block_->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    keep_storage(block_->values);
    delete block_;
  }
  block_ = nullptr;
}

bool Matrix::operator==(const Matrix& other) const {
  // Windows compare by their values, wherever those sit.
  return rows_ == other.rows_ && cols_ == other.cols_ && std::ranges::equal(data(), other.data());
}

std::vector<double> Matrix::mul_vec(std::span<const double> x) const {
  std::vector<double> y(rows_, 0.0);
  row_products(*this, x, y);
  return y;
}

// ---------------------------------------------------------------- factor form

std::size_t FactorCovariance::size() const {
  return is_dense() ? dense_matrix().rows() : diagonal_values().size();
}

std::expected<void, ProblemError> FactorQuad::validate(DataEntries entries) const {
  const std::size_t n = assets();
  const std::size_t k = factor_count();
  if (diagonal.size() != n) {
    return std::unexpected(ProblemError::dimension_mismatch("quadratic.diagonal", n, diagonal.size()));
  }
  if (omega.size() != k) {
    return std::unexpected(ProblemError::dimension_mismatch("quadratic.omega", k, omega.size()));
  }
  if (entries == DataEntries::Check &&
      !std::ranges::all_of(FactorRows(*this).stored_values(), [](auto part) { return all_finite(part); })) {
    return std::unexpected(ProblemError::non_finite("quadratic.factors"));
  }
  if (!std::all_of(diagonal.begin(), diagonal.end(), finite_non_negative)) {
    return std::unexpected(ProblemError::non_convex("quadratic diagonal must be finite and non-negative"));
  }
  if (omega.is_dense()) {
    const Matrix& w = omega.dense_matrix();
    if (w.cols() != k) return std::unexpected(ProblemError::not_square("quadratic.omega"));
    if (!all_finite(w.data())) return std::unexpected(ProblemError::non_finite("quadratic.omega"));
    for (std::size_t r = 0; r < k; ++r) {
      for (std::size_t c = 0; c < r; ++c) {
        const double lower = w(r, c);
        const double upper = w(c, r);
        const double scale = std::max({std::abs(upper), std::abs(lower), 1.0});
        if (!(std::abs(lower - upper) <= kSymmetryTolerance * scale)) {
          return std::unexpected(ProblemError::not_symmetric("quadratic.omega"));
        }
      }
    }
  } else {
    const auto& w = omega.diagonal_values();
    if (!std::all_of(w.begin(), w.end(), finite_non_negative)) {
      return std::unexpected(
          ProblemError::non_convex("factor covariance diagonal must be finite and non-negative"));
    }
  }
  return {};
}

void FactorCovariance::times(std::span<const double> t, std::span<double> s) const {
  if (is_dense()) {
    // Each row's plain left-to-right sum, four rows' chains advancing together.
    const Matrix& w = dense_matrix();
    row_products(w, t.first(w.cols()), s);
  } else {
    const auto& w = diagonal_values();
    for (std::size_t j = 0; j < w.size(); ++j) s[j] = t[j] * w[j];
  }
}

void FactorQuad::apply_into(std::span<const double> x, std::span<double> out, std::span<double> t,
                            std::span<double> s) const {
  const std::size_t k = factor_count();
  const std::size_t m = std::min(x.size(), assets());
  assert(out.size() >= m && t.size() >= k && s.size() >= k);
  assert(diagonal.size() >= m && omega.size() == k);

  // t = Fᵀ·x, accumulated row by row so F is streamed once in storage order.
  FactorRows(*this).transpose_into(x.first(m), t);
  apply_from_transpose(*this, x, t.first(k), out.first(m), s);
}

void apply_from_transpose(const FactorQuad& quadratic, std::span<const double> x, std::span<const double> t,
                          std::span<double> out, std::span<double> s) {
  const std::size_t k = quadratic.factor_count();
  quadratic.omega.times(t.first(k), s);

  // y = d∘x + F·s. With few factors each row dot product F_i·s runs left to
  // right. From kPartialSumMinFactors factors on, a single accumulator makes
  // the row a serial chain of k dependent additions, so the row is summed in
  // four interleaved partial sums instead (detail::dot4 states
  // the order); the result may then differ from the left-to-right sum in the
  // last bits, deterministically.
  const std::span<const double> s_used = s.first(k);
  const std::vector<double>& d = quadratic.diagonal;
  if (k < kPartialSumMinFactors) {
    const Matrix& factors = quadratic.factors();  // dense: a record holds only k ≥ kPartialSumMinFactors
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = d[i] * x[i] + detail::row_dot(factors.row(i), s_used);
  } else {
    FactorRows(quadratic).add_dot4_rows(d, x, s_used, out);
  }
}

}  // namespace morva
