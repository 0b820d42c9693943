#include "equilibration_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "simd.hpp"

namespace morva::detail {
namespace {

// max(m, v) for a running maximum that is never NaN: a NaN v leaves m.
inline double raised(double m, double v) {
  return v > m ? v : m;
}

// The scalar steps of rescale_raise_magnitudes for j in [first, len).
double rescale_raise_tail(double* a, std::size_t first, std::size_t len, double scale, const double* delta,
                          double* column_max, double top) {
  for (std::size_t j = first; j < len; ++j) {
    a[j] = (scale * delta[j]) * a[j];
    const double v = std::abs(a[j]);
    top = raised(top, v);
    column_max[j] = raised(column_max[j], v);
  }
  return top;
}

// Lanes hold alternate entries; the magnitudes are +0 or more (a NaN is
// passed over), so their largest does not depend on the lane that met it.
double rescale_raise_narrow(double* a, std::size_t len, double scale, const double* delta,
                            double* column_max) {
  std::size_t j = 0;
  const Lanes2 s = {scale, scale};
  Lanes2 lanes = {0.0, 0.0};
  for (; j + 2 <= len; j += 2) {
    const Lanes2 x = (s * load2(delta + j)) * load2(a + j);
    store2(a + j, x);
    raise2(magnitude2(x), lanes, column_max + j);
  }
  const double top = raised(lanes[0], lanes[1]);
  return rescale_raise_tail(a, j, len, scale, delta, column_max, top);
}

// Two lanes for rows (0, 1) and (2, 3) of the group; two inner sums side by
// side so that neither chain of additions waits on the other.
void support_forms4_narrow(const double* gathered, std::size_t count, const double* values, double* out) {
  Lanes2 low = {0.0, 0.0};
  Lanes2 high = {0.0, 0.0};
  for (std::size_t a = 0; a < count; ++a) {
    const double* g = gathered + a * count;
    Lanes2 inner_low = {0.0, 0.0};
    Lanes2 inner_high = {0.0, 0.0};
    for (std::size_t b = 0; b < count; ++b) {
      const Lanes2 w = {g[b], g[b]};
      inner_low += w * load2(values + kFormLanes * b);
      inner_high += w * load2(values + kFormLanes * b + 2);
    }
    low += load2(values + kFormLanes * a) * inner_low;
    high += load2(values + kFormLanes * a + 2) * inner_high;
  }
  store2(out, low);
  store2(out + 2, high);
}

#if defined(__GNUC__) && defined(__x86_64__)
[[gnu::target("avx2")]] double rescale_raise_wide(double* a, std::size_t len, double scale,
                                                  const double* delta, double* column_max) {
  const Lanes4 s = splat4(scale);
  Lanes4 lanes = {0.0, 0.0, 0.0, 0.0};
  std::size_t j = 0;
  for (; j + 4 <= len; j += 4) {
    const Lanes4 x = (s * load4(delta + j)) * load4(a + j);
    store4(a + j, x);
    raise4(magnitude4(x), lanes, column_max + j);
  }
  const double top = raised(raised(lanes[0], lanes[1]), raised(lanes[2], lanes[3]));
  return rescale_raise_tail(a, j, len, scale, delta, column_max, top);
}

// rescale_raise_wide for two rows in one pass: δ and the column maxima are
// read and written once for both. Each entry is the same product, and a
// maximum does not depend on the order its set is taken in.
[[gnu::target("avx2")]] void rescale_raise_two_wide(double* a, double* b, std::size_t len, double scale_a,
                                                    double scale_b, const double* delta, double* column_max,
                                                    double* tops) {
  const Lanes4 sa = splat4(scale_a);
  const Lanes4 sb = splat4(scale_b);
  Lanes4 top_a = {0.0, 0.0, 0.0, 0.0}, top_b = top_a;
  std::size_t j = 0;
  for (; j + 4 <= len; j += 4) {
    const Lanes4 d = load4(delta + j);
    const Lanes4 x = (sa * d) * load4(a + j);
    const Lanes4 y = (sb * d) * load4(b + j);
    store4(a + j, x);
    store4(b + j, y);
    const Lanes4 mx = magnitude4(x);
    const Lanes4 my = magnitude4(y);
    top_a = mx > top_a ? mx : top_a;
    top_b = my > top_b ? my : top_b;
    // Raised by x's magnitudes and then y's, as two passes would (a NaN
    // magnitude leaves a maximum as it is).
    Lanes4 c = load4(column_max + j);
    c = mx > c ? mx : c;
    store4(column_max + j, my > c ? my : c);
  }
  tops[0] = rescale_raise_tail(a, j, len, scale_a, delta, column_max,
                               raised(raised(top_a[0], top_a[1]), raised(top_a[2], top_a[3])));
  tops[1] = rescale_raise_tail(b, j, len, scale_b, delta, column_max,
                               raised(raised(top_b[0], top_b[1]), raised(top_b[2], top_b[3])));
}

// Inner sums a, …, a + Block − 1 of four rows (one lane each) side by side,
// each over b in order, then added to the outer sum s in order of a.
template <std::size_t Block>
[[gnu::target("avx2"), gnu::always_inline]] inline void add_inner_block(const double* gathered,
                                                                        std::size_t count,
                                                                        const double* values, std::size_t a,
                                                                        Lanes4& s) {
  Lanes4 inner[Block] = {};
  for (std::size_t b = 0; b < count; ++b) {
    const Lanes4 f = load4(values + kFormLanes * b);
    for (std::size_t q = 0; q < Block; ++q) inner[q] += splat4(gathered[(a + q) * count + b]) * f;
  }
  for (std::size_t q = 0; q < Block; ++q) s += load4(values + kFormLanes * (a + q)) * inner[q];
}

// One lane per row; eight inner sums side by side while eight are left
// (enough chains of additions to keep the adders busy), then four, two and
// one, the outer sum taking them in order of a.
[[gnu::target("avx2")]] void support_forms4_wide(const double* gathered, std::size_t count,
                                                 const double* values, double* out) {
  Lanes4 s = {0.0, 0.0, 0.0, 0.0};
  std::size_t a = 0;
  for (; a + 8 <= count; a += 8) add_inner_block<8>(gathered, count, values, a, s);
  if (a + 4 <= count) add_inner_block<4>(gathered, count, values, a, s), a += 4;
  if (a + 2 <= count) add_inner_block<2>(gathered, count, values, a, s), a += 2;
  if (a < count) add_inner_block<1>(gathered, count, values, a, s);
  store4(out, s);
}
#endif

void nonzero_pattern_narrow(const double* row, std::size_t len, std::uint64_t* words) {
  std::fill(words, words + (len + 63) / 64, std::uint64_t{0});
  for (std::size_t c = 0; c < len; ++c) words[c / 64] |= std::uint64_t{row[c] != 0.0} << (c % 64);
}

#if defined(__GNUC__) && defined(__x86_64__)
// Four columns' bits at a time from the signs of a comparison's lanes,
// gathered in a register per word (64 columns, sixteen groups of four).
[[gnu::target("avx2")]] void nonzero_pattern_wide(const double* row, std::size_t len, std::uint64_t* words) {
  const Lanes4 zero = splat4(0.0);
  for (std::size_t first = 0; first < len; first += 64) {
    const std::size_t end = std::min(len, first + 64);
    std::uint64_t bits = 0;
    std::size_t c = first;
    for (; c + 4 <= end; c += 4) {
      const Lanes4 nonzero = reinterpret_cast<Lanes4>(load4(row + c) != zero);
      bits |= static_cast<std::uint64_t>(__builtin_ia32_movmskpd256(nonzero)) << (c - first);
    }
    for (; c < end; ++c) bits |= std::uint64_t{row[c] != 0.0} << (c - first);
    words[first / 64] = bits;
  }
}
#endif

void rescale_raise_two_narrow(double* a, double* b, std::size_t len, double scale_a, double scale_b,
                              const double* delta, double* column_max, double* tops) {
  tops[0] = rescale_raise_narrow(a, len, scale_a, delta, column_max);
  tops[1] = rescale_raise_narrow(b, len, scale_b, delta, column_max);
}

}  // namespace

double rescale_raise_magnitudes(double* a, std::size_t len, double scale, const double* delta,
                                double* column_max) {
  static const auto kernel = MORVA_AVX2_OR(rescale_raise_wide, rescale_raise_narrow);
  return kernel(a, len, scale, delta, column_max);
}

void rescale_raise_two(double* a, double* b, std::size_t len, double scale_a, double scale_b,
                       const double* delta, double* column_max, double* tops) {
  static const auto kernel = MORVA_AVX2_OR(rescale_raise_two_wide, rescale_raise_two_narrow);
  kernel(a, b, len, scale_a, scale_b, delta, column_max, tops);
}

void support_forms4(const double* gathered, std::size_t count, const double* values, double* out) {
  static const auto kernel = MORVA_AVX2_OR(support_forms4_wide, support_forms4_narrow);
  kernel(gathered, count, values, out);
}

void nonzero_pattern(const double* row, std::size_t len, std::uint64_t* words) {
  static const auto kernel = MORVA_AVX2_OR(nonzero_pattern_wide, nonzero_pattern_narrow);
  kernel(row, len, words);
}

}  // namespace morva::detail
