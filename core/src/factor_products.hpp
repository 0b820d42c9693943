// Products with a factor form's P = diag(d) + F·Ω·Fᵀ (internal to the core).
#pragma once

#include <cstddef>
#include <span>

namespace morva {

struct FactorQuad;

// FactorQuad::apply reads F once, skipping the all-zero column groups of its
// rows, from this many entries of F on (2 MiB) when its rows are mostly
// zeros. Below it F stays in a core's cache from the first pass to the
// second, and the two plain passes take fewer instructions.
inline constexpr std::size_t kReadOnceMinEntries = std::size_t{1} << 18;

// out = d∘x + F·(Ω·t) (one entry per entry of out, s: k doubles of scratch)
// given t = Fᵀx: FactorQuad::apply_into's bits whenever each entry of t is,
// as there, the sum of F_ij·x_i over the rows in increasing order.
void apply_from_transpose(const FactorQuad& quadratic, std::span<const double> x, std::span<const double> t,
                          std::span<double> out, std::span<double> s);

}  // namespace morva
