// Two-lane double vectors and row kernels for the engine's hot loops. GCC and
// Clang lower the vector extension to the target's vector registers (SSE2 on
// baseline x86-64) or to scalar code; lane arithmetic is the plain IEEE
// arithmetic of each lane, so every function here returns exactly what the
// scalar loop it documents would return.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

// `wide` where the processor has AVX2, else `narrow` (the same results).
#if defined(__GNUC__) && defined(__x86_64__)
#define MORVA_AVX2_OR(wide, narrow) (__builtin_cpu_supports("avx2") ? (wide) : (narrow))
#else
#define MORVA_AVX2_OR(wide, narrow) (narrow)
#endif

// Marks a lambda that a kernel calls per entry from more than one loop,
// where the compiler would otherwise keep it out of line.
#if defined(__GNUC__)
#define MORVA_ALWAYS_INLINE __attribute__((always_inline))
#else
#define MORVA_ALWAYS_INLINE
#endif

namespace morva::detail {

#if defined(__GNUC__)
// Two lanes: the width of the baseline SSE2 registers, where every vector
// operation runs natively (wider generic vectors would be split up there).
using Lanes2 = double __attribute__((vector_size(16)));

inline Lanes2 load2(const double* p) {
  Lanes2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store2(double* p, Lanes2 v) {
  std::memcpy(p, &v, sizeof v);
}

// |v| lane by lane: the sign bit cleared (a NaN stays a NaN).
inline Lanes2 magnitude2(Lanes2 v) {
  using Bits2 = long long __attribute__((vector_size(16)));
  constexpr long long kMagnitude = 0x7fffffffffffffffLL;
  return reinterpret_cast<Lanes2>(reinterpret_cast<Bits2>(v) & Bits2{kMagnitude, kMagnitude});
}

// A running maximum `top` and column_max[0, 2) raised to the magnitudes v
// lane by lane, as m = v > m ? v : m (a NaN lane leaves both).
inline void raise2(Lanes2 v, Lanes2& top, double* column_max) {
  top = v > top ? v : top;
  const Lanes2 c = load2(column_max);
  store2(column_max, v > c ? v : c);
}
#endif

#if defined(__GNUC__) && defined(__x86_64__)
// Four lanes in one 256-bit register, for kernels compiled for AVX2 and
// chosen at run time where the processor has it. AVX2 brings no fused
// multiply-add, so a product and a sum stay two roundings there.
using Lanes4 = double __attribute__((vector_size(32)));

// Unaligned load and store, and one value in every lane, for those kernels.
[[gnu::target("avx2"), gnu::always_inline]] inline Lanes4 load4(const double* p) {
  Lanes4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::target("avx2"), gnu::always_inline]] inline void store4(double* p, Lanes4 v) {
  std::memcpy(p, &v, sizeof v);
}
[[gnu::target("avx2"), gnu::always_inline]] inline Lanes4 splat4(double v) {
  return Lanes4{v, v, v, v};
}

// magnitude2 and raise2 over four lanes.
[[gnu::target("avx2"), gnu::always_inline]] inline Lanes4 magnitude4(Lanes4 v) {
  using Bits4 = long long __attribute__((vector_size(32)));
  constexpr long long kMagnitude = 0x7fffffffffffffffLL;
  return reinterpret_cast<Lanes4>(reinterpret_cast<Bits4>(v) &
                                  Bits4{kMagnitude, kMagnitude, kMagnitude, kMagnitude});
}
[[gnu::target("avx2"), gnu::always_inline]] inline void raise4(Lanes4 v, Lanes4& top, double* column_max) {
  top = v > top ? v : top;
  const Lanes4 c = load4(column_max);
  store4(column_max, v > c ? v : c);
}
#endif

// Σ a_c·b_c in four interleaved partial sums:
//   s_r = Σ a_c·b_c over c ≡ r (mod 4) in the leading ⌊len/4⌋·4 terms, each
//         partial sum accumulated in increasing c,
//   s_0 then takes the remaining len mod 4 terms in increasing c,
//   result = (s_0 + s_1) + (s_2 + s_3).
// The lanes of two vectors hold (s_0, s_1) and (s_2, s_3). The sums may be
// taken over consecutive stretches (add, each a multiple of four long, in
// increasing c) and finished with the remainder: a pass that writes a
// vector can sum it while it is still in cache, with dot4's value.
struct Dot4Sums {
#if defined(__GNUC__)
  Lanes2 low = {0.0, 0.0};
  Lanes2 high = {0.0, 0.0};
#else
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
#endif

  // The terms c < len of a stretch; len is a multiple of four.
  MORVA_ALWAYS_INLINE void add(const double* a, const double* b, std::size_t len) {
    for (std::size_t c = 0; c + 4 <= len; c += 4) {
#if defined(__GNUC__)
      low += load2(a + c) * load2(b + c);
      high += load2(a + c + 2) * load2(b + c + 2);
#else
      s0 += a[c] * b[c];
      s1 += a[c + 1] * b[c + 1];
      s2 += a[c + 2] * b[c + 2];
      s3 += a[c + 3] * b[c + 3];
#endif
    }
  }
  // first.add(a, b, len) and second.add(c, d, len) in one loop, so that
  // their chains of additions overlap.
  MORVA_ALWAYS_INLINE static void add_together(Dot4Sums& first, const double* a, const double* b,
                                               Dot4Sums& second, const double* c, const double* d,
                                               std::size_t len) {
    Dot4Sums one = first, two = second;  // in registers through the loop
    for (std::size_t e = 0; e + 4 <= len; e += 4) {
      one.add(a + e, b + e, 4);
      two.add(c + e, d + e, 4);
    }
    first = one;
    second = two;
  }
  // The remaining len < 4 terms, and the sum.
  MORVA_ALWAYS_INLINE double finish(const double* a, const double* b, std::size_t len) const {
#if defined(__GNUC__)
    double s0 = low[0];
    const double s1 = low[1];
    const double s2 = high[0];
    const double s3 = high[1];
#else
    double s0 = this->s0;
#endif
    for (std::size_t c = 0; c < len; ++c) s0 += a[c] * b[c];
    return (s0 + s1) + (s2 + s3);
  }
};

// Always inlined: it runs once per row inside the passes over V, where a
// call per row costs as much as the short sum itself.
MORVA_ALWAYS_INLINE inline double dot4(const double* a, const double* b, std::size_t len) {
  Dot4Sums sums;
  const std::size_t whole = len / 4 * 4;
  sums.add(a, b, whole);
  return sums.finish(a + whole, b + whole, len - whole);
}

// The largest |a_j| over j < len, from +0 with NaN entries passed over, and
// every column_max[j] raised to |a_j| the same way (a NaN |a_j| leaves it):
//   v = |a_j|;  m = v > m ? v : m;  column_max[j] = v > column_max[j] ? v : column_max[j].
// Alternate entries go to two running maxima. Every |a_j| is +0 or more, so
// the largest of them does not depend on the order they are taken in.
inline double raise_magnitudes(const double* a, std::size_t len, double* column_max) {
  std::size_t j = 0;
  double m = 0.0;
#if defined(__GNUC__)
  Lanes2 top = {0.0, 0.0};
  for (; j + 2 <= len; j += 2) raise2(magnitude2(load2(a + j)), top, column_max + j);
  m = top[1] > top[0] ? top[1] : top[0];
#endif
  for (; j < len; ++j) {
    const double v = std::abs(a[j]);
    m = v > m ? v : m;
    column_max[j] = v > column_max[j] ? v : column_max[j];
  }
  return m;
}

// Whether any of p[0..3] is nonzero (a NaN is): zeros of either sign differ
// from +0 in the sign bit alone, which the shift drops from their bits' OR.
inline bool any_nonzero4(const double* p) {
  std::uint64_t bits[4];
  std::memcpy(bits, p, sizeof bits);
  return ((bits[0] | bits[1] | bits[2] | bits[3]) << 1) != 0;
}

// Bit j set where p[j] is nonzero (a NaN is, a zero of either sign is not), j < 4.
inline std::uint64_t nonzero_mask4(const double* p) {
  return std::uint64_t{p[0] != 0.0} | std::uint64_t{p[1] != 0.0} << 1 | std::uint64_t{p[2] != 0.0} << 2 |
         std::uint64_t{p[3] != 0.0} << 3;
}

// t[0, 4) += p[0, 4)·w, entry by entry: one column group of a scaled row.
inline void add_scaled_group(const double* p, double w, double* t) {
#if defined(__GNUC__)
  const Lanes2 weight = {w, w};
  store2(t, load2(t) + load2(p) * weight);
  store2(t + 2, load2(t + 2) + load2(p + 2) * weight);
#else
  for (std::size_t j = 0; j < 4; ++j) t[j] += p[j] * w;
#endif
}

// t[c] += row[c]·w for every c < len, as a plain loop adds them, skipping
// the column groups [4g, 4g + 4) whose entries are all zero (either sign)
// and recording each group it adds: its index into `groups`, its entries
// into `values`; returns how many. For a finite w the skipped products are
// zeros, which leave t[c] as it is unless t[c] is −0 (x + ±0 = x for
// x ≠ 0, +0 + ±0 = +0): so for sums that start at +0.
inline std::size_t add_scaled_groups(const double* row, std::size_t len, double w, double* t,
                                     std::uint32_t* groups, double* values) {
  std::size_t count = 0;
  std::size_t c = 0;
  for (; c + 4 <= len; c += 4) {
    if (!any_nonzero4(row + c)) continue;
    add_scaled_group(row + c, w, t + c);
    std::memcpy(values + 4 * count, row + c, 4 * sizeof(double));
    groups[count++] = static_cast<std::uint32_t>(c / 4);
  }
  for (; c < len; ++c) t[c] += row[c] * w;
  return count;
}

// dot4(row, b, len) over `count` of the row's column groups as
// add_scaled_groups records them, then the row's entries past its last whole
// group (`tail`, len % 4 of them): each group adds to dot4's four partial
// sums what dot4 adds for it, and a group left out would have added zeros
// (b finite) to sums from +0.
inline double dot4_groups(const double* values, const std::uint32_t* groups, std::size_t count,
                          const double* tail, const double* b, std::size_t len) {
  Dot4Sums sums;
  for (std::size_t e = 0; e < count; ++e) sums.add(values + 4 * e, b + 4 * std::size_t{groups[e]}, 4);
  const std::size_t whole = len / 4 * 4;
  return sums.finish(tail, b + whole, len - whole);
}

// add_scaled_groups for a row whose nonzero groups are known (`count` of
// them at `groups`, their entries at `values`, the row past its last whole
// group at `tail`): the same additions.
inline void add_scaled_row_groups(const double* values, const double* tail, std::size_t len, double w,
                                  double* t, const std::uint32_t* groups, std::size_t count) {
  for (std::size_t e = 0; e < count; ++e) add_scaled_group(values + 4 * e, w, t + 4 * std::size_t{groups[e]});
  const std::size_t whole = len / 4 * 4;
  for (std::size_t c = whole; c < len; ++c) t[c] += tail[c - whole] * w;
}

// out[r] = Σ_j a(r)[j]·b(r)[j] for j < len, r < count, every row summed left
// to right from zero. Four rows advance together so that their addition
// chains overlap; a single long dot is bound by its one chain's latency.
template <class RowA, class RowB>
inline void dot_row_pairs(RowA a, RowB b, std::size_t count, std::size_t len, double* out) {
  std::size_t r = 0;
  for (; r + 4 <= count; r += 4) {
    const double* a0 = a(r);
    const double* a1 = a(r + 1);
    const double* a2 = a(r + 2);
    const double* a3 = a(r + 3);
    const double* b0 = b(r);
    const double* b1 = b(r + 1);
    const double* b2 = b(r + 2);
    const double* b3 = b(r + 3);
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (std::size_t j = 0; j < len; ++j) {
      s0 += a0[j] * b0[j];
      s1 += a1[j] * b1[j];
      s2 += a2[j] * b2[j];
      s3 += a3[j] * b3[j];
    }
    out[r] = s0;
    out[r + 1] = s1;
    out[r + 2] = s2;
    out[r + 3] = s3;
  }
  for (; r < count; ++r) {
    const double* ar = a(r);
    const double* br = b(r);
    double s = 0.0;
    for (std::size_t j = 0; j < len; ++j) s += ar[j] * br[j];
    out[r] = s;
  }
}

// out[r] = Σ_j row(r)[j]·x[j] for j < len, r < count, as dot_row_pairs with
// every second row x.
template <class RowAt>
inline void dot_rows(RowAt row, std::size_t count, const double* x, std::size_t len, double* out) {
  dot_row_pairs(
      row, [x](std::size_t) { return x; }, count, len, out);
}

// No work of a row after its accumulation.
struct NoRowWork {
  void operator()(std::size_t, double) const {}
};

// out[c] += Σ_r row(r)[c]·weight(r) for r in [first, last), c < len, each
// out[c] taking its terms in increasing r, but four rows (from `first`)
// sharing one load and store of out[c]:
//   out[c] = (((out[c] + a₀[c]·w₀) + a₁[c]·w₁) + a₂[c]·w₂) + a₃[c]·w₃.
// weight(r) is called once per row in increasing r, the four of a group
// before their accumulation, and then(r, weight(r)) once per row after it.
template <class RowAt, class Weight, class Then = NoRowWork>
inline void add_weighted_rows(RowAt row, std::size_t first, std::size_t last, Weight weight, std::size_t len,
                              double* out, Then then = {}) {
  std::size_t r = first;
  for (; r + 4 <= last; r += 4) {
    const double* a0 = row(r);
    const double* a1 = row(r + 1);
    const double* a2 = row(r + 2);
    const double* a3 = row(r + 3);
    const double w0 = weight(r);
    const double w1 = weight(r + 1);
    const double w2 = weight(r + 2);
    const double w3 = weight(r + 3);
    for (std::size_t c = 0; c < len; ++c)
      out[c] = (((out[c] + a0[c] * w0) + a1[c] * w1) + a2[c] * w2) + a3[c] * w3;
    then(r, w0);
    then(r + 1, w1);
    then(r + 2, w2);
    then(r + 3, w3);
  }
  for (; r < last; ++r) {
    const double* a = row(r);
    const double wr = weight(r);
    for (std::size_t c = 0; c < len; ++c) out[c] += a[c] * wr;
    then(r, wr);
  }
}

// out[j] += Σ_r row(r)[j]·y[r] for r < count, j < len, as add_weighted_rows.
template <class RowAt>
inline void add_scaled_rows(RowAt row, std::size_t count, const double* y, std::size_t len, double* out) {
  add_weighted_rows(
      row, 0, count, [y](std::size_t r) { return y[r]; }, len, out);
}

}  // namespace morva::detail
