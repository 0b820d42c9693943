#include "dense_cholesky.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "simd.hpp"

namespace morva::detail {
namespace {

// Register tile of the dense Gram product, and the bytes of rows one pass of
// the tiles streams (fits the first-level data cache).
constexpr std::size_t kTile = 4;
constexpr std::size_t kGramChunkBytes = 32 * 1024;
// Columns of C = F·L computed together per pair of rows.
constexpr std::size_t kColumnBlock = 8;

// One block of the dense Gram product, tile rows [a0, a0 + Rows) by the
// kTile columns [b0, b0 + kTile), over rows [i0, i1) of the matrix at `rows`
// (row stride `stride`): block(a, b) += Σ_i (U_ia·g_i)·U_ib with block rows
// `width` apart, the running sums kept in registers and taken in increasing
// i. Rows < kTile serves the last tile row when the columns end inside it.
template <std::size_t Rows>
void accumulate_tile(const double* rows, std::size_t stride, const double* g, std::size_t i0, std::size_t i1,
                     std::size_t a0, std::size_t b0, std::size_t width, double* block) {
  static_assert(kTile == 4 && Rows <= kTile);
  // Lanes: columns (b0, b0 + 1) and (b0 + 2, b0 + 3) of each tile row.
  Lanes2 acc[Rows][2];
  for (std::size_t a = 0; a < Rows; ++a) {
    acc[a][0] = load2(block + (a0 + a) * width + b0);
    acc[a][1] = load2(block + (a0 + a) * width + b0 + 2);
  }
  for (std::size_t i = i0; i < i1; ++i) {
    const double* row = rows + i * stride;
    const double gi = g[i];
    const Lanes2 v0 = load2(row + b0);
    const Lanes2 v1 = load2(row + b0 + 2);
    for (std::size_t a = 0; a < Rows; ++a) {
      const double w = row[a0 + a] * gi;
      const Lanes2 wa = {w, w};
      acc[a][0] += wa * v0;
      acc[a][1] += wa * v1;
    }
  }
  for (std::size_t a = 0; a < Rows; ++a) {
    store2(block + (a0 + a) * width + b0, acc[a][0]);
    store2(block + (a0 + a) * width + b0 + 2, acc[a][1]);
  }
}

#if defined(__GNUC__) && defined(__x86_64__)
// accumulate_tile over Tiles tiles side by side, columns [b0, b0 + Tiles·4),
// each tile row's four columns of a tile in one 256-bit vector, for
// processors with AVX2: each weight U_ia·g_i formed once for every tile, and
// lane by lane the same products and the same sums in the same order (AVX2
// brings no fused multiply-add, so none is formed).
template <std::size_t Rows, std::size_t Tiles>
[[gnu::target("avx2")]] void accumulate_tiles_wide(const double* rows, std::size_t stride, const double* g,
                                                   std::size_t i0, std::size_t i1, std::size_t a0,
                                                   std::size_t b0, std::size_t width, double* block) {
  Lanes4 acc[Rows][Tiles];
  for (std::size_t a = 0; a < Rows; ++a) {
    for (std::size_t t = 0; t < Tiles; ++t) acc[a][t] = load4(block + (a0 + a) * width + b0 + t * kTile);
  }
  for (std::size_t i = i0; i < i1; ++i) {
    const double* row = rows + i * stride;
    const double gi = g[i];
    Lanes4 v[Tiles];
    for (std::size_t t = 0; t < Tiles; ++t) v[t] = load4(row + b0 + t * kTile);
    for (std::size_t a = 0; a < Rows; ++a) {
      const Lanes4 wa = splat4(row[a0 + a] * gi);
      for (std::size_t t = 0; t < Tiles; ++t) acc[a][t] += wa * v[t];
    }
  }
  for (std::size_t a = 0; a < Rows; ++a) {
    for (std::size_t t = 0; t < Tiles; ++t) store4(block + (a0 + a) * width + b0 + t * kTile, acc[a][t]);
  }
}
#endif

using TileKernel = void (*)(const double*, std::size_t, const double*, std::size_t, std::size_t, std::size_t,
                            std::size_t, std::size_t, double*);

// The kernels for 1 to kTile tile rows (index Rows − 1) over one tile of
// columns and over two side by side: the wide ones where the processor has
// AVX2, and no two-tile ones (the single-tile ones serve) without.
struct TileKernels {
  std::array<TileKernel, kTile> one, two;
};
const TileKernels& tile_kernels() {
  static const TileKernels kernels = [] {
#if defined(__GNUC__) && defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) {
      return TileKernels{{accumulate_tiles_wide<1, 1>, accumulate_tiles_wide<2, 1>,
                          accumulate_tiles_wide<3, 1>, accumulate_tiles_wide<4, 1>},
                         {accumulate_tiles_wide<1, 2>, accumulate_tiles_wide<2, 2>,
                          accumulate_tiles_wide<3, 2>, accumulate_tiles_wide<4, 2>}};
    }
#endif
    return TileKernels{{accumulate_tile<1>, accumulate_tile<2>, accumulate_tile<3>, accumulate_tile<4>}, {}};
  }();
  return kernels;
}

// sums[v][q].add(xs[v], rows + q·stride, len) for q < 4 (len a multiple of
// four) and v < V, the four of each v in one loop so that their chains of
// additions overlap.
template <std::size_t V>
void add_four_narrow(const double* const* xs, const double* rows, std::size_t stride, std::size_t len,
                     Dot4Sums* const* vector_sums) {
  for (std::size_t v = 0; v < V; ++v) {
    const double* x = xs[v];
    Dot4Sums* sums = vector_sums[v];
    const double* r0 = rows;
    const double* r1 = rows + stride;
    const double* r2 = rows + 2 * stride;
    const double* r3 = rows + 3 * stride;
    Lanes2 l0 = sums[0].low, h0 = sums[0].high, l1 = sums[1].low, h1 = sums[1].high;
    Lanes2 l2 = sums[2].low, h2 = sums[2].high, l3 = sums[3].low, h3 = sums[3].high;
    for (std::size_t e = 0; e + 4 <= len; e += 4) {
      const Lanes2 xl = load2(x + e);
      const Lanes2 xh = load2(x + e + 2);
      l0 += xl * load2(r0 + e);
      h0 += xh * load2(r0 + e + 2);
      l1 += xl * load2(r1 + e);
      h1 += xh * load2(r1 + e + 2);
      l2 += xl * load2(r2 + e);
      h2 += xh * load2(r2 + e + 2);
      l3 += xl * load2(r3 + e);
      h3 += xh * load2(r3 + e + 2);
    }
    sums[0].low = l0, sums[0].high = h0, sums[1].low = l1, sums[1].high = h1;
    sums[2].low = l2, sums[2].high = h2, sums[3].low = l3, sums[3].high = h3;
  }
}

#if defined(__GNUC__) && defined(__x86_64__)
// add_four_narrow with each sum's four lanes (low, high) in one 256-bit
// vector, for processors with AVX2: each row's stretch loaded once for all V,
// 4·V chains of additions in flight, and lane by lane the same products and
// sums.
template <std::size_t V>
[[gnu::target("avx2")]] void add_four_wide(const double* const* xs, const double* rows, std::size_t stride,
                                           std::size_t len, Dot4Sums* const* sums) {
  Lanes4 acc[V][4];
  for (std::size_t v = 0; v < V; ++v) {
    for (std::size_t q = 0; q < 4; ++q) {
      const Dot4Sums& s = sums[v][q];
      acc[v][q] = Lanes4{s.low[0], s.low[1], s.high[0], s.high[1]};
    }
  }
  for (std::size_t e = 0; e + 4 <= len; e += 4) {
    Lanes4 x[V];
    for (std::size_t v = 0; v < V; ++v) x[v] = load4(xs[v] + e);
    for (std::size_t q = 0; q < 4; ++q) {
      const Lanes4 r = load4(rows + q * stride + e);
      for (std::size_t v = 0; v < V; ++v) acc[v][q] += x[v] * r;
    }
  }
  for (std::size_t v = 0; v < V; ++v) {
    for (std::size_t q = 0; q < 4; ++q) {
      sums[v][q].low = Lanes2{acc[v][q][0], acc[v][q][1]};
      sums[v][q].high = Lanes2{acc[v][q][2], acc[v][q][3]};
    }
  }
}
#endif

// add_four_narrow, in one loop for all V where the processor has AVX2.
template <std::size_t V>
void add_four(const double* const (&xs)[V], const double* rows, std::size_t stride, std::size_t len,
              Dot4Sums* const (&sums)[V]) {
  static const auto kernel = MORVA_AVX2_OR(add_four_wide<V>, add_four_narrow<V>);
  kernel(xs, rows, stride, len, sums);
}

// The tile where the columns end inside both its rows and its columns: each
// entry (a, b) with a, b < width, summed on its own in increasing i.
void accumulate_corner_tile(const double* rows, std::size_t width, const double* g, std::size_t i0,
                            std::size_t i1, std::size_t a0, std::size_t block_width, double* block) {
  for (std::size_t a = a0; a < width; ++a) {
    for (std::size_t b = a0; b <= a; ++b) {
      double acc = block[a * block_width + b];
      for (std::size_t i = i0; i < i1; ++i) acc += (rows[i * width + a] * g[i]) * rows[i * width + b];
      block[a * block_width + b] = acc;
    }
  }
}

void dot4_rows_narrow(const double* x, const double* rows, std::size_t stride, std::size_t count,
                      std::size_t len, double* out) {
  for (std::size_t r = 0; r < count; ++r) out[r] = dot4(rows + r * stride, x, len);
}

#if defined(__GNUC__) && defined(__x86_64__)
// Four rows' partial sums (lane q of a_q) finished together into out[0, 4),
// lane q for row q: s0 takes the tail terms c in [whole, len) in order (at
// most three), then (s0 + s1) + (s2 + s3).
[[gnu::target("avx2"), gnu::always_inline]] inline void finish_four_rows(Lanes4 a0, Lanes4 a1, Lanes4 a2,
                                                                         Lanes4 a3, const double* x,
                                                                         const double* r0, std::size_t stride,
                                                                         std::size_t whole, std::size_t len,
                                                                         double* out) {
  Lanes4 s0 = {a0[0], a1[0], a2[0], a3[0]};
  const Lanes4 s1 = {a0[1], a1[1], a2[1], a3[1]};
  const Lanes4 s2 = {a0[2], a1[2], a2[2], a3[2]};
  const Lanes4 s3 = {a0[3], a1[3], a2[3], a3[3]};
  for (std::size_t c = whole; c < len; ++c) {
    const Lanes4 v = {r0[c], r0[stride + c], r0[2 * stride + c], r0[3 * stride + c]};
    s0 += v * splat4(x[c]);
  }
  store4(out, (s0 + s1) + (s2 + s3));
}

// Rows r0, r0 + stride, … (Rows of them, a multiple of four) against x,
// their chains of additions side by side, finished four at a time.
template <std::size_t Rows>
[[gnu::target("avx2"), gnu::always_inline]] inline void dot_row_block(const double* x, const double* r0,
                                                                      std::size_t stride, std::size_t whole,
                                                                      std::size_t len, double* out) {
  Lanes4 a[Rows] = {};
  for (std::size_t e = 0; e < whole; e += 4) {
    const Lanes4 xv = load4(x + e);
    for (std::size_t q = 0; q < Rows; ++q) a[q] += load4(r0 + q * stride + e) * xv;
  }
  for (std::size_t g = 0; g < Rows; g += 4)
    finish_four_rows(a[g], a[g + 1], a[g + 2], a[g + 3], x, r0 + g * stride, stride, whole, len, out + g);
}

// Rows at least this long are summed eight at a time.
constexpr std::size_t kLongRow = 32;

// dot4_rows_narrow with each row's four partial sums in one 256-bit vector
// held in registers throughout: lanes (s0, s1, s2, s3) take the same products
// and sums, s0 the tail, and the row's value is (s0 + s1) + (s2 + s3).
[[gnu::target("avx2")]] void dot4_rows_wide(const double* x, const double* rows, std::size_t stride,
                                            std::size_t count, std::size_t len, double* out) {
  const std::size_t whole = len / 4 * 4;
  // Long rows eight at a time while they last: eight chains of additions in
  // flight, enough to keep the adders busy. Short rows (the stored columns'
  // dense block, a dozen slots) go four at a time: there the longer blocks
  // cost more than the chains they overlap (11% more per iteration).
  std::size_t r = 0;
  if (len >= kLongRow) {
    for (; r + 8 <= count; r += 8) dot_row_block<8>(x, rows + r * stride, stride, whole, len, out + r);
  }
  for (; r + 4 <= count; r += 4) dot_row_block<4>(x, rows + r * stride, stride, whole, len, out + r);
  for (; r < count; ++r) out[r] = dot4(rows + r * stride, x, len);
}

#endif

// Entries [c0, c0 + 4) of row j of the factor from their leading sums over
// [0, c0): each finished with its last c − c0 terms, which need the row's
// entries from c0 on, written in turn.
[[gnu::always_inline]] inline void finish_four(const double* a, std::size_t h, const double* factor,
                                               std::size_t j, std::size_t c0, const Dot4Sums* sums,
                                               double* row_j) {
  for (std::size_t q = 0; q < 4; ++q) {
    const std::size_t c = c0 + q;
    const double* row_c = factor + c * h;
    const double s = sums[q].finish(row_j + c0, row_c + c0, q);
    row_j[c] = (a[j * h + c] - s) / row_c[c];
  }
}

// Row j's entries from c0 (a multiple of four) to its diagonal, each from
// dot4(row_j, row_c, c), in blocks of four through their leading stretches
// [0, c0) side by side, then one at a time. False when the pivot is not
// finite or at most min_pivot.
bool finish_row(const double* a, std::size_t h, double min_pivot, double* factor, std::size_t j,
                std::size_t c0) {
  double* row_j = factor + j * h;
  for (; c0 + 4 <= j; c0 += 4) {
    Dot4Sums sums[4];
    add_four({row_j}, factor + c0 * h, h, c0, {sums});
    finish_four(a, h, factor, j, c0, sums, row_j);
  }
  for (std::size_t c = c0; c <= j; ++c) {
    const double* row_c = factor + c * h;
    const double s = dot4(row_j, row_c, c);
    if (c < j) {
      row_j[c] = (a[j * h + c] - s) / row_c[c];
    } else {
      const double pivot = a[j * h + j] - s;
      if (!std::isfinite(pivot) || pivot <= min_pivot) return false;
      row_j[c] = std::sqrt(pivot);
    }
  }
  return true;
}

}  // namespace

bool semidefinite_cholesky(const double* omega, std::size_t k, double tolerance_factor, double* lower) {
  double largest = 0.0;
  for (std::size_t e = 0; e < k * k; ++e) largest = std::max(largest, std::abs(omega[e]));
  const double tolerance = tolerance_factor * std::max(1.0, largest);

  for (std::size_t j = 0; j < k; ++j) {
    const double* row_j = lower + j * k;
    double squares = 0.0;  // Σ_{l<j} L_jl², serially
    for (std::size_t l = 0; l < j; ++l) squares += row_j[l] * row_j[l];
    const double pivot = omega[j * k + j] - squares;
    if (pivot < -tolerance) return false;

    const bool zero_pivot = !(pivot > tolerance);
    const double root = zero_pivot ? 0.0 : std::sqrt(pivot);
    if (!zero_pivot) lower[j * k + j] = root;
    // Entry (i, j) from the serial sum Σ_{l<j} L_il·L_jl; four rows' sums
    // advance together, each still summed in increasing l.
    const auto settle = [&](std::size_t i, double explained) {
      const double remainder = omega[i * k + j] - explained;
      if (zero_pivot) return std::abs(remainder) <= tolerance;
      lower[i * k + j] = remainder / root;
      return true;
    };
    std::size_t i = j + 1;
    for (; i + 4 <= k; i += 4) {
      const double* row_i = lower + i * k;
      double e0 = 0.0, e1 = 0.0, e2 = 0.0, e3 = 0.0;
      for (std::size_t l = 0; l < j; ++l) {
        e0 += row_i[l] * row_j[l];
        e1 += row_i[k + l] * row_j[l];
        e2 += row_i[2 * k + l] * row_j[l];
        e3 += row_i[3 * k + l] * row_j[l];
      }
      if (!settle(i, e0) || !settle(i + 1, e1) || !settle(i + 2, e2) || !settle(i + 3, e3)) return false;
    }
    for (; i < k; ++i) {
      const double* row_i = lower + i * k;
      double explained = 0.0;
      for (std::size_t l = 0; l < j; ++l) explained += row_i[l] * row_j[l];
      if (!settle(i, explained)) return false;
    }
  }
  return true;
}

bool off_diagonal_zero(const double* omega, std::size_t k) {
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) {
      if (c != r && omega[r * k + c] != 0.0) return false;
    }
  }
  return true;
}

bool diagonal_semidefinite_cholesky(const double* omega, std::size_t k, double tolerance_factor,
                                    double* lower) {
  // The largest |Ω_e| is on the diagonal: the zeros elsewhere cannot raise it.
  double largest = 0.0;
  for (std::size_t j = 0; j < k; ++j) largest = std::max(largest, std::abs(omega[j * k + j]));
  const double tolerance = tolerance_factor * std::max(1.0, largest);

  for (std::size_t j = 0; j < k; ++j) {
    const double pivot = omega[j * k + j];
    if (pivot < -tolerance) return false;
    if (!(pivot > tolerance)) continue;  // a zero column, as L is on entry
    const double root = std::sqrt(pivot);
    lower[j * k + j] = root;
    for (std::size_t i = j + 1; i < k; ++i) lower[i * k + j] = omega[i * k + j] / root;
  }
  return true;
}

void dot4_rows(const double* x, const double* rows, std::size_t stride, std::size_t count, std::size_t len,
               double* out) {
  static const auto kernel = MORVA_AVX2_OR(dot4_rows_wide, dot4_rows_narrow);
  kernel(x, rows, stride, count, len, out);
}

// Rows go in pairs: below the diagonal block, rows j and j + 1 read the same
// earlier rows, so their blocks of four entries are taken together (one read
// of each earlier row's stretch for both, and two chains of divisions in
// flight instead of one); each entry is still dot4's sum, so the factor is
// the one row-by-row elimination gives.
bool cholesky_lower(const double* a, std::size_t h, double min_pivot, double* factor) {
  std::size_t j = 0;
  for (; j + 1 < h; j += 2) {
    double* row_j = factor + j * h;
    double* row_next = row_j + h;
    std::size_t c0 = 0;
    for (; c0 + 4 <= j; c0 += 4) {
      Dot4Sums sums_j[4], sums_next[4];
      add_four({row_j, row_next}, factor + c0 * h, h, c0, {sums_j, sums_next});
      finish_four(a, h, factor, j, c0, sums_j, row_j);
      finish_four(a, h, factor, j + 1, c0, sums_next, row_next);
    }
    if (!finish_row(a, h, min_pivot, factor, j, c0) || !finish_row(a, h, min_pivot, factor, j + 1, c0))
      return false;
  }
  return j == h || finish_row(a, h, min_pivot, factor, j, 0);
}

// The forward sums go through dot4 (four independent partial sums, not one
// serial chain); the backward pass eliminates each solved unknown from the
// rows above, which keeps the access row-contiguous and the updates
// independent.
void cholesky_solve_in_place(const double* lower, std::size_t h, double* t) {
  for (std::size_t j = 0; j < h; ++j) {
    const double* row = lower + j * h;
    t[j] = (t[j] - dot4(row, t, j)) / row[j];
  }
  for (std::size_t j = h; j-- > 0;) {
    const double* row = lower + j * h;
    t[j] /= row[j];
    const double w = t[j];
    for (std::size_t l = 0; l < j; ++l) t[l] -= row[l] * w;
  }
}

// Rows go in pairs and columns in blocks of kColumnBlock, the running sums in
// registers. A block also adds the terms l < c of its columns, which are
// exact zeros (F_rl·0) and leave every sum unchanged.
void lower_triangular_product(const double* fd, std::size_t n, std::size_t k, const double* ld, double* od) {
  const auto entry = [&](std::size_t r, std::size_t c) {
    double sum = 0.0;
    for (std::size_t l = c; l < k; ++l) sum += fd[r * k + l] * ld[l * k + c];
    od[r * k + c] = sum;
  };
  std::size_t c0 = 0;
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
      for (std::size_t c = c0; c < c0 + kColumnBlock; ++c) entry(r, c);
    }
  }
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = c0; c < k; ++c) entry(r, c);
  }
}

// c ascending, so that every t_l read is still the input.
void lower_transpose_times(const double* upper, std::size_t k, double* t) {
  for (std::size_t c = 0; c < k; ++c) t[c] = dot4(upper + c * k + c, t + c, k - c);
}

// l descending, so that every w_c read is still the input.
void lower_times(const double* lower, std::size_t k, double* w) {
  for (std::size_t l = k; l-- > 0;) w[l] = dot4(lower + l * k, w, l + 1);
}

// Register tiles over row chunks that stay in the first-level cache. The
// rows are read where they are: a tile past the last column takes its
// entries within the columns alone.
std::vector<double> dense_gram(const double* rows, std::size_t n, std::size_t width, const double* g,
                               std::size_t& padded) {
  padded = (width + kTile - 1) / kTile * kTile;
  std::vector<double> block(padded * padded, 0.0);
  const std::size_t chunk = std::max<std::size_t>(1, kGramChunkBytes / (padded * sizeof(double)));
  const TileKernels& kernels = tile_kernels();
  const std::size_t whole = width / kTile * kTile;  // columns in whole tiles
  for (std::size_t i0 = 0; i0 < n; i0 += chunk) {
    const std::size_t i1 = std::min(n, i0 + chunk);
    for (std::size_t a0 = 0; a0 < padded; a0 += kTile) {
      const std::size_t tile_rows = std::min(width - a0, kTile);
      const std::size_t end = std::min(a0 + 1, whole);
      std::size_t b0 = 0;
      const TileKernel two = kernels.two[tile_rows - 1];
      for (; two != nullptr && b0 + kTile < end; b0 += 2 * kTile)
        two(rows, width, g, i0, i1, a0, b0, padded, block.data());
      for (; b0 < end; b0 += kTile)
        kernels.one[tile_rows - 1](rows, width, g, i0, i1, a0, b0, padded, block.data());
      if (tile_rows < kTile) accumulate_corner_tile(rows, width, g, i0, i1, a0, padded, block.data());
    }
  }
  return block;
}

}  // namespace morva::detail
