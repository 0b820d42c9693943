#include "morva/linalg.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
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
// Rows per group in the accumulations of an ADMM pass, and rows per block
// of the work fused into it (a multiple of kRowGroup, so that the groups are
// the same with or without blocks; the block's vectors stay in the
// first-level cache).
constexpr std::size_t kRowGroup = 4;
constexpr std::size_t kFusedRows = 64;
static_assert(kFusedRows % kRowGroup == 0);
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
// in place, for a lower-triangular row-major L with a positive diagonal. The
// forward sums go through detail::dot4 (four independent partial sums, not
// one serial chain); the backward pass eliminates each solved unknown from
// the rows above, which keeps the access row-contiguous and the updates
// independent.
void cholesky_solve_in_place(const Matrix& lower, std::span<double> t) {
  const std::size_t h = lower.rows();
  for (std::size_t j = 0; j < h; ++j) {
    const double* row = lower.row(j).data();
    t[j] = (t[j] - detail::dot4(row, t.data(), j)) / row[j];
  }
  for (std::size_t j = h; j-- > 0;) {
    const double* row = lower.row(j).data();
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
// triangle: for each j and c ≤ j, s = Σ_{l<c} L_jl·L_cl (in detail::dot4's
// order); for c < j, L_jc = (A_jc − s)/L_cc; for c = j, p = A_jj − s must be
// finite and above kMinCapacitancePivot, and L_jj = √p. In exact arithmetic
// A ⪰ I (the capacitance) or A ⪰ G > 0 (the n-space K), so a failing pivot
// can only come from overflow or NaN in the data.
std::expected<Matrix, SolverError> cholesky_lower(const Matrix& a) {
  const std::size_t h = a.rows();
  Matrix factor = Matrix::zeros(h, h);
  for (std::size_t j = 0; j < h; ++j) {
    double* row_j = factor.row(j).data();
    for (std::size_t c = 0; c <= j; ++c) {
      const double* row_c = factor.row(c).data();
      const double s = detail::dot4(row_j, row_c, c);
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

// In place t ← Lᵀ·t for lower-triangular L, given as its transpose U = Lᵀ
// (row-major): t_c = Σ_{l≥c} U_cl·t_l, c ascending so that every t_l read is
// still the input.
void lower_transpose_times(const Matrix& upper, double* t) {
  const std::size_t k = upper.rows();
  for (std::size_t c = 0; c < k; ++c) t[c] = detail::dot4(upper.row(c).data() + c, t + c, k - c);
}

// In place w ← L·w: w_l = Σ_{c≤l} L_lc·w_c, l descending.
void lower_times(const Matrix& lower, double* w) {
  for (std::size_t l = lower.rows(); l-- > 0;) w[l] = detail::dot4(lower.row(l).data(), w, l + 1);
}

Matrix transposed(const Matrix& m) {
  Matrix t = Matrix::zeros(m.cols(), m.rows());
  for (std::size_t i = 0; i < m.rows(); ++i) {
    for (std::size_t j = 0; j < m.cols(); ++j) t(j, i) = m(i, j);
  }
  return t;
}

// Stored columns renumbered so that those no constraint column reads come
// first, each group in its order of first appearance (the columns of F before
// the constraint rows in both): the columns constraint columns read are then
// the numbers from the returned count on, and F's columns [0, their count).
std::size_t order_by_reader(std::vector<std::size_t>& primary, std::vector<char>& read,
                            std::vector<std::uint32_t>& source) {
  std::vector<std::uint32_t> order;
  for (const char reader : {char{0}, char{1}}) {
    for (std::size_t s = 0; s < read.size(); ++s) {
      if (read[s] == reader) order.push_back(static_cast<std::uint32_t>(s));
    }
  }
  std::vector<std::uint32_t> renumber(read.size());
  std::vector<std::size_t> new_primary(read.size());
  std::vector<char> new_read(read.size());
  for (std::size_t t = 0; t < order.size(); ++t) {
    renumber[order[t]] = static_cast<std::uint32_t>(t);
    new_primary[t] = primary[order[t]];
    new_read[t] = read[order[t]];
  }
  for (auto& s : source) s = renumber[s];
  primary = std::move(new_primary);
  read = std::move(new_read);
  return static_cast<std::size_t>(std::ranges::count(read, char{0}));
}

// What the storage of V needs to know of every column of [F, rows ᵀ]: its
// nonzero count (exact in doubles), whether it is finite, and a fingerprint
// of its magnitudes that equal columns and negated columns share. Finiteness
// goes through Σ (v − v), 0 for finite entries and NaN once an infinity or
// NaN occurs.
struct ColumnProfile {
  std::vector<double> nonzeros;
  std::vector<std::uint64_t> fingerprint;
  bool finite = true;
};

inline std::uint64_t mix(std::uint64_t h, double v) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  constexpr std::uint64_t kMagnitude = ~(std::uint64_t{1} << 63);
  return (h ^ (std::bit_cast<std::uint64_t>(v) & kMagnitude)) * kMultiplier;
}

ColumnProfile column_profile(const Matrix& factors, std::span<const double* const> rows) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  const std::size_t h = k + rows.size();
  ColumnProfile profile{std::vector<double>(h, 0.0), std::vector<std::uint64_t>(h, 0), true};
  std::vector<double> not_finite(h, 0.0);
  // The fingerprint mixes each nonzero entry with its row: zero entries need
  // no work, and columns with the same magnitudes in the same places match.
  for (std::size_t i = 0; i < n; ++i) {
    const double* f = factors.row(i).data();
    for (std::size_t l = 0; l < k; ++l) {
      profile.nonzeros[l] += f[l] != 0.0 ? 1.0 : 0.0;
      not_finite[l] += f[l] - f[l];
      if (f[l] != 0.0) profile.fingerprint[l] = mix(profile.fingerprint[l] ^ i, f[l]);
    }
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    double count = 0.0, residue = 0.0;
    std::uint64_t print = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double v = rows[r][i];
      count += v != 0.0 ? 1.0 : 0.0;
      residue += v - v;
      if (v != 0.0) print = mix(print ^ i, v);
    }
    profile.nonzeros[k + r] = count;
    not_finite[k + r] = residue;
    profile.fingerprint[k + r] = print;
  }
  profile.finite = std::all_of(not_finite.begin(), not_finite.end(), [](double e) { return e == 0.0; });
  return profile;
}

// For each pair (j, earlier) of columns of [F, rows ᵀ] with the same number
// of nonzeros: +1 or −1 when column j is that times column `earlier`, else 0
// (entries compared as doubles, so ±0 match). When column j is a constraint
// row, matching its nonzero entries is enough (the earlier column has no
// nonzeros left over), and its row is read contiguously; pairs of F's
// columns go in one sweep over the rows of F, not down its columns, one
// stride per entry.
std::vector<double> signs_against(const Matrix& factors, std::span<const double* const> rows,
                                  std::span<const std::pair<std::size_t, std::size_t>> pairs) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  const auto value = [&](std::size_t column, std::size_t i) {
    return column < k ? factors(i, column) : rows[column - k][i];
  };
  std::vector<double> sign(pairs.size(), 0.0);
  std::vector<char> same(pairs.size(), 1);
  // The sign a pair takes from its first nonzero, and whether entry (a, b) keeps it.
  const auto compare = [&](std::size_t q, double a, double b) {
    if (sign[q] == 0.0 && b != 0.0) sign[q] = a == b ? 1.0 : (a == -b ? -1.0 : 0.0);
    same[q] = same[q] && (sign[q] != 0.0 || b == 0.0) && a == (sign[q] < 0.0 ? -b : b);
  };
  std::vector<std::size_t> factor_pairs;
  for (std::size_t q = 0; q < pairs.size(); ++q) {
    const auto [j, earlier] = pairs[q];
    if (j < k) {
      factor_pairs.push_back(q);
      continue;
    }
    const double* row = rows[j - k];
    for (std::size_t i = 0; i < n && same[q]; ++i) {
      if (row[i] != 0.0) compare(q, row[i], value(earlier, i));
    }
  }
  for (std::size_t i = 0; i < n && !factor_pairs.empty(); ++i) {
    const double* f = factors.row(i).data();
    for (std::size_t q : factor_pairs) compare(q, f[pairs[q].first], f[pairs[q].second]);
  }
  for (std::size_t q = 0; q < pairs.size(); ++q) sign[q] = !same[q] ? 0.0 : (sign[q] == 0.0 ? 1.0 : sign[q]);
  return sign;
}

// Which columns of [F, rows ᵀ] share a stored column: each column that
// `confirm(j, e)` finds to be ±1 times an earlier stored column e (among
// those with its fingerprint and nonzero count) reads it with that sign;
// every other column is stored, in order of first appearance (`primary`,
// with `read` marking those a constraint column reads).
struct Sharing {
  std::vector<std::size_t> primary;
  std::vector<char> read;
  std::vector<std::uint32_t> source;
  std::vector<double> multiplier;
};

template <class Confirm>
Sharing share_columns(const ColumnProfile& profile, std::size_t k, bool share, Confirm confirm) {
  const std::size_t h = profile.nonzeros.size();
  Sharing out{{}, {}, std::vector<std::uint32_t>(h), std::vector<double>(h, 1.0)};
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> seen;  // fingerprint → stored columns
  for (std::size_t j = 0; j < h; ++j) {
    const std::uint64_t key = profile.fingerprint[j] ^ std::bit_cast<std::uint64_t>(profile.nonzeros[j]);
    std::optional<std::uint32_t> shared;
    if (share) {
      for (std::uint32_t s : seen[key]) {
        if (profile.nonzeros[out.primary[s]] != profile.nonzeros[j]) continue;
        if (const double sign = confirm(j, out.primary[s]); sign != 0.0) {
          shared = s;
          out.multiplier[j] = sign;
          break;
        }
      }
    }
    if (!shared) {
      shared = static_cast<std::uint32_t>(out.primary.size());
      out.primary.push_back(j);
      out.read.push_back(0);
      if (share) seen[key].push_back(*shared);
    }
    out.source[j] = *shared;
    if (j >= k) out.read[*shared] = 1;
  }
  return out;
}

// share_columns with the sharing confirmed: first taking every fingerprint
// match as a repeat and confirming them all in one sweep, then, if one fails
// (two different columns with one fingerprint), column by column.
Sharing shared_columns(const Matrix& factors, std::span<const double* const> rows,
                       const ColumnProfile& profile, bool share) {
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  Sharing guess = share_columns(profile, factors.cols(), share, [&](std::size_t j, std::size_t earlier) {
    pairs.emplace_back(j, earlier);
    return 1.0;
  });
  const std::vector<double> signs = signs_against(factors, rows, pairs);
  if (std::ranges::find(signs, 0.0) == signs.end()) {
    for (std::size_t q = 0; q < pairs.size(); ++q) guess.multiplier[pairs[q].first] = signs[q];
    return guess;
  }
  return share_columns(profile, factors.cols(), share, [&](std::size_t j, std::size_t earlier) {
    const std::pair<std::size_t, std::size_t> pair{j, earlier};
    return signs_against(factors, rows, {&pair, 1}).front();
  });
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
  const Matrix& omega = quadratic.omega.dense_matrix();
  auto lower = semidefinite_cholesky(omega);
  if (!lower) return std::unexpected(lower.error());
  // From the nonzero entries of F_i only, whichever is cheaper for the row:
  // ‖C_i‖² = F_i·Ω·F_iᵀ, a double sum over them (clamped at zero, which it
  // is at least in exact arithmetic), or ‖F_i·L‖², row l of L adding
  // F_il·L_l,0..l.
  std::vector<double> c(k);
  std::vector<std::size_t> support;
  for (std::size_t i = 0; i < n; ++i) {
    const auto f = factors.row(i);
    support.clear();
    std::size_t triangle = 0;  // Σ (l + 1) over the nonzeros: the cost through L
    for (std::size_t l = 0; l < k; ++l) {
      if (f[l] == 0.0) continue;
      support.push_back(l);
      triangle += l + 1;
    }
    if (support.size() * support.size() <= triangle) {
      double s = 0.0;
      for (std::size_t a : support) {
        const auto row = omega.row(a);
        double inner = 0.0;
        for (std::size_t b : support) inner += row[b] * f[b];
        s += f[a] * inner;
      }
      norms[i] = std::sqrt(std::max(s, 0.0));
      continue;
    }
    std::fill(c.begin(), c.end(), 0.0);
    for (std::size_t l : support) {
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
    columns.covariance_columns_ = true;
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
    upper_ = transposed(lower_);
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
  if (t_dense_columns || storage_->forced_dense || !ascending || !in_range ||
      quadratic.factors.cols() != k_ || quadratic.factors.rows() != n_) {
    return create(quadratic, kept_rows);
  }
  auto out = with_transform(quadratic);
  if (!out) return out;
  out->h_ = k_ + kept.size();
  out->source_.resize(k_);
  out->multiplier_.resize(k_);
  for (std::size_t r : kept) {
    out->source_.push_back(source_[k_ + r]);
    out->multiplier_.push_back(multiplier_[k_ + r]);
  }
  if (auto compact = compacted(*storage_, n_, k_, out->source_)) out->storage_ = std::move(compact);
  return out;
}

std::expected<ReducedColumns, SolverError> ReducedColumns::with_transform(const FactorQuad& quadratic) const {
  ReducedColumns out = *this;
  out.covariance_columns_ = false;
  out.roots_.clear();
  out.lower_ = Matrix();
  out.upper_ = Matrix();
  if (auto transform = out.set_transform(quadratic); !transform) return std::unexpected(transform.error());
  return out;
}

// The stored columns that `source` reads (the first k entries for factor
// columns), numbered as store numbers them (those no kept constraint column
// reads first, each group in the old order), with `source` rewritten to the
// new numbers; null, `source` untouched, when that is every column with the same
// readers. The layout rules are store's, so the result is the storage the
// selected columns would get on their own (a column stored for a dropped row
// that a kept one repeats keeps that row's values, with κ's sign).
std::shared_ptr<const ReducedColumns::Storage> ReducedColumns::compacted(const Storage& w, std::size_t n,
                                                                         std::size_t k,
                                                                         std::vector<std::uint32_t>& source) {
  constexpr std::uint32_t kDropped = std::numeric_limits<std::uint32_t>::max();
  std::vector<char> kept(w.width, 0), read(w.width, 0);
  for (std::size_t j = 0; j < source.size(); ++j) {
    kept[source[j]] = 1;
    if (j >= k) read[source[j]] = 1;
  }
  if (std::ranges::count(kept, char{0}) == 0 && read == w.read_by_constraint) return nullptr;

  // The kept columns no kept constraint column reads, then the others, each
  // group in the old order (store's numbering of the selection's columns).
  auto storage = std::make_shared<Storage>();
  Storage& out = *storage;
  std::vector<std::uint32_t> renumber(w.width, kDropped);
  for (const char reader : {char{0}, char{1}}) {
    for (std::size_t s = 0; s < w.width; ++s) {
      if (!kept[s] || read[s] != reader) continue;
      renumber[s] = static_cast<std::uint32_t>(out.width++);
      out.read_by_constraint.push_back(reader);
      if (s < w.factor_width) ++out.factor_width;
    }
    if (reader == 0) out.first_constraint_column = out.width;
  }
  for (auto& s : source) s = renumber[s];
  // Dense slots in the new column order, and the old slot of each.
  std::vector<std::pair<std::uint32_t, std::size_t>> slots;  // (column, old slot)
  for (std::size_t a = 0; a < w.dense_column.size(); ++a) {
    const std::uint32_t s = renumber[w.dense_column[a]];
    if (s != kDropped) slots.emplace_back(s, a);
  }
  std::ranges::sort(slots);
  for (const auto& [column, slot] : slots) {
    out.dense_column.push_back(column);
    if (column < out.factor_width) out.factor_end = out.dense_column.size();
    if (column < out.first_constraint_column) out.leading = out.dense_column.size();
  }
  const std::size_t p = w.dense_column.size();
  const std::size_t q = slots.size();
  out.dense.resize(n * q);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t b = 0; b < q; ++b) out.dense[i * q + b] = w.dense[i * p + slots[b].second];
  }
  // Each row's kept entries in increasing new column.
  out.row_start.assign(n + 1, 0);
  std::vector<std::pair<std::uint32_t, double>> entries;
  for (std::size_t i = 0; i < n; ++i) {
    entries.clear();
    for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1]; ++e) {
      const std::uint32_t s = renumber[w.sparse_column[e]];
      if (s != kDropped) entries.emplace_back(s, w.sparse_value[e]);
    }
    std::ranges::sort(entries, {}, &std::pair<std::uint32_t, double>::first);
    for (const auto& [s, v] : entries) {
      out.sparse_column.push_back(s);
      out.sparse_value.push_back(v);
    }
    out.row_start[i + 1] = out.sparse_column.size();
  }
  return storage;
}

std::expected<ReducedColumns, SolverError> ReducedColumns::rescaled(
    const QpProblem& target, std::span<const double> row_scale, double factor_scale,
    std::span<const double> constraint_scale) const {
  if (t_dense_columns || storage_->forced_dense) return create(target.quadratic, constraint_rows(target));
  auto out = with_transform(target.quadratic);
  if (!out) return out;
  for (std::size_t j = 0; j < h_; ++j) {
    out->multiplier_[j] *=
        j < k_ ? factor_scale : (constraint_scale.empty() ? 1.0 : constraint_scale[j - k_]);
  }
  if (!row_scale.empty()) {
    for (std::size_t i = 0; i < n_; ++i) out->row_scale_[i] *= row_scale[i];
  }
  return out;
}

ReducedColumns ReducedColumns::from_matrix(const Matrix& u) {
  ReducedColumns columns;
  columns.store(&u, {}, false);
  columns.covariance_columns_ = true;
  return columns;
}

// Every column of [F, rows ᵀ] that equals an earlier one, or its negation,
// reads that one's stored column (κ = ±1); each other column is stored once:
// densely when it has more than n / kDenseColumnDivisor nonzeros, else
// through its nonzeros. With a non-finite entry anywhere (or `all_dense`)
// every column is stored densely and none shares, so that no 0·inf or 0·NaN
// term is skipped and the arithmetic is the plain one.
void ReducedColumns::store(const Matrix* factors, std::span<const double* const> rows, bool all_dense) {
  const std::size_t n = factors->rows();
  const std::size_t k = factors->cols();
  n_ = n;
  k_ = k;
  h_ = k + rows.size();
  const ColumnProfile profile = column_profile(*factors, rows);
  all_dense = all_dense || !profile.finite;

  // Stored columns in order of first appearance: `primary` is the column of
  // the data each one copies; `read_by_constraint` whether a constraint
  // column reads it.
  Sharing sharing = shared_columns(*factors, rows, profile, !all_dense);
  source_ = std::move(sharing.source);
  multiplier_ = std::move(sharing.multiplier);
  row_scale_.assign(n, 1.0);
  std::vector<std::size_t> primary = std::move(sharing.primary);
  std::vector<char> dense;
  auto storage = std::make_shared<Storage>();
  Storage& w = *storage;
  std::vector<char>& read_by_constraint = w.read_by_constraint;
  read_by_constraint = std::move(sharing.read);

  w.width = primary.size();
  w.forced_dense = all_dense;
  w.first_constraint_column = order_by_reader(primary, read_by_constraint, source_);
  dense.resize(w.width);
  for (std::size_t s = 0; s < w.width; ++s) {
    dense[s] = all_dense || profile.nonzeros[primary[s]] * static_cast<double>(kDenseColumnDivisor) >
                                static_cast<double>(n);
  }
  // Dense slots in column order: the columns no constraint column reads come first.
  for (std::size_t s = 0; s < w.width; ++s) {
    if (!dense[s]) continue;
    w.dense_column.push_back(s);
    if (s < w.first_constraint_column) w.leading = w.dense_column.size();
  }
  fill_dense(*factors, rows, primary, w);
  fill_sparse(*factors, rows, primary, dense, w);
  storage_ = std::move(storage);
}

// The dense block: slots of F's columns filled row by row, slots of
// constraint rows along their row.
void ReducedColumns::fill_dense(const Matrix& factors, std::span<const double* const> rows,
                                std::span<const std::size_t> primary, Storage& w) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  const std::size_t p = w.dense_column.size();
  w.dense.assign(n * p, 0.0);
  std::vector<std::pair<std::size_t, std::size_t>> from_factors;  // (slot, column of F)
  for (std::size_t a = 0; a < p; ++a) {
    const std::size_t j = primary[w.dense_column[a]];
    if (j < k) {
      from_factors.emplace_back(a, j);
      w.factor_end = a + 1;
      continue;
    }
    for (std::size_t i = 0; i < n; ++i) w.dense[i * p + a] = rows[j - k][i];
  }
  for (std::size_t i = 0; i < n; ++i) {
    const auto f = factors.row(i);
    for (const auto& [a, j] : from_factors) w.dense[i * p + a] = f[j];
  }
}

// The compressed rows, each row's entries in increasing stored column: those
// of F's columns (a prefix of the numbers) row by row, then those of the
// constraint rows one row at a time. The entries factor columns read are a
// prefix of every row and those constraint columns read a suffix.
void ReducedColumns::fill_sparse(const Matrix& factors, std::span<const double* const> rows,
                                 std::span<const std::size_t> primary, std::span<const char> dense,
                                 Storage& w) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  std::vector<std::size_t> factor_sparse, row_sparse;  // sparse stored columns from F, from rows
  for (std::size_t s = 0; s < w.width; ++s) {
    if (primary[s] < k) ++w.factor_width;
    if (!dense[s]) (primary[s] < k ? factor_sparse : row_sparse).push_back(s);
  }
  // Entries per row, then the offsets, then the entries.
  w.row_start.assign(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto f = factors.row(i);
    for (std::size_t s : factor_sparse) w.row_start[i + 1] += f[primary[s]] != 0.0 ? 1 : 0;
  }
  for (std::size_t s : row_sparse) {
    const double* row = rows[primary[s] - k];
    for (std::size_t i = 0; i < n; ++i) w.row_start[i + 1] += row[i] != 0.0 ? 1 : 0;
  }
  for (std::size_t i = 0; i < n; ++i) w.row_start[i + 1] += w.row_start[i];
  w.sparse_column.resize(w.row_start[n]);
  w.sparse_value.resize(w.row_start[n]);
  std::vector<std::size_t> next(w.row_start.begin(), w.row_start.end() - 1);
  const auto append = [&](std::size_t i, std::size_t s, double v) {
    if (v == 0.0) return;
    w.sparse_column[next[i]] = static_cast<std::uint32_t>(s);
    w.sparse_value[next[i]++] = v;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const auto f = factors.row(i);
    for (std::size_t s : factor_sparse) append(i, s, f[primary[s]]);
  }
  for (std::size_t s : row_sparse) {
    const double* row = rows[primary[s] - k];
    for (std::size_t i = 0; i < n; ++i) append(i, s, row[i]);
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
  columns.covariance_columns_ = true;
  return columns;
}

ReducedColumns ReducedColumns::of_data(const Matrix& factors, std::span<const double* const> rows) {
  ReducedColumns columns;
  columns.store(&factors, rows, false);
  return columns;
}

// ---- Products with V = diag(r)·W·M ----

void ReducedColumns::gather_to_stored(std::span<const double> y, std::size_t first, std::size_t last,
                                      std::span<double> ws) const {
  std::fill(ws.begin(), ws.end(), 0.0);
  for (std::size_t j = first; j < last; ++j) ws[source_[j]] += multiplier_[j] * y[j - first];
}

// Each stored column's sum runs over the rows once: the dense slots through
// accumulators in slot order, the compressed entries directly.
void ReducedColumns::stored_transpose(std::span<const double> x, std::span<double> ws, double* acc) const {
  const Storage& w = *storage_;
  const std::size_t p = w.dense_column.size();
  std::fill(acc, acc + p, 0.0);
  std::fill(ws.begin(), ws.end(), 0.0);
  for (std::size_t i = 0; i < n_; ++i) {
    const double xi = row_scale_[i] * x[i];
    const double* row = w.dense.data() + i * p;
    for (std::size_t a = 0; a < p; ++a) acc[a] += row[a] * xi;
    for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1]; ++e)
      ws[w.sparse_column[e]] += w.sparse_value[e] * xi;
  }
  for (std::size_t a = 0; a < p; ++a) ws[w.dense_column[a]] = acc[a];
}

void ReducedColumns::transpose_products(std::span<const double> x, std::span<double> t,
                                        std::span<double> image) const {
  std::vector<double> acc(dense_columns().size());
  std::vector<double> ws(stored());
  stored_transpose(x, ws, acc.data());
  if (!t.empty()) {
    for (std::size_t j = 0; j < k_; ++j) t[j] = multiplier_[j] * ws[source_[j]];
  }
  if (!image.empty()) {
    for (std::size_t j = k_; j < h_; ++j) image[j - k_] = multiplier_[j] * ws[source_[j]];
  }
}

// Row i of V_q·s is r_i times the dot product of row i of W with M_q·s:
// factor columns read the dense slots [0, factor_end) and the entries of the
// row before the first one of a stored column beyond factor_width;
// constraint columns read the slots from `leading` on and the entries of
// stored columns from first_constraint_column on (a suffix). Each row adds its factor sum first, then its
// constraint sum, so out_q and out_cons may be the same vector.
void ReducedColumns::add_products(std::span<const double> s, std::span<const double> y,
                                  std::span<double> out_q, std::span<double> out_cons) const {
  const Storage& w = *storage_;
  const std::size_t p = w.dense_column.size();
  const std::size_t width = p - w.leading;
  std::vector<double> ws_q(w.width), ws_cons(w.width);
  std::vector<double> gathered_q(w.factor_end), gathered_cons(width);
  if (!out_q.empty()) gather_to_stored(s, 0, k_, ws_q);
  if (!out_cons.empty()) gather_to_stored(y, k_, h_, ws_cons);
  for (std::size_t a = 0; a < w.factor_end; ++a) gathered_q[a] = ws_q[w.dense_column[a]];
  for (std::size_t a = 0; a < width; ++a) gathered_cons[a] = ws_cons[w.dense_column[w.leading + a]];
  for (std::size_t i = 0; i < n_; ++i) {
    const double* row = w.dense.data() + i * p;
    if (!out_q.empty()) {
      double sum = detail::dot4(row, gathered_q.data(), w.factor_end);
      for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1] && w.sparse_column[e] < w.factor_width; ++e)
        sum += w.sparse_value[e] * ws_q[w.sparse_column[e]];
      out_q[i] += row_scale_[i] * sum;
    }
    if (!out_cons.empty()) {
      double sum = detail::dot4(row + w.leading, gathered_cons.data(), width);
      for (std::size_t e = w.constraint_entries(i); e < w.row_start[i + 1]; ++e)
        sum += w.sparse_value[e] * ws_cons[w.sparse_column[e]];
      out_cons[i] += row_scale_[i] * sum;
    }
  }
}

void ReducedColumns::factor_transpose_product(std::span<const double> x, std::span<double> t) const {
  transpose_products(x, t, {});
}

void ReducedColumns::add_factor_product(std::span<const double> s, std::span<double> out) const {
  add_products(s, {}, out, {});
}

void ReducedColumns::constraint_image(std::span<const double> x, std::span<double> image) const {
  transpose_products(x, {}, image);
}

void ReducedColumns::add_constraint_combination(std::span<const double> y, std::span<double> out) const {
  add_products({}, y, {}, out);
}

std::span<const std::uint32_t> ReducedColumns::sparse_columns_of(std::size_t i) const {
  const Storage& w = *storage_;
  return std::span<const std::uint32_t>(w.sparse_column)
      .subspan(w.row_start[i], w.row_start[i + 1] - w.row_start[i]);
}

std::span<const double> ReducedColumns::sparse_values_of(std::size_t i) const {
  const Storage& w = *storage_;
  return std::span<const double>(w.sparse_value).subspan(w.row_start[i], w.row_start[i + 1] - w.row_start[i]);
}

// U = diag(r)·W·M·T written out: V_ij = r_i·(κ_j·W_i,source(j)), then the
// factor block through T_q and the constraint block times s.
Matrix ReducedColumns::materialize(double constraint_scale) const {
  const Storage& w = *storage_;
  const std::size_t p = w.dense_column.size();
  std::vector<double> stored_row(w.width);
  Matrix v = Matrix::zeros(n_, h_);
  for (std::size_t i = 0; i < n_; ++i) {
    std::fill(stored_row.begin(), stored_row.end(), 0.0);
    for (std::size_t a = 0; a < p; ++a) stored_row[w.dense_column[a]] = w.dense[i * p + a];
    for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1]; ++e)
      stored_row[w.sparse_column[e]] = w.sparse_value[e];
    for (std::size_t j = 0; j < h_; ++j) v(i, j) = row_scale_[i] * (multiplier_[j] * stored_row[source_[j]]);
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

// Vᵀ·diag(g)·V = Mᵀ·(Wᵀ·diag(r²∘g)·W)·M. The stored Gram matrix takes every
// entry as a sum over the rows in increasing order of the terms whose two
// entries are stored: the dense block through register tiles; a sparse entry
// W_is adds (W_is·g_i)·W_ic for every stored entry W_ic of its row, into row
// s of the result. Then entry (a, b) of V's is κ_a·κ_b times entry
// (source(a), source(b)).
Matrix ReducedColumns::weighted_gram(std::span<const double> g) const {
  const Storage& w = *storage_;
  const std::size_t p = w.dense_column.size();
  const std::size_t hw = w.width;
  std::vector<double> weights(n_);
  for (std::size_t i = 0; i < n_; ++i) weights[i] = (row_scale_[i] * row_scale_[i]) * g[i];
  Matrix m = Matrix::zeros(hw, hw);
  if (p > 0) {
    std::size_t padded = 0;
    const std::vector<double> block = dense_gram(w.dense.data(), n_, p, weights, padded);
    for (std::size_t a = 0; a < p; ++a) {
      for (std::size_t b = 0; b <= a; ++b) m(w.dense_column[a], w.dense_column[b]) = block[a * padded + b];
    }
  }
  for (std::size_t i = 0; i < n_; ++i) {
    const double* dense_row = w.dense.data() + i * p;
    for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1]; ++e) {
      const double v = w.sparse_value[e] * weights[i];
      const auto out = m.row(w.sparse_column[e]);
      for (std::size_t a = 0; a < p; ++a) out[w.dense_column[a]] += v * dense_row[a];
      for (std::size_t f = w.row_start[i]; f <= e; ++f) out[w.sparse_column[f]] += v * w.sparse_value[f];
    }
  }
  // Each pair of stored columns was accumulated in one of its two rows: the
  // sparse one's when one is dense, else the one later in the order of the
  // passes (slot order for dense columns; for compressed ones the order of
  // the entries of a row: columns no constraint reads first).
  std::vector<char> is_dense(hw, 0);
  std::vector<std::size_t> order(hw, 0);
  for (std::size_t a = 0; a < p; ++a) {
    is_dense[w.dense_column[a]] = 1;
    order[w.dense_column[a]] = a;
  }
  for (std::size_t s = 0; s < hw; ++s) {
    if (!is_dense[s]) order[s] = (w.read_by_constraint[s] ? hw : 0) + s;
  }
  for (std::size_t a = 0; a < hw; ++a) {
    for (std::size_t b = 0; b < a; ++b) {
      const bool in_row_a = is_dense[a] == is_dense[b] ? order[a] > order[b] : !is_dense[a];
      if (in_row_a) {
        m(b, a) = m(a, b);
      } else {
        m(a, b) = m(b, a);
      }
    }
  }
  Matrix full = Matrix::zeros(h_, h_);
  for (std::size_t a = 0; a < h_; ++a) {
    for (std::size_t b = 0; b < h_; ++b)
      full(a, b) = multiplier_[a] * multiplier_[b] * m(source_[a], source_[b]);
  }
  return full;
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
    // Y = M·T_q over the factor columns (h×k), kept transposed so that both
    // products read rows: Y_ab = Σ_{l≥b} M_al·L_lb, S_qq = T_qᵀ·Y_q.
    const Matrix& upper = v.upper_;
    Matrix y_t = Matrix::zeros(k, h);
    for (std::size_t a = 0; a < h; ++a) {
      const double* row = m.row(a).data();
      for (std::size_t b = 0; b < k; ++b) y_t(b, a) = detail::dot4(row + b, upper.row(b).data() + b, k - b);
    }
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t b = 0; b <= a; ++b)
        s(a, b) = detail::dot4(upper.row(a).data() + a, y_t.row(b).data() + a, k - a);
    }
    for (std::size_t c = k; c < h; ++c) {
      for (std::size_t b = 0; b < k; ++b) s(c, b) = scale_ * y_t(b, c);
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
      lower_transpose_times(columns.upper_, v.data());
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
  std::vector<double> scratch(solve_scratch());
  solve_in_place(r, scratch);
}

// Woodbury: (G + UUᵀ)⁻¹r = G⁻¹r − G⁻¹U·S⁻¹·UᵀG⁻¹r with S = I + UᵀG⁻¹U and
// U = diag(r)·W·M·T: Uᵀy = Tᵀ·Mᵀ·(Wᵀ(r∘y)), U·w = r∘(W·(M·T·w)). Only stored
// entries of W enter the products; for finite r the skipped ones would add
// exact zeros.
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
  const ReducedColumns::Storage& w = *v.storage_;
  const std::size_t p = w.dense_column.size();
  const std::span<double> t = scratch.first(h);
  const std::span<double> ws = scratch.subspan(h, w.width);
  double* acc = scratch.data() + h + w.width;
  const double* scale = v.row_scale_.data();
  v.stored_transpose(r, ws, acc);
  for (std::size_t j = 0; j < h; ++j) t[j] = v.multiplier_[j] * ws[v.source_[j]];
  to_capacitance_space(t);
  cholesky_solve_in_place(factor_, t);
  from_capacitance_space(t);
  v.gather_to_stored(t, 0, h, ws);
  for (std::size_t a = 0; a < p; ++a) acc[a] = ws[w.dense_column[a]];
  for (std::size_t i = 0; i < n; ++i) {
    double s = detail::dot4(w.dense.data() + i * p, acc, p);
    for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1]; ++e)
      s += w.sparse_value[e] * ws[w.sparse_column[e]];
    r[i] -= inverse_diagonal_[i] * (scale[i] * s);
  }
}

void SmwSystem::solve_capacitance_in_place(std::span<double> t) const {
  cholesky_solve_in_place(factor_, t);
}

// Pass 1 of an ADMM iteration, one stream over W. The right-hand side is
// r = b + V_cons·weights with b the part without V (in g on entry, `fill`
// writing each block of rows first). Its constraint part never needs forming
// in the n-space: with U = V·T and ν = T⁻¹·[0; weights] (weights/s on the
// constraint coordinates), V_cons·weights = U·ν and K⁻¹U = G⁻¹U·S⁻¹, so
//   K⁻¹r = G⁻¹b − G⁻¹U·S⁻¹·(UᵀG⁻¹b − ν).
// The pass leaves g = G⁻¹b and t = UᵀG⁻¹b − ν = Tᵀ·Mᵀ·(Wᵀ(r∘g)) − ν (r the
// row scale). The rows go in blocks of kFusedRows, and within them four at a
// time: the dense slots accumulate in `dense` (slot order), each entry still
// taking the rows in increasing order; the sparse entries go straight into
// their stored column. In the n-space the pass forms r itself,
// r_i = b_i + r_i·Σ_s W_is·ω_s with ω = M_cons·weights.
void SmwSystem::project_rhs(std::span<double> g, std::span<const double> weights, std::span<double> t,
                            std::span<double> dense, RowBlocks fill) const {
  const std::size_t n = inverse_diagonal_.size();
  if (rank() == 0) {
    fill(0, n);
    for (std::size_t i = 0; i < n; ++i) g[i] *= inverse_diagonal_[i];
    return;
  }
  const ReducedColumns& v = *columns_;
  const ReducedColumns::Storage& w = *v.storage_;
  const std::size_t k = v.k_;
  const std::size_t h = v.h_;
  const std::size_t p = w.dense_column.size();
  const auto [d, row_start, column, value, first_constraint_column] = v.raw();
  const double* scale = v.row_scale_.data();
  if (asset_space_) {
    const std::size_t first = w.leading;
    double* gathered = dense.data() + p;
    double* omega = gathered + p;  // ω, one per stored column
    v.gather_to_stored(weights, k, h, {omega, w.width});
    for (std::size_t a = first; a < p; ++a) gathered[a - first] = omega[w.dense_column[a]];
    fill(0, n);
    for (std::size_t i = 0; i < n; ++i) {
      double pull = detail::dot4(d + i * p + first, gathered, p - first);
      for (std::size_t e = row_start[i]; e < row_start[i + 1]; ++e) {
        if (column[e] >= first_constraint_column) pull += value[e] * omega[column[e]];
      }
      g[i] += scale[i] * pull;
    }
    return;
  }
  double* acc = dense.data();
  double* stored_t = acc + p;  // Wᵀ(r∘g), one per stored column
  const double* inverse = inverse_diagonal_.data();
  std::fill(acc, acc + p, 0.0);
  std::fill(stored_t, stored_t + w.width, 0.0);
  const auto scatter_sparse = [&](std::size_t i, double gi) {
    for (std::size_t e = row_start[i]; e < row_start[i + 1]; ++e) stored_t[column[e]] += value[e] * gi;
  };
  for (std::size_t block = 0; block < n; block += kFusedRows) {
    const std::size_t end = std::min(n, block + kFusedRows);
    fill(block, end);
    std::size_t i = block;
    for (; i + kRowGroup <= end; i += kRowGroup) {
      const double* u0 = d + i * p;
      const double* u1 = u0 + p;
      const double* u2 = u1 + p;
      const double* u3 = u2 + p;
      const double g0 = scale[i] * (g[i] *= inverse[i]);
      const double g1 = scale[i + 1] * (g[i + 1] *= inverse[i + 1]);
      const double g2 = scale[i + 2] * (g[i + 2] *= inverse[i + 2]);
      const double g3 = scale[i + 3] * (g[i + 3] *= inverse[i + 3]);
      for (std::size_t c = 0; c < p; ++c)
        acc[c] = (((acc[c] + u0[c] * g0) + u1[c] * g1) + u2[c] * g2) + u3[c] * g3;
      scatter_sparse(i, g0);
      scatter_sparse(i + 1, g1);
      scatter_sparse(i + 2, g2);
      scatter_sparse(i + 3, g3);
    }
    for (; i < end; ++i) {
      const double* u = d + i * p;
      const double gi = scale[i] * (g[i] *= inverse[i]);
      for (std::size_t c = 0; c < p; ++c) acc[c] += u[c] * gi;
      scatter_sparse(i, gi);
    }
  }
  for (std::size_t a = 0; a < p; ++a) stored_t[w.dense_column[a]] = acc[a];
  for (std::size_t j = 0; j < h; ++j) t[j] = v.multiplier_[j] * stored_t[v.source_[j]];
  to_capacitance_space(t);
  for (std::size_t j = k; j < h; ++j) t[j] -= weights[j - k] / scale_;
}

// Pass 2, the second stream over W: from project_rhs's g = G⁻¹b and t,
//   w = M·T·S⁻¹t,  x_i = g_i − G⁻¹_i·(r_i·(W_i·w)),  image = M_consᵀ·(Wᵀ(r∘x)),
// in blocks of kFusedRows (`done` takes each block once its x is final) and
// four rows at a time within them, the dense constraint slots of the image
// accumulating behind the gathered w in `dense`. In the n-space x = K⁻¹r
// first and the same stream forms only the image.
bool SmwSystem::back_substitute(std::span<const double> g, std::span<double> t, std::span<double> x,
                                std::span<double> image, std::span<double> dense, RowBlocks done) const {
  const std::size_t n = inverse_diagonal_.size();
  std::fill(image.begin(), image.end(), 0.0);
  if (rank() == 0) {
    std::copy(g.begin(), g.end(), x.begin());
    done(0, n);
    return all_finite(x);
  }
  const ReducedColumns& v = *columns_;
  const ReducedColumns::Storage& w = *v.storage_;
  const std::size_t k = v.k_;
  const std::size_t h = v.h_;
  const std::size_t p = w.dense_column.size();
  const std::size_t first = w.leading;
  const std::size_t width = p - first;
  double* gathered = dense.data();
  double* acc = gathered + p;
  double* stored_w = acc + p;                 // M·T·S⁻¹t, one per stored column
  double* stored_image = stored_w + w.width;  // Wᵀ(r∘x), one per stored column
  if (asset_space_) {
    std::copy(g.begin(), g.end(), x.begin());
    cholesky_solve_in_place(factor_, x);
  } else {
    cholesky_solve_in_place(factor_, t);
    from_capacitance_space(t);
    v.gather_to_stored(t, 0, h, {stored_w, w.width});
    for (std::size_t a = 0; a < p; ++a) gathered[a] = stored_w[w.dense_column[a]];
  }
  std::fill(acc, acc + width, 0.0);
  std::fill(stored_image, stored_image + w.width, 0.0);
  const auto [d, row_start, column, value, first_constraint_column] = v.raw();
  const double* inverse = inverse_diagonal_.data();
  const double* scale = v.row_scale_.data();
  // Σ (x_r − x_r): zero while every x_r is finite, NaN from the first that is not.
  double not_finite = 0.0;
  // x_r, and r_r·x_r for the image.
  const auto solved = [&](std::size_t r) {
    double xr = x[r];
    if (!asset_space_) {
      double uw = detail::dot4(d + r * p, gathered, p);
      for (std::size_t e = row_start[r]; e < row_start[r + 1]; ++e) uw += value[e] * stored_w[column[e]];
      xr = x[r] = g[r] - inverse[r] * (scale[r] * uw);
    }
    not_finite += xr - xr;
    const double scaled = scale[r] * xr;
    for (std::size_t e = row_start[r]; e < row_start[r + 1]; ++e) {
      if (column[e] >= first_constraint_column) stored_image[column[e]] += value[e] * scaled;
    }
    return scaled;
  };
  for (std::size_t block = 0; block < n; block += kFusedRows) {
    const std::size_t end = std::min(n, block + kFusedRows);
    std::size_t i = block;
    for (; i + kRowGroup <= end; i += kRowGroup) {
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
    for (; i < end; ++i) {
      const double* u = d + i * p + first;
      const double xi = solved(i);
      for (std::size_t c = 0; c < width; ++c) acc[c] += u[c] * xi;
    }
    done(block, end);
  }
  for (std::size_t a = first; a < p; ++a) stored_image[w.dense_column[a]] = acc[a - first];
  for (std::size_t j = k; j < h; ++j) image[j - k] = v.multiplier_[j] * stored_image[v.source_[j]];
  return not_finite == 0.0;
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
  std::shared_ptr<const ReducedColumns> columns =
      entries_.empty() ? columns_ : entries_.front().second.smw.shared_columns();
  auto system = columns ? FactorizedSystem::create(problem, std::move(columns), rho, sigma)
                        : FactorizedSystem::create(problem, rho, sigma);
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
