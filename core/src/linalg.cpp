#include "morva/linalg.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "detail/simd.hpp"

namespace morva {
namespace {

#if defined(__GNUC__)
using detail::Lanes2;
using detail::load2;
using detail::store2;
#endif

// A column of V with more than n / kDenseColumnDivisor nonzero entries is
// stored densely, any other through its nonzeros.
constexpr std::size_t kDenseColumnDivisor = 4;
// Rows per group in the accumulations of an ADMM pass.
constexpr std::size_t kRowGroup = 4;
// Register tile of the dense capacitance product, and the bytes of rows of U
// one pass of the tiles streams (fits the first-level data cache).
constexpr std::size_t kTile = 4;
constexpr std::size_t kGramChunkBytes = 32 * 1024;
// Columns of C = F·L computed together per pair of rows.
constexpr std::size_t kColumnBlock = 8;

// Lower-triangular L (k×k, row-major) with L·Lᵀ = Ω for a positive
// semidefinite Ω, column by column. A pivot within ±g of zero is a rank
// deficiency: the column stays zero, which is only consistent when the
// remaining entries of that column of Ω are themselves within g of what the
// earlier columns already explain.
std::expected<Matrix, SolverError> semidefinite_cholesky(const Matrix& omega) {
  const std::size_t k = omega.rows();
  double largest = 0.0;
  for (double value : omega.data()) largest = std::max(largest, std::abs(value));
  const double tolerance = kCovariancePivotTolerance * std::max(1.0, largest);

  Matrix lower = Matrix::zeros(k, k);
  for (std::size_t j = 0; j < k; ++j) {
    const auto row_j = lower.row(j);
    double pivot = omega(j, j);
    {
      double explained = 0.0;
      for (std::size_t l = 0; l < j; ++l) explained += row_j[l] * row_j[l];
      pivot -= explained;
    }
    if (pivot < -tolerance) return std::unexpected(SolverError::covariance_not_psd());

    const bool zero_pivot = !(pivot > tolerance);
    const double root = zero_pivot ? 0.0 : std::sqrt(pivot);
    if (!zero_pivot) lower(j, j) = root;
    for (std::size_t i = j + 1; i < k; ++i) {
      const auto row_i = lower.row(i);
      double explained = 0.0;
      for (std::size_t l = 0; l < j; ++l) explained += row_i[l] * row_j[l];
      const double remainder = omega(i, j) - explained;
      if (zero_pivot) {
        if (!(std::abs(remainder) <= tolerance)) return std::unexpected(SolverError::covariance_not_psd());
      } else {
        lower(i, j) = remainder / root;
      }
    }
  }
  return lower;
}

// Forward substitution L·y = t followed by backward substitution Lᵀ·w = y,
// in place, for a lower-triangular row-major L with a positive diagonal.
void cholesky_solve_in_place(const Matrix& lower, std::span<double> t) {
  const std::size_t h = lower.rows();
  for (std::size_t j = 0; j < h; ++j) {
    const auto row = lower.row(j);
    double s = t[j];
    for (std::size_t l = 0; l < j; ++l) s -= row[l] * t[l];
    t[j] = s / row[j];
  }
  // Lᵀ is read by columns of L; eliminating each solved unknown from the rows
  // above keeps the access row-contiguous.
  for (std::size_t j = h; j-- > 0;) {
    const auto row = lower.row(j);
    t[j] /= row[j];
    const double w = t[j];
    for (std::size_t l = 0; l < j; ++l) t[l] -= row[l] * w;
  }
}

// out = F·L for lower-triangular L (k×k, zero above the diagonal) and finite
// F: out_rc = Σ_{l≥c} F_rl·L_lc, each sum taken in increasing l from zero.
// Rows go in pairs and columns in blocks of kColumnBlock, the running sums in
// registers. A block also adds the terms l < c of its columns, which are
// exact zeros (F_rl·0) and leave every sum unchanged.
void lower_triangular_product(const Matrix& f, const Matrix& lower, Matrix& out) {
  const std::size_t n = f.rows();
  const std::size_t k = f.cols();
  const double* fd = f.data().data();
  const double* ld = lower.data().data();
  double* od = out.data().data();
  std::size_t c0 = 0;
#if defined(__GNUC__)
  for (; c0 + kColumnBlock <= k; c0 += kColumnBlock) {
    std::size_t r = 0;
    for (; r + 2 <= n; r += 2) {
      const double* fa = fd + r * k;
      const double* fb = fa + k;
      Lanes2 a[kColumnBlock / 2] = {};
      Lanes2 b[kColumnBlock / 2] = {};
      for (std::size_t l = c0; l < k; ++l) {
        const Lanes2 wa = {fa[l], fa[l]};
        const Lanes2 wb = {fb[l], fb[l]};
        const double* lr = ld + l * k + c0;
        for (std::size_t q = 0; q < kColumnBlock / 2; ++q) {
          const Lanes2 v = load2(lr + 2 * q);
          a[q] += wa * v;
          b[q] += wb * v;
        }
      }
      for (std::size_t q = 0; q < kColumnBlock / 2; ++q) {
        store2(od + r * k + c0 + 2 * q, a[q]);
        store2(od + (r + 1) * k + c0 + 2 * q, b[q]);
      }
    }
    for (; r < n; ++r) {
      for (std::size_t c = c0; c < c0 + kColumnBlock; ++c) {
        double sum = 0.0;
        for (std::size_t l = c; l < k; ++l) sum += fd[r * k + l] * ld[l * k + c];
        od[r * k + c] = sum;
      }
    }
  }
#endif
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = c0; c < k; ++c) {
      double sum = 0.0;
      for (std::size_t l = c; l < k; ++l) sum += fd[r * k + l] * ld[l * k + c];
      od[r * k + c] = sum;
    }
  }
}

bool all_finite(std::span<const double> v) {
  return std::all_of(v.begin(), v.end(), [](double e) { return std::isfinite(e); });
}

// One kTile×kTile block of the dense Gram product over rows [i0, i1) of the
// matrix at `rows` (row stride `stride`): block(a, b) += Σ_i (U_ia·g_i)·U_ib
// with block rows `width` apart, the running sums kept in registers and taken
// in increasing i.
void accumulate_tile(const double* rows, std::size_t stride, const double* g, std::size_t i0, std::size_t i1,
                     std::size_t a0, std::size_t b0, std::size_t width, double* block) {
  static_assert(kTile == 4);
#if defined(__GNUC__)
  // Lanes: columns (b0, b0 + 1) and (b0 + 2, b0 + 3) of each tile row.
  Lanes2 acc[kTile][2];
  for (std::size_t a = 0; a < kTile; ++a) {
    acc[a][0] = load2(block + (a0 + a) * width + b0);
    acc[a][1] = load2(block + (a0 + a) * width + b0 + 2);
  }
  for (std::size_t i = i0; i < i1; ++i) {
    const double* row = rows + i * stride;
    const double gi = g[i];
    const Lanes2 v0 = load2(row + b0);
    const Lanes2 v1 = load2(row + b0 + 2);
    for (std::size_t a = 0; a < kTile; ++a) {
      const double w = row[a0 + a] * gi;
      const Lanes2 wa = {w, w};
      acc[a][0] += wa * v0;
      acc[a][1] += wa * v1;
    }
  }
  for (std::size_t a = 0; a < kTile; ++a) {
    store2(block + (a0 + a) * width + b0, acc[a][0]);
    store2(block + (a0 + a) * width + b0 + 2, acc[a][1]);
  }
#else
  double acc[kTile][kTile];
  for (std::size_t a = 0; a < kTile; ++a) {
    for (std::size_t b = 0; b < kTile; ++b) acc[a][b] = block[(a0 + a) * width + b0 + b];
  }
  for (std::size_t i = i0; i < i1; ++i) {
    const double* row = rows + i * stride;
    const double gi = g[i];
    for (std::size_t a = 0; a < kTile; ++a) {
      const double w = row[a0 + a] * gi;
      for (std::size_t b = 0; b < kTile; ++b) acc[a][b] += w * row[b0 + b];
    }
  }
  for (std::size_t a = 0; a < kTile; ++a) {
    for (std::size_t b = 0; b < kTile; ++b) block[(a0 + a) * width + b0 + b] = acc[a][b];
  }
#endif
}

// Test switch of the dense storage (test_hooks::ScopedDenseColumns).
thread_local bool t_dense_columns = false;

// Cholesky A = L·Lᵀ row by row of a symmetric matrix given by its lower
// triangle: for each j and c ≤ j, s = Σ_{l<c} L_jl·L_cl; for c < j,
// L_jc = (A_jc − s)/L_cc; for c = j, p = A_jj − s must be finite and above
// kMinCapacitancePivot, and L_jj = √p. In exact arithmetic A ⪰ I (the
// capacitance) or A ⪰ G > 0 (the n-space K), so a failing pivot can only come
// from overflow or NaN in the data.
std::expected<Matrix, SolverError> cholesky_lower(const Matrix& a) {
  const std::size_t h = a.rows();
  Matrix factor = Matrix::zeros(h, h);
  for (std::size_t j = 0; j < h; ++j) {
    const auto row_j = factor.row(j);
    for (std::size_t c = 0; c <= j; ++c) {
      const auto row_c = factor.row(c);
      double s = 0.0;
      for (std::size_t l = 0; l < c; ++l) s += row_j[l] * row_c[l];
      if (c < j) {
        row_j[c] = (a(j, c) - s) / row_c[c];
      } else {
        const double pivot = a(j, j) - s;
        if (!std::isfinite(pivot) || pivot <= kMinCapacitancePivot) {
          return std::unexpected(SolverError::factorization_failed());
        }
        row_j[c] = std::sqrt(pivot);
      }
    }
  }
  return factor;
}

// Lower triangle of Vᵀ·diag(g)·V for the dense block of V alone (n rows of
// `width` entries): block(a, b) = Σ_i (V_ia·g_i)·V_ib for b ≤ a, each sum in
// increasing i, in register tiles over row chunks that stay in the
// first-level cache. Returns the block with row stride `padded`.
std::vector<double> dense_gram(const double* rows, std::size_t n, std::size_t width,
                               std::span<const double> g, std::size_t& padded) {
  padded = (width + kTile - 1) / kTile * kTile;
  std::vector<double> packed;
  const double* source = rows;
  if (padded > width) {
    packed.assign(n * padded, 0.0);
    for (std::size_t i = 0; i < n; ++i)
      std::copy(rows + i * width, rows + (i + 1) * width, &packed[i * padded]);
    source = packed.data();
  }
  std::vector<double> block(padded * padded, 0.0);
  const std::size_t chunk = std::max<std::size_t>(1, kGramChunkBytes / (padded * sizeof(double)));
  for (std::size_t i0 = 0; i0 < n; i0 += chunk) {
    const std::size_t i1 = std::min(n, i0 + chunk);
    for (std::size_t a0 = 0; a0 < padded; a0 += kTile) {
      for (std::size_t b0 = 0; b0 <= a0; b0 += kTile) {
        accumulate_tile(source, padded, g.data(), i0, i1, a0, b0, padded, block.data());
      }
    }
  }
  return block;
}

// In place t ← Lᵀ·t for lower-triangular L: t_c = Σ_{l≥c} L_lc·t_l, c
// ascending so that every t_l read is still the input.
void lower_transpose_times(const Matrix& lower, double* t) {
  const std::size_t k = lower.rows();
  for (std::size_t c = 0; c < k; ++c) {
    double s = 0.0;
    for (std::size_t l = c; l < k; ++l) s += lower(l, c) * t[l];
    t[c] = s;
  }
}

// In place w ← L·w: w_l = Σ_{c≤l} L_lc·w_c, l descending.
void lower_times(const Matrix& lower, double* w) {
  for (std::size_t l = lower.rows(); l-- > 0;) {
    const auto row = lower.row(l);
    double s = 0.0;
    for (std::size_t c = 0; c <= l; ++c) s += row[c] * w[c];
    w[l] = s;
  }
}
// Nonzero count of every column of [F, rows ᵀ] (exact in doubles), and
// whether every entry is finite through Σ (v − v), which is 0 for finite
// entries and NaN once an infinity or NaN occurs: branch-free, so the loops
// vectorise.
std::vector<double> column_nonzeros(const Matrix& factors, std::span<const double* const> rows,
                                    bool& finite) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  std::vector<double> nonzeros(k + rows.size(), 0.0);
  std::vector<double> not_finite(k + rows.size(), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double* f = factors.row(i).data();
    for (std::size_t l = 0; l < k; ++l) {
      nonzeros[l] += f[l] != 0.0 ? 1.0 : 0.0;
      not_finite[l] += f[l] - f[l];
    }
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    double count = 0.0, residue = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      count += rows[r][i] != 0.0 ? 1.0 : 0.0;
      residue += rows[r][i] - rows[r][i];
    }
    nonzeros[k + r] = count;
    not_finite[k + r] = residue;
  }
  finite = std::all_of(not_finite.begin(), not_finite.end(), [](double e) { return e == 0.0; });
  return nonzeros;
}

}  // namespace

std::expected<Matrix, SolverError> covariance_columns(const FactorQuad& quadratic) {
  const Matrix& factors = quadratic.factors;
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  Matrix columns = Matrix::zeros(n, k);

  if (!quadratic.omega.is_dense()) {
    // L = diag(√ω): C_rc = F_rc·√ω_c.
    const auto& omega = quadratic.omega.diagonal_values();
    std::vector<double> roots(k);
    for (std::size_t c = 0; c < k; ++c) roots[c] = std::sqrt(omega[c]);
    for (std::size_t r = 0; r < n; ++r) {
      const auto f = factors.row(r);
      const auto out = columns.row(r);
      for (std::size_t c = 0; c < k; ++c) out[c] = f[c] * roots[c];
    }
    return columns;
  }

  auto lower = semidefinite_cholesky(quadratic.omega.dense_matrix());
  if (!lower) return std::unexpected(lower.error());
  lower_triangular_product(factors, *lower, columns);
  return columns;
}

std::expected<std::vector<double>, SolverError> covariance_row_norms(const FactorQuad& quadratic) {
  const Matrix& factors = quadratic.factors;
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  std::vector<double> norms(n, 0.0);
  if (!quadratic.omega.is_dense()) {
    // C_il = F_il·√ω_l, as covariance_columns forms it.
    std::vector<double> roots(k);
    for (std::size_t l = 0; l < k; ++l) roots[l] = std::sqrt(quadratic.omega.diagonal_values()[l]);
    for (std::size_t i = 0; i < n; ++i) {
      const auto f = factors.row(i);
      double s = 0.0;
      for (std::size_t l = 0; l < k; ++l) {
        const double c = f[l] * roots[l];
        s += c * c;
      }
      norms[i] = std::sqrt(s);
    }
    return norms;
  }
  auto lower = semidefinite_cholesky(quadratic.omega.dense_matrix());
  if (!lower) return std::unexpected(lower.error());
  // Row i of C = F_i·L from the nonzero entries of F_i only: row l of L adds
  // F_il·L_l,0..l; the zero entries of F_i would add exact zeros.
  std::vector<double> c(k);
  for (std::size_t i = 0; i < n; ++i) {
    std::fill(c.begin(), c.end(), 0.0);
    const auto f = factors.row(i);
    for (std::size_t l = 0; l < k; ++l) {
      if (f[l] == 0.0) continue;
      const auto row = lower->row(l);
      for (std::size_t b = 0; b <= l; ++b) c[b] += f[l] * row[b];
    }
    double s = 0.0;
    for (double e : c) s += e * e;
    norms[i] = std::sqrt(s);
  }
  return norms;
}

std::expected<ReducedColumns, SolverError> ReducedColumns::create(const FactorQuad& quadratic,
                                                                  std::span<const double* const> rows) {
  ReducedColumns columns;
  if (t_dense_columns) {
    auto c = covariance_columns(quadratic);
    if (!c) return std::unexpected(c.error());
    columns.store(&*c, rows, true);
    return columns;
  }
  if (auto transform = columns.set_transform(quadratic); !transform)
    return std::unexpected(transform.error());
  columns.store(&quadratic.factors, rows, false);
  return columns;
}

std::expected<void, SolverError> ReducedColumns::set_transform(const FactorQuad& quadratic) {
  const std::size_t k = quadratic.factors.cols();
  if (quadratic.omega.is_dense()) {
    auto lower = semidefinite_cholesky(quadratic.omega.dense_matrix());
    if (!lower) return std::unexpected(lower.error());
    transform_ = Transform::Lower;
    lower_ = std::move(*lower);
  } else {
    transform_ = Transform::Diagonal;
    roots_.resize(k);
    for (std::size_t l = 0; l < k; ++l) roots_[l] = std::sqrt(quadratic.omega.diagonal_values()[l]);
  }
  return {};
}

std::expected<ReducedColumns, SolverError> ReducedColumns::select(
    const FactorQuad& quadratic, std::span<const std::size_t> kept,
    std::span<const double* const> kept_rows) const {
  const bool ascending = std::adjacent_find(kept.begin(), kept.end(), std::greater_equal<>()) == kept.end();
  const bool in_range = kept.empty() || kept.back() < h_ - k_;
  if (t_dense_columns || forced_dense_ || !ascending || !in_range || quadratic.factors.cols() != k_ ||
      quadratic.factors.rows() != n_) {
    return create(quadratic, kept_rows);
  }
  ReducedColumns out;
  if (auto transform = out.set_transform(quadratic); !transform) return std::unexpected(transform.error());
  out.n_ = n_;
  out.k_ = k_;
  out.h_ = k_ + kept.size();
  // Global column of V → column of the selection, or h_ when dropped.
  std::vector<std::size_t> target(h_, h_);
  for (std::size_t l = 0; l < k_; ++l) target[l] = l;
  for (std::size_t r = 0; r < kept.size(); ++r) target[k_ + kept[r]] = k_ + r;

  std::vector<std::size_t> slots;  // positions in the dense block that stay
  for (std::size_t a = 0; a < dense_column_.size(); ++a) {
    if (target[dense_column_[a]] == h_) continue;
    slots.push_back(a);
    out.dense_column_.push_back(target[dense_column_[a]]);
  }
  out.dense_factor_count_ = dense_factor_count_;
  const std::size_t p = dense_column_.size();
  const std::size_t q = slots.size();
  out.dense_.resize(n_ * q);
  for (std::size_t i = 0; i < n_; ++i) {
    for (std::size_t b = 0; b < q; ++b) out.dense_[i * q + b] = dense_[i * p + slots[b]];
  }
  out.row_start_.assign(n_ + 1, 0);
  out.constraint_start_.resize(n_);
  for (std::size_t i = 0; i < n_; ++i) {
    // Every factor entry is kept, so the constraint entries start where they did.
    out.constraint_start_[i] = out.sparse_column_.size() + (constraint_start_[i] - row_start_[i]);
    for (std::size_t e = row_start_[i]; e < row_start_[i + 1]; ++e) {
      const std::size_t j = target[sparse_column_[e]];
      if (j == h_) continue;
      out.sparse_column_.push_back(static_cast<std::uint32_t>(j));
      out.sparse_value_.push_back(sparse_value_[e]);
    }
    out.row_start_[i + 1] = out.sparse_column_.size();
  }
  return out;
}

ReducedColumns ReducedColumns::from_matrix(const Matrix& u) {
  ReducedColumns columns;
  columns.store(&u, {}, false);
  return columns;
}

// A column with more than n / kDenseColumnDivisor nonzeros is stored densely,
// every other one through its nonzeros; with a non-finite entry anywhere all
// columns are dense, so that no 0·inf or 0·NaN term is skipped.
void ReducedColumns::store(const Matrix* factors, std::span<const double* const> rows, bool all_dense) {
  const std::size_t n = factors->rows();
  const std::size_t k = factors->cols();
  n_ = n;
  k_ = k;
  h_ = k + rows.size();

  bool finite = true;
  const std::vector<double> nonzeros = column_nonzeros(*factors, rows, finite);
  all_dense = all_dense || !finite;
  forced_dense_ = all_dense;
  std::vector<std::size_t> sparse;
  for (std::size_t j = 0; j < h_; ++j) {
    if (all_dense || nonzeros[j] * static_cast<double>(kDenseColumnDivisor) > static_cast<double>(n)) {
      dense_column_.push_back(j);
      if (j < k) ++dense_factor_count_;
    } else {
      sparse.push_back(j);
    }
  }

  // Dense block: the factor columns row by row, each constraint row along its
  // own slot.
  const std::size_t p = dense_column_.size();
  dense_.assign(n * p, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto f = factors->row(i);
    for (std::size_t a = 0; a < dense_factor_count_; ++a) dense_[i * p + a] = f[dense_column_[a]];
  }
  for (std::size_t a = dense_factor_count_; a < p; ++a) {
    const double* row = rows[dense_column_[a] - k];
    for (std::size_t i = 0; i < n; ++i) dense_[i * p + a] = row[i];
  }
  // Compressed rows, each row's entries in increasing column order: the
  // sparse factor columns row by row, then the sparse constraint rows one
  // after the other.
  const auto first_row_column =
      std::find_if(sparse.begin(), sparse.end(), [k](std::size_t j) { return j >= k; });
  const std::span<const std::size_t> factor_sparse(sparse.begin(), first_row_column);
  const std::span<const std::size_t> row_sparse(first_row_column, sparse.end());
  row_start_.assign(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto f = factors->row(i);
    for (std::size_t j : factor_sparse) row_start_[i + 1] += f[j] != 0.0 ? 1 : 0;
  }
  for (std::size_t j : row_sparse) {
    for (std::size_t i = 0; i < n; ++i) row_start_[i + 1] += rows[j - k][i] != 0.0 ? 1 : 0;
  }
  for (std::size_t i = 0; i < n; ++i) row_start_[i + 1] += row_start_[i];
  sparse_column_.resize(row_start_[n]);
  sparse_value_.resize(row_start_[n]);
  std::vector<std::size_t> next(row_start_.begin(), row_start_.end() - 1);
  const auto append = [&](std::size_t i, std::size_t j, double v) {
    sparse_column_[next[i]] = static_cast<std::uint32_t>(j);
    sparse_value_[next[i]++] = v;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const auto f = factors->row(i);
    for (std::size_t j : factor_sparse) {
      if (f[j] != 0.0) append(i, j, f[j]);
    }
  }
  for (std::size_t j : row_sparse) {
    for (std::size_t i = 0; i < n; ++i) {
      if (rows[j - k][i] != 0.0) append(i, j, rows[j - k][i]);
    }
  }
  constraint_start_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t e = row_start_[i];
    while (e < row_start_[i + 1] && sparse_column_[e] < k) ++e;
    constraint_start_[i] = e;
  }
}

ReducedColumns ReducedColumns::from_matrix(const Matrix& u, std::size_t split) {
  const std::size_t n = u.rows();
  Matrix leading = Matrix::zeros(n, split);
  std::vector<std::vector<double>> trailing(u.cols() - split, std::vector<double>(n));
  std::vector<const double*> rows;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < u.cols(); ++j) {
      if (j < split) {
        leading(i, j) = u(i, j);
      } else {
        trailing[j - split][i] = u(i, j);
      }
    }
  }
  for (const auto& column : trailing) rows.push_back(column.data());
  ReducedColumns columns;
  columns.store(&leading, rows, false);
  return columns;
}

ReducedColumns ReducedColumns::of_data(const Matrix& factors, std::span<const double* const> rows) {
  ReducedColumns columns;
  columns.store(&factors, rows, false);
  return columns;
}

// Each product runs over the rows once: the dense columns through a buffer in
// dense order (scattered to, or gathered from, their global places once), the
// compressed entries directly.
void ReducedColumns::factor_transpose_product(std::span<const double> x, std::span<double> t) const {
  const std::size_t p = dense_column_.size();
  std::vector<double> acc(dense_factor_count_, 0.0);
  std::fill(t.begin(), t.end(), 0.0);
  for (std::size_t i = 0; i < n_; ++i) {
    const double* row = dense_.data() + i * p;
    for (std::size_t a = 0; a < dense_factor_count_; ++a) acc[a] += row[a] * x[i];
    for (std::size_t e = row_start_[i]; e < constraint_start_[i]; ++e)
      t[sparse_column_[e]] += sparse_value_[e] * x[i];
  }
  for (std::size_t a = 0; a < dense_factor_count_; ++a) t[dense_column_[a]] = acc[a];
}

void ReducedColumns::add_factor_product(std::span<const double> s, std::span<double> out) const {
  const std::size_t p = dense_column_.size();
  std::vector<double> gathered(dense_factor_count_);
  for (std::size_t a = 0; a < dense_factor_count_; ++a) gathered[a] = s[dense_column_[a]];
  for (std::size_t i = 0; i < n_; ++i) {
    double sum = detail::dot4(dense_.data() + i * p, gathered.data(), dense_factor_count_);
    for (std::size_t e = row_start_[i]; e < constraint_start_[i]; ++e)
      sum += sparse_value_[e] * s[sparse_column_[e]];
    out[i] += sum;
  }
}

void ReducedColumns::constraint_image(std::span<const double> x, std::span<double> image) const {
  const std::size_t p = dense_column_.size();
  const std::size_t first = dense_factor_count_;
  std::vector<double> acc(p - first, 0.0);
  std::fill(image.begin(), image.end(), 0.0);
  for (std::size_t i = 0; i < n_; ++i) {
    const double* row = dense_.data() + i * p + first;
    for (std::size_t a = 0; a < p - first; ++a) acc[a] += row[a] * x[i];
    for (std::size_t e = constraint_start_[i]; e < row_start_[i + 1]; ++e)
      image[sparse_column_[e] - k_] += sparse_value_[e] * x[i];
  }
  for (std::size_t a = first; a < p; ++a) image[dense_column_[a] - k_] = acc[a - first];
}

void ReducedColumns::add_constraint_combination(std::span<const double> y, std::span<double> out) const {
  const std::size_t p = dense_column_.size();
  const std::size_t first = dense_factor_count_;
  std::vector<double> gathered(p - first);
  for (std::size_t a = first; a < p; ++a) gathered[a - first] = y[dense_column_[a] - k_];
  for (std::size_t i = 0; i < n_; ++i) {
    double sum = detail::dot4(dense_.data() + i * p + first, gathered.data(), p - first);
    for (std::size_t e = constraint_start_[i]; e < row_start_[i + 1]; ++e)
      sum += sparse_value_[e] * y[sparse_column_[e] - k_];
    out[i] += sum;
  }
}

std::span<const std::uint32_t> ReducedColumns::sparse_columns_of(std::size_t i) const {
  return std::span<const std::uint32_t>(sparse_column_)
      .subspan(row_start_[i], row_start_[i + 1] - row_start_[i]);
}

std::span<const double> ReducedColumns::sparse_values_of(std::size_t i) const {
  return std::span<const double>(sparse_value_).subspan(row_start_[i], row_start_[i + 1] - row_start_[i]);
}

Matrix ReducedColumns::materialize(double constraint_scale) const {
  const std::size_t p = dense_column_.size();
  Matrix v = Matrix::zeros(n_, h_);
  for (std::size_t i = 0; i < n_; ++i) {
    for (std::size_t a = 0; a < p; ++a) v(i, dense_column_[a]) = dense_[i * p + a];
    for (std::size_t e = row_start_[i]; e < row_start_[i + 1]; ++e)
      v(i, sparse_column_[e]) = sparse_value_[e];
  }
  Matrix u = v;
  for (std::size_t i = 0; i < n_; ++i) {
    const auto f = v.row(i);
    const auto out = u.row(i);
    for (std::size_t c = 0; c < k_; ++c) {
      if (transform_ == Transform::Diagonal) out[c] = f[c] * roots_[c];
      if (transform_ != Transform::Lower) continue;
      double s = 0.0;
      for (std::size_t l = c; l < k_; ++l) s += f[l] * lower_(l, c);
      out[c] = s;
    }
    for (std::size_t c = k_; c < h_; ++c) out[c] = constraint_scale * f[c];
  }
  return u;
}
// Full symmetric Vᵀ·diag(g)·V (h×h), every entry a sum over the rows in
// increasing order of the terms whose two entries are stored: the dense block
// through register tiles; a sparse entry V_ij adds (V_ij·g_i)·V_ic for every
// stored entry V_ic of its row, into row j of the result.
Matrix ReducedColumns::weighted_gram(std::span<const double> g) const {
  const std::size_t p = dense_column_.size();
  Matrix m = Matrix::zeros(h_, h_);
  if (p > 0) {
    std::size_t padded = 0;
    const std::vector<double> block = dense_gram(dense_.data(), n_, p, g, padded);
    for (std::size_t a = 0; a < p; ++a) {
      for (std::size_t b = 0; b <= a; ++b) m(dense_column_[a], dense_column_[b]) = block[a * padded + b];
    }
  }
  for (std::size_t i = 0; i < n_; ++i) {
    const double* dense_row = dense_.data() + i * p;
    for (std::size_t e = row_start_[i]; e < row_start_[i + 1]; ++e) {
      const double w = sparse_value_[e] * g[i];
      const auto out = m.row(sparse_column_[e]);
      for (std::size_t a = 0; a < p; ++a) out[dense_column_[a]] += w * dense_row[a];
      for (std::size_t f = row_start_[i]; f <= e; ++f) out[sparse_column_[f]] += w * sparse_value_[f];
    }
  }
  // A sparse column j before a dense column c left their term in row j.
  std::vector<char> is_dense(h_, 0);
  for (std::size_t c : dense_column_) is_dense[c] = 1;
  for (std::size_t j = 0; j < h_; ++j) {
    if (is_dense[j]) continue;
    for (std::size_t c = j + 1; c < h_; ++c) {
      if (is_dense[c]) m(c, j) = m(j, c);
    }
  }
  for (std::size_t j = 0; j < h_; ++j) {
    for (std::size_t c = 0; c < j; ++c) m(c, j) = m(j, c);
  }
  return m;
}

std::expected<SmwSystem, SolverError> SmwSystem::factor(std::vector<double> diagonal, Matrix low_rank) {
  return factor(std::move(diagonal),
                std::make_shared<const ReducedColumns>(ReducedColumns::from_matrix(low_rank)), 1.0);
}

std::expected<SmwSystem, SolverError> SmwSystem::factor(std::vector<double> diagonal,
                                                        std::shared_ptr<const ReducedColumns> columns,
                                                        double constraint_scale) {
  SmwSystem system;
  system.columns_ = std::move(columns);
  system.scale_ = constraint_scale;
  system.inverse_diagonal_ = diagonal;
  for (double& g : system.inverse_diagonal_) g = 1.0 / g;
  const std::size_t h = system.rank();
  if (h == 0) return system;
  if (h >= system.columns_->assets()) {
    // Many factors or rows on few assets: K (n×n) is the smaller matrix.
    system.asset_space_ = true;
    if (auto done = system.factor_in_asset_space(diagonal); !done) return std::unexpected(done.error());
    return system;
  }
  // A non-finite G⁻¹_i puts 0·inf or NaN into every diagonal entry of S.
  if (!all_finite(system.inverse_diagonal_)) return std::unexpected(SolverError::factorization_failed());
  if (auto done = system.factor_capacitance(); !done) return std::unexpected(done.error());
  return system;
}

// S = I + Tᵀ·(VᵀG⁻¹V)·T with T = diag(T_q, s·I):
//   S_qq = T_qᵀ·M_qq·T_q,  S_cq = s·M_cq·T_q,  S_cc = s²·M_cc.
std::expected<void, SolverError> SmwSystem::factor_capacitance() {
  const ReducedColumns& v = *columns_;
  const std::size_t h = v.rank();
  const std::size_t k = v.factors();
  const Matrix m = v.weighted_gram(inverse_diagonal_);
  Matrix s = Matrix::zeros(h, h);
  if (v.transform() == ReducedColumns::Transform::Lower) {
    // Y = M·T_q over the factor columns (h×k), then S_qq = T_qᵀ·Y_q.
    const Matrix& lower = v.lower_;
    Matrix y = Matrix::zeros(h, k);
    for (std::size_t a = 0; a < h; ++a) {
      const auto row = m.row(a);
      for (std::size_t b = 0; b < k; ++b) {
        double sum = 0.0;
        for (std::size_t l = b; l < k; ++l) sum += row[l] * lower(l, b);
        y(a, b) = sum;
      }
    }
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t b = 0; b <= a; ++b) {
        double sum = 0.0;
        for (std::size_t l = a; l < k; ++l) sum += lower(l, a) * y(l, b);
        s(a, b) = sum;
      }
    }
    for (std::size_t c = k; c < h; ++c) {
      for (std::size_t b = 0; b < k; ++b) s(c, b) = scale_ * y(c, b);
      for (std::size_t d = k; d <= c; ++d) s(c, d) = scale_ * scale_ * m(c, d);
    }
  } else {
    const bool diagonal = v.transform() == ReducedColumns::Transform::Diagonal;
    const auto column_factor = [&](std::size_t j) {
      return j >= k ? scale_ : (diagonal ? v.roots_[j] : 1.0);
    };
    for (std::size_t j = 0; j < h; ++j) {
      for (std::size_t c = 0; c <= j; ++c) s(j, c) = column_factor(j) * m(j, c) * column_factor(c);
    }
  }
  for (std::size_t j = 0; j < h; ++j) s(j, j) = 1.0 + s(j, j);
  auto factor = cholesky_lower(s);
  if (!factor) return std::unexpected(factor.error());
  factor_ = std::move(*factor);
  return {};
}

// K = G + U·Uᵀ formed from U written out (n ≤ h, so U is no larger than S).
std::expected<void, SolverError> SmwSystem::factor_in_asset_space(std::span<const double> diagonal) {
  const Matrix u = columns_->materialize(scale_);
  const std::size_t n = u.rows();
  Matrix k = Matrix::zeros(n, n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j <= i; ++j)
      k(i, j) = (i == j ? diagonal[i] : 0.0) + detail::dot4(u.row(i).data(), u.row(j).data(), u.cols());
  }
  auto factor = cholesky_lower(k);
  if (!factor) return std::unexpected(factor.error());
  factor_ = std::move(*factor);
  return {};
}

// v ← Tᵀ·v (transpose) or v ← T·v: the factor block through T_q (its
// diagonal is its own transpose), the constraint block times s.
void SmwSystem::apply_transform(std::span<double> v, bool transpose) const {
  const ReducedColumns& columns = *columns_;
  const std::size_t k = columns.factors();
  if (columns.transform() == ReducedColumns::Transform::Lower) {
    if (transpose) {
      lower_transpose_times(columns.lower_, v.data());
    } else {
      lower_times(columns.lower_, v.data());
    }
  }
  if (columns.transform() == ReducedColumns::Transform::Diagonal) {
    for (std::size_t l = 0; l < k; ++l) v[l] *= columns.roots_[l];
  }
  for (std::size_t c = k; c < v.size(); ++c) v[c] *= scale_;
}

void SmwSystem::to_capacitance_space(std::span<double> t) const {
  apply_transform(t, true);
}

void SmwSystem::from_capacitance_space(std::span<double> w) const {
  apply_transform(w, false);
}

void SmwSystem::solve_in_place(std::span<double> r) const {
  std::vector<double> scratch(rank());
  solve_in_place(r, scratch);
}

// Woodbury: (G + UUᵀ)⁻¹r = G⁻¹r − G⁻¹U·S⁻¹·UᵀG⁻¹r with S = I + UᵀG⁻¹U and
// U = V·T: Uᵀy = Tᵀ(Vᵀy), U·w = V(T·w). Only stored entries of V enter the
// products; for finite r the skipped ones would add exact zeros.
void SmwSystem::solve_in_place(std::span<double> r, std::span<double> scratch) const {
  if (asset_space_) {
    cholesky_solve_in_place(factor_, r);
    return;
  }
  const std::size_t n = inverse_diagonal_.size();
  const std::size_t h = rank();
  for (std::size_t i = 0; i < n; ++i) r[i] *= inverse_diagonal_[i];
  if (h == 0) return;

  const ReducedColumns& v = *columns_;
  const std::size_t p = v.dense_column_.size();
  const std::span<double> t = scratch.first(h);
  std::fill(t.begin(), t.end(), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double* dense_row = v.dense_.data() + i * p;
    for (std::size_t a = 0; a < p; ++a) t[v.dense_column_[a]] += dense_row[a] * r[i];
    for (std::size_t e = v.row_start_[i]; e < v.row_start_[i + 1]; ++e)
      t[v.sparse_column_[e]] += v.sparse_value_[e] * r[i];
  }
  to_capacitance_space(t);
  cholesky_solve_in_place(factor_, t);
  from_capacitance_space(t);
  for (std::size_t i = 0; i < n; ++i) {
    const double* dense_row = v.dense_.data() + i * p;
    double s = 0.0;
    for (std::size_t a = 0; a < p; ++a) s += dense_row[a] * t[v.dense_column_[a]];
    for (std::size_t e = v.row_start_[i]; e < v.row_start_[i + 1]; ++e)
      s += v.sparse_value_[e] * t[v.sparse_column_[e]];
    r[i] -= inverse_diagonal_[i] * s;
  }
}

void SmwSystem::solve_capacitance_in_place(std::span<double> t) const {
  cholesky_solve_in_place(factor_, t);
}
// Pass 1 of an ADMM iteration, one stream over V:
//   r_i = g_i + Σ_c V_i,c·weights_c over the constraint columns c,
//   g_i ← G⁻¹_i·r_i,  t = Tᵀ·(Vᵀg).
// The dense columns accumulate in `dense` (dense order), four rows at a time,
// each entry still taking the rows in increasing order; the sparse entries
// go straight into t. The constraint weights of the dense columns are
// gathered once behind the accumulators.
void SmwSystem::project_rhs(std::span<double> g, std::span<const double> weights, std::span<double> t,
                            std::span<double> dense) const {
  const std::size_t n = inverse_diagonal_.size();
  if (rank() == 0) {
    for (std::size_t i = 0; i < n; ++i) g[i] *= inverse_diagonal_[i];
    return;
  }
  const ReducedColumns& v = *columns_;
  const std::size_t k = v.k_;
  const std::size_t p = v.dense_column_.size();
  const std::size_t first = v.dense_factor_count_;
  double* acc = dense.data();
  double* gathered = dense.data() + p;
  for (std::size_t a = first; a < p; ++a) gathered[a - first] = weights[v.dense_column_[a] - k];
  const auto [d, row_start, constraint_start, column, value] = v.raw();
  const double* inverse = inverse_diagonal_.data();
  const auto pulled = [&](std::size_t i) {
    double pull = detail::dot4(d + i * p + first, gathered, p - first);
    for (std::size_t e = constraint_start[i]; e < row_start[i + 1]; ++e)
      pull += value[e] * weights[column[e] - k];
    return g[i] + pull;
  };
  if (asset_space_) {
    for (std::size_t i = 0; i < n; ++i) g[i] = pulled(i);
    return;
  }
  std::fill(acc, acc + p, 0.0);
  std::fill(t.begin(), t.end(), 0.0);
  const auto scatter_sparse = [&](std::size_t i, double gi) {
    for (std::size_t e = row_start[i]; e < row_start[i + 1]; ++e) t[column[e]] += value[e] * gi;
  };
  std::size_t i = 0;
  for (; i + kRowGroup <= n; i += kRowGroup) {
    const double* u0 = d + i * p;
    const double* u1 = u0 + p;
    const double* u2 = u1 + p;
    const double* u3 = u2 + p;
    const double g0 = g[i] = inverse[i] * pulled(i);
    const double g1 = g[i + 1] = inverse[i + 1] * pulled(i + 1);
    const double g2 = g[i + 2] = inverse[i + 2] * pulled(i + 2);
    const double g3 = g[i + 3] = inverse[i + 3] * pulled(i + 3);
    for (std::size_t c = 0; c < p; ++c)
      acc[c] = (((acc[c] + u0[c] * g0) + u1[c] * g1) + u2[c] * g2) + u3[c] * g3;
    scatter_sparse(i, g0);
    scatter_sparse(i + 1, g1);
    scatter_sparse(i + 2, g2);
    scatter_sparse(i + 3, g3);
  }
  for (; i < n; ++i) {
    const double* u = d + i * p;
    const double gi = g[i] = inverse[i] * pulled(i);
    for (std::size_t c = 0; c < p; ++c) acc[c] += u[c] * gi;
    scatter_sparse(i, gi);
  }
  for (std::size_t a = 0; a < p; ++a) t[v.dense_column_[a]] = acc[a];
  to_capacitance_space(t);
}

// Pass 2, the second stream over V:
//   w = T·S⁻¹t,  x_i = g_i − G⁻¹_i·(V_i·w),  image = A_cons·x,
// the dense constraint columns of the image accumulating four rows at a time
// behind the gathered w in `dense`. In the n-space x = K⁻¹r first and the
// same stream forms only the image.
bool SmwSystem::back_substitute(std::span<const double> g, std::span<double> t, std::span<double> x,
                                std::span<double> image, std::span<double> dense) const {
  const std::size_t n = inverse_diagonal_.size();
  std::fill(image.begin(), image.end(), 0.0);
  if (rank() == 0) {
    std::copy(g.begin(), g.end(), x.begin());
    return all_finite(x);
  }
  const ReducedColumns& v = *columns_;
  const std::size_t k = v.k_;
  const std::size_t p = v.dense_column_.size();
  const std::size_t first = v.dense_factor_count_;
  const std::size_t width = p - first;
  double* w = dense.data();
  double* acc = dense.data() + p;
  if (asset_space_) {
    std::copy(g.begin(), g.end(), x.begin());
    cholesky_solve_in_place(factor_, x);
  } else {
    cholesky_solve_in_place(factor_, t);
    from_capacitance_space(t);
    for (std::size_t a = 0; a < p; ++a) w[a] = t[v.dense_column_[a]];
  }
  std::fill(acc, acc + width, 0.0);
  const auto [d, row_start, constraint_start, column, value] = v.raw();
  const double* inverse = inverse_diagonal_.data();
  bool finite = true;
  const auto solved = [&](std::size_t r) {
    double xr = x[r];
    if (!asset_space_) {
      double uw = detail::dot4(d + r * p, w, p);
      for (std::size_t e = row_start[r]; e < row_start[r + 1]; ++e) uw += value[e] * t[column[e]];
      xr = x[r] = g[r] - inverse[r] * uw;
    }
    finite &= std::isfinite(xr);
    for (std::size_t e = constraint_start[r]; e < row_start[r + 1]; ++e)
      image[column[e] - k] += value[e] * xr;
    return xr;
  };
  std::size_t i = 0;
  for (; i + kRowGroup <= n; i += kRowGroup) {
    const double* u0 = d + i * p + first;
    const double* u1 = u0 + p;
    const double* u2 = u1 + p;
    const double* u3 = u2 + p;
    const double x0 = solved(i);
    const double x1 = solved(i + 1);
    const double x2 = solved(i + 2);
    const double x3 = solved(i + 3);
    for (std::size_t c = 0; c < width; ++c)
      acc[c] = (((acc[c] + u0[c] * x0) + u1[c] * x1) + u2[c] * x2) + u3[c] * x3;
  }
  for (; i < n; ++i) {
    const double* u = d + i * p + first;
    const double xi = solved(i);
    for (std::size_t c = 0; c < width; ++c) acc[c] += u[c] * xi;
  }
  for (std::size_t a = first; a < p; ++a) image[v.dense_column_[a] - k] = acc[a - first];
  return finite;
}
std::vector<const double*> constraint_rows(const QpProblem& problem) {
  std::vector<const double*> rows;
  rows.reserve(problem.m_eq() + problem.m_in());
  for (std::size_t r = 0; r < problem.m_eq(); ++r) rows.push_back(problem.equalities.matrix.row(r).data());
  for (std::size_t r = 0; r < problem.m_in(); ++r) rows.push_back(problem.inequalities.matrix.row(r).data());
  return rows;
}

std::expected<std::shared_ptr<const ReducedColumns>, SolverError> problem_columns(const QpProblem& problem) {
  auto columns = ReducedColumns::create(problem.quadratic, constraint_rows(problem));
  if (!columns) return std::unexpected(columns.error());
  return std::make_shared<const ReducedColumns>(std::move(*columns));
}

std::expected<FactorizedSystem, SolverError> FactorizedSystem::create(const QpProblem& problem, double rho,
                                                                      double sigma) {
  auto columns = problem_columns(problem);
  if (!columns) return std::unexpected(columns.error());
  return create(problem, std::move(*columns), rho, sigma);
}

std::expected<FactorizedSystem, SolverError> FactorizedSystem::create(
    const QpProblem& problem, std::shared_ptr<const ReducedColumns> columns, double rho, double sigma) {
  const std::size_t n = problem.n();
  // G = d + σ + ρ (box block) + ρ (L1 block, when present).
  std::vector<double> diagonal(n);
  const bool has_l1 = problem.l1.has_value();
  for (std::size_t i = 0; i < n; ++i) {
    double g = problem.quadratic.diagonal[i] + sigma + rho;
    if (has_l1) g += rho;
    diagonal[i] = g;
  }
  // U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ] = V·diag(T_q, √ρ·I).
  auto smw = SmwSystem::factor(std::move(diagonal), std::move(columns), std::sqrt(rho));
  if (!smw) return std::unexpected(smw.error());
  FactorizedSystem system;
  system.smw = std::move(*smw);
  system.rho = rho;
  system.sigma = sigma;
  system.factors = problem.quadratic.factors.cols();
  system.m_eq = problem.m_eq();
  system.m_in = problem.m_in();
  return system;
}

std::expected<const FactorizedSystem*, SolverError> SystemCache::ensure(const QpProblem& problem, double rho,
                                                                        double sigma) {
  const auto rho_key = std::bit_cast<std::uint64_t>(rho);
  const auto sigma_key = std::bit_cast<std::uint64_t>(sigma);
  const auto hit = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return std::bit_cast<std::uint64_t>(entry.first) == rho_key &&
           std::bit_cast<std::uint64_t>(entry.second.sigma) == sigma_key;
  });
  if (hit != entries_.end()) {
    std::rotate(entries_.begin(), hit, hit + 1);
    return &entries_.front().second;
  }

  // Every system of one cache belongs to one problem: V is shared, not
  // rebuilt. Ω is still checked at every factorisation.
  if (!entries_.empty() && problem.quadratic.omega.is_dense()) {
    if (auto lower = semidefinite_cholesky(problem.quadratic.omega.dense_matrix()); !lower) {
      return std::unexpected(lower.error());
    }
  }
  auto system = entries_.empty() ? FactorizedSystem::create(problem, rho, sigma)
                                 : FactorizedSystem::create(
                                       problem, entries_.front().second.smw.shared_columns(), rho, sigma);
  if (!system) return std::unexpected(system.error());
  ++factorizations_;
  entries_.emplace(entries_.begin(), rho, std::move(*system));
  if (entries_.size() > kMaxCachedSystems)
    entries_.erase(entries_.begin() + kMaxCachedSystems, entries_.end());
  return &entries_.front().second;
}

namespace test_hooks {
ScopedDenseColumns::ScopedDenseColumns() : previous_(t_dense_columns) {
  t_dense_columns = true;
}
ScopedDenseColumns::~ScopedDenseColumns() {
  t_dense_columns = previous_;
}
}  // namespace test_hooks

}  // namespace morva
