#include "morva/linalg.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

#include "detail/simd.hpp"
#include "detail/vector_ops.hpp"

namespace morva {
namespace {

#if defined(__GNUC__)
using detail::Lanes2;
using detail::load2;
using detail::store2;
#endif

// A column of U with more than n / kDenseColumnDivisor nonzero entries is
// dense; the sparse ones after the last dense column form the sparse tail.
constexpr std::size_t kDenseColumnDivisor = 4;
// Register tile of the dense capacitance product, and the bytes of rows of U
// one pass of the tiles streams (fits the first-level data cache).
constexpr std::size_t kTile = 4;
constexpr std::size_t kGramChunkBytes = 32 * 1024;
// Columns of C = F·L computed together per pair of rows.
constexpr std::size_t kColumnBlock = 8;
// Rows per group in the accumulations of the iteration's two passes.
constexpr std::size_t kRowGroup = 4;

// ---- Covariance columns: C = F·L with L·Lᵀ = Ω ----

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

// ---- Storage of U: dense columns and the sparse tail ----

// The trailing columns of U that hold few nonzeros, row by row. The dense
// width p is one past the last column with more than n/kDenseColumnDivisor
// nonzeros, so every column at or beyond p is sparse. `finite` reports
// whether every entry of U is finite.
SparseColumns split_sparse_tail(const Matrix& u, bool& finite) {
  const std::size_t n = u.rows();
  const std::size_t h = u.cols();
  // Column-wise running counts (exact in doubles) and Σ (U_ic − U_ic), which
  // is 0 for finite entries and NaN once an infinity or NaN occurs; both
  // loops run across the row, so they vectorise.
  std::vector<double> nonzeros(h, 0.0);
  std::vector<double> not_finite(h, 0.0);
  const double* data = u.data().data();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const double* r0 = data + i * h;
    const double* r1 = r0 + h;
    const double* r2 = r1 + h;
    const double* r3 = r2 + h;
    for (std::size_t c = 0; c < h; ++c) {
      nonzeros[c] += ((r0[c] != 0.0 ? 1.0 : 0.0) + (r1[c] != 0.0 ? 1.0 : 0.0)) +
                     ((r2[c] != 0.0 ? 1.0 : 0.0) + (r3[c] != 0.0 ? 1.0 : 0.0));
      not_finite[c] += ((r0[c] - r0[c]) + (r1[c] - r1[c])) + ((r2[c] - r2[c]) + (r3[c] - r3[c]));
    }
  }
  for (; i < n; ++i) {
    const double* row = data + i * h;
    for (std::size_t c = 0; c < h; ++c) {
      nonzeros[c] += row[c] != 0.0 ? 1.0 : 0.0;
      not_finite[c] += row[c] - row[c];
    }
  }
  finite = std::all_of(not_finite.begin(), not_finite.end(), [](double e) { return e == 0.0; });
  SparseColumns tail;
  const double dense_above = static_cast<double>(n) / static_cast<double>(kDenseColumnDivisor);
  for (std::size_t c = 0; c < h; ++c) {
    if (nonzeros[c] > dense_above) tail.first_column = c + 1;
  }
  const std::size_t p = tail.first_column;
  if (p == h) return tail;
  tail.row_start.assign(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto row = u.row(i);
    tail.row_start[i + 1] = tail.row_start[i];
    for (std::size_t c = p; c < h; ++c) {
      if (row[c] != 0.0) {
        tail.column.push_back(c);
        tail.value.push_back(row[c]);
        ++tail.row_start[i + 1];
      }
    }
  }
  return tail;
}

// ---- Capacitance S = I + UᵀG⁻¹U: Gram product and Cholesky solve ----

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

// Lower triangle of Uᵀ·diag(g)·U added into s, the plain way: for every row i
// and c ≤ j, s_jc += (U_ij·g_i)·U_ic. Used when U or g holds a non-finite
// value, where skipping zero entries could hide a NaN.
void gram_lower_reference(const Matrix& u, std::span<const double> g, Matrix& s) {
  const std::size_t h = u.cols();
  std::vector<double> weighted(h);
  for (std::size_t i = 0; i < u.rows(); ++i) {
    const auto row = u.row(i);
    for (std::size_t j = 0; j < h; ++j) weighted[j] = row[j] * g[i];
    for (std::size_t j = 0; j < h; ++j) {
      const double v = weighted[j];
      const auto out = s.row(j);
      for (std::size_t c = 0; c <= j; ++c) out[c] += v * row[c];
    }
  }
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

// Lower triangle of Uᵀ·diag(g)·U into s (zero on entry) for finite U and g.
// Entry (j, c ≤ j) is the sum Σ_i (U_ij·g_i)·U_ic taken in increasing i, term
// for term the sum of gram_lower_reference except that terms with U_ij = 0 of
// a sparse column j are left out; for finite data those are exact zeros,
// which change no sum.
//   - Rows and columns [0, p): the dense block, in register tiles over row
//     chunks that stay in the first-level cache.
//   - Rows j ≥ p: for every nonzero U_ij of column j, in increasing i, the
//     whole row segment s_j,0..j += (U_ij·g_i)·U_i,0..j.
void gram_lower(const Matrix& u, std::span<const double> g, const SparseColumns& tail, Matrix& s) {
  const std::size_t n = u.rows();
  const std::size_t h = u.cols();
  const std::size_t p = tail.first_column;

  if (p > 0) {
    // The tiles cover the columns [0, width); when that still lies inside U
    // they read U in place (the entries beyond p are computed and dropped),
    // otherwise a zero-padded copy of the dense columns.
    const std::size_t width = (p + kTile - 1) / kTile * kTile;
    std::vector<double> packed;
    const double* source = u.data().data();
    std::size_t stride = h;
    if (width > h) {
      packed.assign(n * width, 0.0);
      for (std::size_t i = 0; i < n; ++i) {
        const auto row = u.row(i);
        std::copy(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(p), packed.begin() + i * width);
      }
      source = packed.data();
      stride = width;
    }
    std::vector<double> block(width * width, 0.0);
    const std::size_t chunk = std::max<std::size_t>(1, kGramChunkBytes / (stride * sizeof(double)));
    for (std::size_t i0 = 0; i0 < n; i0 += chunk) {
      const std::size_t i1 = std::min(n, i0 + chunk);
      for (std::size_t a0 = 0; a0 < width; a0 += kTile) {
        for (std::size_t b0 = 0; b0 <= a0; b0 += kTile) {
          accumulate_tile(source, stride, g.data(), i0, i1, a0, b0, width, block.data());
        }
      }
    }
    for (std::size_t j = 0; j < p; ++j) {
      for (std::size_t c = 0; c <= j; ++c) s(j, c) = block[j * width + c];
    }
  }
  if (p == h) return;

  // Column lists of the tail, rows ascending.
  const std::size_t tail_width = h - p;
  std::vector<std::size_t> start(tail_width + 1, 0);
  for (std::size_t column : tail.column) ++start[column - p + 1];
  for (std::size_t c = 0; c < tail_width; ++c) start[c + 1] += start[c];
  std::vector<std::size_t> rows(tail.column.size());
  std::vector<double> values(tail.column.size());
  std::vector<std::size_t> fill(start.begin(), start.end() - 1);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t e = tail.row_start[i]; e < tail.row_start[i + 1]; ++e) {
      const std::size_t slot = fill[tail.column[e] - p]++;
      rows[slot] = i;
      values[slot] = tail.value[e];
    }
  }
  for (std::size_t j = p; j < h; ++j) {
    double* out = s.row(j).data();
    for (std::size_t e = start[j - p]; e < start[j - p + 1]; ++e) {
      const std::size_t i = rows[e];
      const double w = values[e] * g[i];
      const double* row = u.row(i).data();
      for (std::size_t c = 0; c <= j; ++c) out[c] += w * row[c];
    }
  }
}

// ---- Products with U ----

// Row r of a row-major matrix with `stride` doubles per row, from column `first`.
struct RowsFrom {
  const double* data;
  std::size_t stride;
  std::size_t first;
  const double* operator()(std::size_t r) const { return data + r * stride + first; }
};

// values_i = value(i) for every row i < n, and out[j] += Σ_i rows(i)[j]·values_i
// for j < len: the values of a group of kRowGroup rows first, then the
// group's rows through detail::add_scaled_rows, so that every out[j] takes
// the rows in increasing order. Full groups have a constant size, which lets
// the compiler unroll them; the remaining rows form one last group.
template <class RowValue>
void in_row_groups(std::size_t n, RowValue value, RowsFrom rows, double* values, std::size_t len,
                   double* out) {
  const auto group = [&](std::size_t first, std::size_t count) {
    for (std::size_t q = 0; q < count; ++q) values[first + q] = value(first + q);
    detail::add_scaled_rows(RowsFrom{rows(first), rows.stride, 0}, count, values + first, len, out);
  };
  std::size_t i = 0;
  for (; i + kRowGroup <= n; i += kRowGroup) group(i, kRowGroup);
  group(i, n - i);
}

// t += Uᵀ·v (t has h entries, zero or running), each entry summed in
// increasing row order exactly as the plain row-by-row loop; the dense columns
// go through detail::add_scaled_rows, the tail adds only its nonzero entries.
void transpose_product_add(const Matrix& u, const SparseColumns& tail, std::span<const double> v,
                           std::span<double> t) {
  const std::size_t p = tail.first_column;
  detail::add_scaled_rows(RowsFrom{u.data().data(), u.cols(), 0}, u.rows(), v.data(), p, t.data());
  if (p == u.cols()) return;
  for (std::size_t r = 0; r < u.rows(); ++r) {
    const double vr = v[r];
    for (std::size_t e = tail.row_start[r]; e < tail.row_start[r + 1]; ++e)
      t[tail.column[e]] += tail.value[e] * vr;
  }
}

}  // namespace

// ---- Covariance columns ----

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

// ---- SMW system: factorisation and solves ----

std::expected<SmwSystem, SolverError> SmwSystem::factor(std::vector<double> diagonal, Matrix low_rank) {
  const std::size_t h = low_rank.cols();

  SmwSystem system;
  system.inverse_diagonal_ = std::move(diagonal);
  for (double& g : system.inverse_diagonal_) g = 1.0 / g;
  bool finite = true;
  system.tail_ = split_sparse_tail(low_rank, finite);

  // S = I + Uᵀ·G⁻¹·U, both triangles filled.
  Matrix capacitance = Matrix::zeros(h, h);
  if (finite && detail::all_finite(system.inverse_diagonal_)) {
    gram_lower(low_rank, system.inverse_diagonal_, system.tail_, capacitance);
  } else {
    gram_lower_reference(low_rank, system.inverse_diagonal_, capacitance);
  }
  for (std::size_t j = 0; j < h; ++j) {
    capacitance(j, j) = 1.0 + capacitance(j, j);
    for (std::size_t c = 0; c < j; ++c) capacitance(c, j) = capacitance(j, c);
  }

  // Cholesky S = L_S·L_Sᵀ row by row. S ⪰ I in exact arithmetic, so a tiny or
  // non-finite pivot can only come from overflow or NaN in G or U.
  Matrix factor = Matrix::zeros(h, h);
  for (std::size_t j = 0; j < h; ++j) {
    const auto row_j = factor.row(j);
    for (std::size_t c = 0; c <= j; ++c) {
      const auto row_c = factor.row(c);
      double s = 0.0;
      for (std::size_t l = 0; l < c; ++l) s += row_j[l] * row_c[l];
      if (c < j) {
        row_j[c] = (capacitance(j, c) - s) / row_c[c];
      } else {
        const double pivot = capacitance(j, j) - s;
        if (!std::isfinite(pivot) || pivot <= kMinCapacitancePivot) {
          return std::unexpected(SolverError::factorization_failed());
        }
        row_j[c] = std::sqrt(pivot);
      }
    }
  }

  system.low_rank_ = std::move(low_rank);
  system.capacitance_factor_ = std::move(factor);
  return system;
}

void SmwSystem::solve_in_place(std::span<double> r) const {
  std::vector<double> scratch(rank());
  solve_in_place(r, scratch);
}

// Woodbury: (G + UUᵀ)⁻¹r = G⁻¹r − G⁻¹U·S⁻¹·UᵀG⁻¹r with S = I + UᵀG⁻¹U.
// Both products with U skip the zero entries of the sparse tail; for finite r
// that only drops exact zeros from the sums (a non-finite r_i leaves the
// result non-finite at i either way).
void SmwSystem::solve_in_place(std::span<double> r, std::span<double> scratch) const {
  const std::size_t n = inverse_diagonal_.size();
  const std::size_t h = rank();
  for (std::size_t i = 0; i < n; ++i) r[i] *= inverse_diagonal_[i];
  if (h == 0) return;

  const std::span<double> t = scratch.first(h);
  std::fill(t.begin(), t.end(), 0.0);
  transpose_product_add(low_rank_, tail_, r, t);
  cholesky_solve_in_place(capacitance_factor_, t);

  // r_i −= G⁻¹_i·(U_i·w), each row product summed left to right (four rows
  // at a time over the dense columns so that their chains overlap), the tail
  // entries of the row continuing the sum.
  const std::size_t p = tail_.first_column;
  const double* u = low_rank_.data().data();
  constexpr std::size_t kRows = 4;
  for (std::size_t i0 = 0; i0 < n; i0 += kRows) {
    const std::size_t count = std::min(kRows, n - i0);
    double sums[kRows];
    detail::dot_rows([u, h, i0](std::size_t q) { return u + (i0 + q) * h; }, count, t.data(), p, sums);
    for (std::size_t q = 0; q < count; ++q) {
      const std::size_t i = i0 + q;
      double s = sums[q];
      if (p < h) {
        for (std::size_t e = tail_.row_start[i]; e < tail_.row_start[i + 1]; ++e) {
          s += tail_.value[e] * t[tail_.column[e]];
        }
      }
      r[i] -= inverse_diagonal_[i] * s;
    }
  }
}

void SmwSystem::solve_capacitance_in_place(std::span<double> t) const {
  cholesky_solve_in_place(capacitance_factor_, t);
}

// Both passes take the rows in groups (in_row_groups); dense columns are read
// in full, the sparse tail only at its nonzeros.

void SmwSystem::right_hand_side_pass(std::size_t split, std::span<const double> weights, std::span<double> g,
                                     std::span<double> t) const {
  const std::size_t n = inverse_diagonal_.size();
  const std::size_t h = rank();
  const std::size_t p = tail_.first_column;
  const std::size_t dense_weighted = p > split ? p - split : 0;  // weighted columns in [split, p)
  const double* u = low_rank_.data().data();
  const bool has_tail = p < h;
  std::fill(t.begin(), t.end(), 0.0);

  // g_i = G⁻¹_i·(base_i + U_{i,split:}·v), the tail continuing the row's sum.
  const auto scaled_row = [&](std::size_t i) {
    double pull = detail::dot4(u + i * h + split, weights.data(), dense_weighted);
    if (has_tail) {
      for (std::size_t e = tail_.row_start[i]; e < tail_.row_start[i + 1]; ++e) {
        if (tail_.column[e] >= split) pull += tail_.value[e] * weights[tail_.column[e] - split];
      }
    }
    return inverse_diagonal_[i] * (g[i] + pull);
  };
  in_row_groups(n, scaled_row, RowsFrom{u, h, 0}, g.data(), p, t.data());
  if (has_tail) {
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t e = tail_.row_start[r]; e < tail_.row_start[r + 1]; ++e)
        t[tail_.column[e]] += tail_.value[e] * g[r];
    }
  }
}

bool SmwSystem::solution_pass(std::size_t split, std::span<const double> g, std::span<const double> w,
                              std::span<double> x, std::span<double> image) const {
  const std::size_t n = inverse_diagonal_.size();
  const std::size_t h = rank();
  const std::size_t p = tail_.first_column;
  const std::size_t dense_weighted = p > split ? p - split : 0;
  const double* u = low_rank_.data().data();
  const bool has_tail = p < h;
  std::fill(image.begin(), image.end(), 0.0);
  bool finite = true;

  // x_i = g_i − G⁻¹_i·(U_i·w), the tail continuing the row's sum.
  const auto solved_row = [&](std::size_t r) {
    double uw = detail::dot4(u + r * h, w.data(), p);
    if (has_tail) {
      for (std::size_t e = tail_.row_start[r]; e < tail_.row_start[r + 1]; ++e)
        uw += tail_.value[e] * w[tail_.column[e]];
    }
    const double xr = g[r] - inverse_diagonal_[r] * uw;
    finite &= std::isfinite(xr);
    return xr;
  };
  in_row_groups(n, solved_row, RowsFrom{u, h, split}, x.data(), dense_weighted, image.data());
  if (has_tail) {
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t e = tail_.row_start[r]; e < tail_.row_start[r + 1]; ++e) {
        if (tail_.column[e] >= split) image[tail_.column[e] - split] += tail_.value[e] * x[r];
      }
    }
  }
  return finite;
}

// ---- The iteration's system and the cache of its factorisations ----

std::expected<FactorizedSystem, SolverError> FactorizedSystem::create(const QpProblem& problem, double rho,
                                                                      double sigma) {
  auto columns = covariance_columns(problem.quadratic);
  if (!columns) return std::unexpected(columns.error());

  const std::size_t n = problem.n();
  const std::size_t k = columns->cols();
  const std::size_t m_eq = problem.m_eq();
  const std::size_t m_in = problem.m_in();
  const std::size_t h = k + m_eq + m_in;

  // U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ]; constraint row r becomes column k + r.
  const double root_rho = std::sqrt(rho);
  Matrix low_rank = Matrix::zeros(n, h);
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = columns->row(i);
    std::copy(c.begin(), c.end(), low_rank.row(i).begin());
  }
  const auto scatter = [&](const Matrix& block, std::size_t offset) {
    for (std::size_t r = 0; r < block.rows(); ++r) {
      const auto a = block.row(r);
      for (std::size_t i = 0; i < n; ++i) low_rank(i, offset + r) = root_rho * a[i];
    }
  };
  scatter(problem.equalities.matrix, k);
  scatter(problem.inequalities.matrix, k + m_eq);

  // G = d + σ + ρ (box block) + ρ (L1 block, when present).
  std::vector<double> diagonal(n);
  const bool has_l1 = problem.l1.has_value();
  for (std::size_t i = 0; i < n; ++i) {
    double g = problem.quadratic.diagonal[i] + sigma + rho;
    if (has_l1) g += rho;
    diagonal[i] = g;
  }

  auto smw = SmwSystem::factor(std::move(diagonal), std::move(low_rank));
  if (!smw) return std::unexpected(smw.error());
  FactorizedSystem system;
  system.smw = std::move(*smw);
  system.rho = rho;
  system.sigma = sigma;
  system.factors = k;
  system.m_eq = m_eq;
  system.m_in = m_in;
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

  auto system = FactorizedSystem::create(problem, rho, sigma);
  if (!system) return std::unexpected(system.error());
  ++factorizations_;
  entries_.emplace(entries_.begin(), rho, std::move(*system));
  if (entries_.size() > kMaxCachedSystems)
    entries_.erase(entries_.begin() + kMaxCachedSystems, entries_.end());
  return &entries_.front().second;
}

}  // namespace morva
