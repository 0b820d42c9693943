// Dense Cholesky factorisations, triangular solves and products, and the
// tiled Gram product, over row-major arrays. Every kernel takes its sums in
// the order its comment states, so the same inputs give the same bits
// wherever it is called from. A factorisation reports failure as false and
// leaves the meaning of it to the caller.
#pragma once

#include <cstddef>
#include <vector>

namespace morva::detail {

// Lower-triangular L (k×k, row-major, zero on entry) with L·Lᵀ = Ω for a
// positive semidefinite Ω (k×k, row-major), column by column, with the pivot
// tolerance g = tolerance_factor·max(1, max|Ω|). A pivot within ±g of zero is
// a rank deficiency: the column stays zero, which is only consistent when the
// remaining entries of that column of Ω are themselves within g of what the
// earlier columns already explain. False when Ω is not semidefinite so.
bool semidefinite_cholesky(const double* omega, std::size_t k, double tolerance_factor, double* lower);

// Whether every off-diagonal entry of Ω (k×k, row-major) is zero, of either sign.
bool off_diagonal_zero(const double* omega, std::size_t k);

// semidefinite_cholesky of an Ω whose off-diagonal entries are all zero, in
// O(k²), with the same bits. There every sum of earlier columns is a sum of
// products of zeros that starts at +0, so it stays +0 and subtracting it
// leaves Ω_ij as it is, sign of zero included: L_jj = √Ω_jj for a pivot
// above g (0 within ±g), L_ij = Ω_ij/L_jj below it (a zero of Ω_ij's sign),
// and no remainder under a zero pivot exceeds g. False exactly where
// semidefinite_cholesky is: at a pivot below −g.
bool diagonal_semidefinite_cholesky(const double* omega, std::size_t k, double tolerance_factor,
                                    double* lower);

// Cholesky A = L·Lᵀ (h×h, row-major, `factor` zero on entry) row by row of
// a symmetric A given by its lower triangle: for each j and c ≤ j,
// s = Σ_{l<c} L_jl·L_cl (in dot4's order); for c < j, L_jc = (A_jc − s)/L_cc;
// for c = j, p = A_jj − s must be finite and above min_pivot, and L_jj = √p.
// False at the first pivot that is not.
bool cholesky_lower(const double* a, std::size_t h, double min_pivot, double* factor);

// out[r] = dot4(rows + r·stride, x, len) for r < count, four rows at a time
// sharing their reads of x (the same sums, lane by lane, as dot4 takes).
void dot4_rows(const double* x, const double* rows, std::size_t stride, std::size_t count, std::size_t len,
               double* out);
// Forward substitution L·y = t followed by backward substitution Lᵀ·w = y,
// in place, for a lower-triangular row-major L (h×h) with a positive diagonal.
void cholesky_solve_in_place(const double* lower, std::size_t h, double* t);

// out = F·L (n×k) for finite F (n×k) and lower-triangular L (k×k, zero above
// the diagonal): out_rc = Σ_{l≥c} F_rl·L_lc, each sum in increasing l from zero.
void lower_triangular_product(const double* f, std::size_t n, std::size_t k, const double* lower,
                              double* out);

// In place t ← Lᵀ·t for lower-triangular L (k×k), given as its transpose
// U = Lᵀ (row-major): t_c = Σ_{l≥c} U_cl·t_l.
void lower_transpose_times(const double* upper, std::size_t k, double* t);

// In place w ← L·w for lower-triangular L (k×k, row-major): w_l = Σ_{c≤l} L_lc·w_c.
void lower_times(const double* lower, std::size_t k, double* w);

// Lower triangle of Vᵀ·diag(g)·V for V given as n rows of `width` entries:
// block(a, b) = Σ_i (V_ia·g_i)·V_ib for b ≤ a, each sum in increasing i.
// Returns the block with row stride `padded` (width rounded up to the tile).
std::vector<double> dense_gram(const double* rows, std::size_t n, std::size_t width, const double* g,
                               std::size_t& padded);

}  // namespace morva::detail
