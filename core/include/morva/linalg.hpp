// The reduced ADMM system through the factor structure.
//
//   K = P + σI + ρ(A_eqᵀA_eq + A_inᵀA_in + I + [L1] I) = G + U·Uᵀ
//   G = diag(d) + (σ + ρ + [L1]ρ)·I,  U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ]  (n×h)
//
// solved with Sherman–Morrison–Woodbury through the Cholesky factor of the
// h×h capacitance S = I + UᵀG⁻¹U, h = k + m_eq + m_in. Nothing n×n is formed.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "morva/matrix.hpp"
#include "morva/problem.hpp"
#include "morva/solver.hpp"

namespace morva {

// Tolerance factor of the semidefinite Cholesky of a dense Ω: g = 1e-12·max(1, max|Ω|).
inline constexpr double kCovariancePivotTolerance = 1e-12;
// Capacitance pivots at or below this (absolute) mean numerical breakdown.
inline constexpr double kMinCapacitancePivot = 1e-14;
// Factorisations kept per workspace; bounds memory to 16 copies of U and L_S.
inline constexpr std::size_t kMaxCachedSystems = 16;

// C (n×k) with C·Cᵀ = F·Ω·Fᵀ: C = F·L with L·Lᵀ = Ω (semidefinite Cholesky
// for a dense Ω, √ω for a diagonal one).
std::expected<Matrix, SolverError> covariance_columns(const FactorQuad& quadratic);

// The trailing columns [first_column, h) of U, stored row by row as the
// nonzero entries of each row in increasing column order (compressed sparse
// rows: row i owns entries [row_start[i], row_start[i + 1])). Constraint rows
// such as industry memberships touch few assets; their zero entries would
// only add exact zeros to every product with U.
struct SparseColumns {
  std::size_t first_column = 0;
  std::vector<std::size_t> row_start;  // n + 1 offsets
  std::vector<std::size_t> column;
  std::vector<double> value;
};

class SmwSystem {
 public:
  // Takes G (length n, positive) and U (n×h); fails with
  // ReducedFactorizationFailed on a pivot ≤ 1e-14 or a non-finite pivot.
  static std::expected<SmwSystem, SolverError> factor(std::vector<double> diagonal, Matrix low_rank);

  // r ← (G + UUᵀ)⁻¹ r = G⁻¹r − G⁻¹U·S⁻¹·UᵀG⁻¹r. Allocates an h-vector.
  void solve_in_place(std::span<double> r) const;
  // Allocation-free form; `scratch` holds at least rank() doubles.
  void solve_in_place(std::span<double> r, std::span<double> scratch) const;

  std::size_t rank() const { return low_rank_.cols(); }
  std::span<const double> inverse_diagonal() const { return inverse_diagonal_; }
  const Matrix& low_rank() const { return low_rank_; }
  const Matrix& capacitance_factor() const { return capacitance_factor_; }
  // Solves L_S·L_Sᵀ·w = t in place (t has rank() entries).
  void solve_capacitance_in_place(std::span<double> t) const;

  // The two streams over the rows of U of a Woodbury solve whose right-hand
  // side carries the trailing columns [split, h) of U times a vector v
  // (`weights`):
  //   right-hand-side pass:  g ← G⁻¹∘(g + U_{·,split:}·v),  t = Uᵀ·g
  //   (capacitance solve:    w = S⁻¹·t)
  //   solution pass:         x = g − G⁻¹∘(U·w),  image = U_{·,split:}ᵀ·x
  // so x = (G + UUᵀ)⁻¹·r for r = g + U_{·,split:}·v. `g` and `x` have n
  // entries, t and w rank(), v and image rank() − split; t and image are
  // overwritten. The solution pass reports whether every x_i is finite.
  // Neither allocates.
  void right_hand_side_pass(std::size_t split, std::span<const double> weights, std::span<double> g,
                            std::span<double> t) const;
  bool solution_pass(std::size_t split, std::span<const double> g, std::span<const double> w,
                     std::span<double> x, std::span<double> image) const;
  // Columns [0, dense_width()) of U hold every column with many nonzeros;
  // the sparse tail after them is also kept row by row.
  std::size_t dense_width() const { return tail_.first_column; }
  const SparseColumns& sparse_tail() const { return tail_; }

 private:
  std::vector<double> inverse_diagonal_;  // G⁻¹
  Matrix low_rank_;                       // U, n×h
  Matrix capacitance_factor_;             // L_S, h×h lower triangular
  SparseColumns tail_;                    // columns [dense_width, h) of U
};

// The SMW system of one problem (scaled or not) for one (ρ, σ) pair. It depends
// on d, F, Ω, A_eq, A_in, the presence of the L1 term, σ and ρ only.
struct FactorizedSystem {
  SmwSystem smw;
  double rho = 0.0;
  double sigma = 0.0;
  std::size_t factors = 0;  // k: columns of U before the constraint columns
  std::size_t m_eq = 0;
  std::size_t m_in = 0;

  static std::expected<FactorizedSystem, SolverError> create(const QpProblem& problem, double rho,
                                                             double sigma);
};

// The factorisations of one problem for the (ρ, σ) pairs a workspace has
// used, most recently used first, at most kMaxCachedSystems of them, with the
// count of every factorisation ever built. Keys compare by bit pattern: values
// that differ in the last bit (or ±0) are different systems. Read like a
// vector of (ρ, system) pairs.
class SystemCache {
 public:
  using Entry = std::pair<double, FactorizedSystem>;  // (ρ, its system)

  // Brings the system for (rho, sigma) to the front, building it on a miss
  // (factorizations() + 1, the least recently used dropped beyond the
  // limit), and returns it. On error the cache and counter are unchanged.
  std::expected<const FactorizedSystem*, SolverError> ensure(const QpProblem& problem, double rho,
                                                             double sigma);

  std::uint64_t factorizations() const { return factorizations_; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const Entry& front() const { return entries_.front(); }
  const Entry& operator[](std::size_t i) const { return entries_[i]; }
  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }

 private:
  std::vector<Entry> entries_;
  std::uint64_t factorizations_ = 0;
};

}  // namespace morva
