// Two-lane double vectors and row kernels for the engine's hot loops. GCC and
// Clang lower the vector extension to the target's vector registers (SSE2 on
// baseline x86-64) or to scalar code; lane arithmetic is the plain IEEE
// arithmetic of each lane, so every function here returns exactly what the
// scalar loop it documents would return.
#pragma once

#include <cstddef>
#include <cstring>

namespace morva::detail {

#if defined(__GNUC__)
// Two lanes: the width of the baseline SSE2 registers, so that every vector
// operation runs natively (wider generic vectors would be split up piece by
// piece there).
using Lanes2 = double __attribute__((vector_size(16)));

inline Lanes2 load2(const double* p) {
  Lanes2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store2(double* p, Lanes2 v) {
  std::memcpy(p, &v, sizeof v);
}
#endif

// Σ a_c·b_c in four interleaved partial sums:
//   s_r = Σ a_c·b_c over c ≡ r (mod 4) in the leading ⌊len/4⌋·4 terms, each
//         partial sum accumulated in increasing c,
//   s_0 then takes the remaining len mod 4 terms in increasing c,
//   result = (s_0 + s_1) + (s_2 + s_3).
// The lanes of two vectors hold (s_0, s_1) and (s_2, s_3).
// Always inlined: it runs once per row inside the passes over V, where a
// call per row costs as much as the short sum itself.
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline double
dot4(const double* a, const double* b, std::size_t len) {
  std::size_t c = 0;
#if defined(__GNUC__)
  Lanes2 low = {0.0, 0.0};
  Lanes2 high = {0.0, 0.0};
  for (; c + 4 <= len; c += 4) {
    low += load2(a + c) * load2(b + c);
    high += load2(a + c + 2) * load2(b + c + 2);
  }
  double s0 = low[0];
  const double s1 = low[1];
  const double s2 = high[0];
  const double s3 = high[1];
#else
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  for (; c + 4 <= len; c += 4) {
    s0 += a[c] * b[c];
    s1 += a[c + 1] * b[c + 1];
    s2 += a[c + 2] * b[c + 2];
    s3 += a[c + 3] * b[c + 3];
  }
#endif
  for (; c < len; ++c) s0 += a[c] * b[c];
  return (s0 + s1) + (s2 + s3);
}

// out[r] = Σ_j row(r)[j]·x[j] for j < len, r < count: every row summed left
// to right from zero, exactly as a plain dot product. Four rows advance
// together so that their four addition chains overlap; a single long dot is
// bound by the latency of its one chain. `row(r)` yields a pointer to row r.
template <class RowAt>
inline void dot_rows(RowAt row, std::size_t count, const double* x, std::size_t len, double* out) {
  std::size_t r = 0;
  for (; r + 4 <= count; r += 4) {
    const double* a0 = row(r);
    const double* a1 = row(r + 1);
    const double* a2 = row(r + 2);
    const double* a3 = row(r + 3);
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (std::size_t j = 0; j < len; ++j) {
      const double xj = x[j];
      s0 += a0[j] * xj;
      s1 += a1[j] * xj;
      s2 += a2[j] * xj;
      s3 += a3[j] * xj;
    }
    out[r] = s0;
    out[r + 1] = s1;
    out[r + 2] = s2;
    out[r + 3] = s3;
  }
  for (; r < count; ++r) {
    const double* a = row(r);
    double s = 0.0;
    for (std::size_t j = 0; j < len; ++j) s += a[j] * x[j];
    out[r] = s;
  }
}

// out[j] += Σ_r row(r)[j]·y[r] for j < len: each out[j] takes its terms in
// increasing r, exactly as adding y[r]·row(r) into out row after row, but four
// rows share one load and store of out[j].
template <class RowAt>
inline void add_scaled_rows(RowAt row, std::size_t count, const double* y, std::size_t len, double* out) {
  std::size_t r = 0;
  for (; r + 4 <= count; r += 4) {
    const double* a0 = row(r);
    const double* a1 = row(r + 1);
    const double* a2 = row(r + 2);
    const double* a3 = row(r + 3);
    const double y0 = y[r], y1 = y[r + 1], y2 = y[r + 2], y3 = y[r + 3];
    for (std::size_t j = 0; j < len; ++j)
      out[j] = (((out[j] + a0[j] * y0) + a1[j] * y1) + a2[j] * y2) + a3[j] * y3;
  }
  for (; r < count; ++r) {
    const double* a = row(r);
    const double yr = y[r];
    for (std::size_t j = 0; j < len; ++j) out[j] += a[j] * yr;
  }
}

}  // namespace morva::detail
