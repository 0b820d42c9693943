// Kernels of the equilibration's set-up: rescaling a dense constraint row
// while measuring it, the pattern of a row's nonzeros, and quadratic forms
// of rows that share a support. Each picks a four-lane form on processors
// with AVX2 and a portable one elsewhere, with the same results: lane
// arithmetic is plain IEEE arithmetic, and every sum is taken in the order
// stated here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morva::detail {

// a_j ← (scale·δ_j)·a_j for j < len, and then, over the rescaled entries,
// what raise_magnitudes (simd.hpp) does: every column_max[j] raised to |a_j|
// (a NaN leaves it), and the largest |a_j| from +0 returned. One pass over
// the row instead of two.
double rescale_raise_magnitudes(double* a, std::size_t len, double scale, const double* delta,
                                double* column_max);
// rescale_raise_magnitudes for rows a and b (scale_a, scale_b) in one pass,
// their largest magnitudes into tops[0] and tops[1].
void rescale_raise_two(double* a, double* b, std::size_t len, double scale_a, double scale_b,
                       const double* delta, double* column_max, double* tops);

// Entries of a row group: row r's entry b (of `count`) at values[4·b + r].
inline constexpr std::size_t kFormLanes = 4;

// For four rows f_r over a common support of `count` entries, with
// gathered[a·count + b] = Ω(s_a, s_b):
//   out[r] = Σ_a f_r[a]·(Σ_b Ω(s_a, s_b)·f_r[b]),
// every sum from +0 in increasing index, one lane per row.
void support_forms4(const double* gathered, std::size_t count, const double* values, double* out);

// The pattern of row[0, len)'s nonzeros, one bit per column: bit c mod 64
// of words[c / 64] for column c, set where row[c] is nonzero (a NaN is;
// either sign of zero is not); (len + 63)/64 words written.
void nonzero_pattern(const double* row, std::size_t len, std::uint64_t* words);

}  // namespace morva::detail
