// The reduced ADMM system through the factor structure.
//
//   K = P + σI + ρ(A_eqᵀA_eq + A_inᵀA_in + I + [L1] I) = G + U·Uᵀ
//   G = diag(d) + (σ + ρ + [L1]ρ)·I,  U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ]  (n×h)
//
// solved with Sherman–Morrison–Woodbury through the Cholesky factor of the
// h×h capacitance S = I + UᵀG⁻¹U, h = k + m_eq + m_in. Nothing n×n is formed,
// except when h ≥ n: then K itself (n×n, the smaller matrix) is factored.
//
// U is kept as U = V·T: the stored columns V = [F, A_eqᵀ, A_inᵀ] of the data
// (ReducedColumns, internal to the core), shared by every factorisation of one
// problem, and T = diag(L, s·I) with L·Lᵀ = Ω and the constraint scale s. A
// factorisation adds only G⁻¹ and the h×h factor.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "morva/error_types.hpp"
#include "morva/matrix.hpp"
#include "morva/problem.hpp"
#include "morva/row_blocks.hpp"

namespace morva {

class ReducedColumns;

// Factorisations kept per workspace; each holds G⁻¹ and an h×h factor.
inline constexpr std::size_t kMaxCachedSystems = 16;

class SmwSystem {
 public:
  // G + U·Uᵀ (G of length n, positive) with U = V·diag(T_q, s·I), s =
  // `constraint_scale`; fails with ReducedFactorizationFailed on a pivot
  // ≤ 1e-14 or a non-finite pivot.
  static std::expected<SmwSystem, SolverError> factor(std::vector<double> diagonal,
                                                      std::shared_ptr<const ReducedColumns> columns,
                                                      double constraint_scale);

  // r ← (G + UUᵀ)⁻¹ r = G⁻¹r − G⁻¹U·S⁻¹·UᵀG⁻¹r. Allocates scratch.
  void solve_in_place(std::span<double> r) const;
  // Allocation-free form; `scratch` holds at least solve_scratch() doubles.
  void solve_in_place(std::span<double> r, std::span<double> scratch) const;

  // The right-hand side pass of an ADMM iteration. On entry g holds the part
  // b of r that involves no constraint column; `weights` (one per constraint
  // column, in V's units) add the constraint pull: r = b + A_consᵀ·weights.
  // Leaves g = G⁻¹b and t = UᵀG⁻¹b − ν (h entries), ν = T⁻¹·[0; weights],
  // from which back_substitute forms K⁻¹r = G⁻¹b − G⁻¹U·S⁻¹·t — or, when
  // the system works in the n-space, g = r and t untouched.
  // `fill` writes g on each block of rows before the pass reads it.
  void project_rhs(std::span<double> g, std::span<const double> weights, std::span<double> t,
                   std::span<double> scratch, RowBlocks fill = {}) const;
  // The back-substitution pass: from project_rhs's g and t (t is consumed),
  // x = K⁻¹r and image = A_cons·x (one per constraint column, V's units),
  // `done` taking each block of rows once its x is final; returns whether x
  // is finite. Both passes take columns().pass_scratch() doubles of scratch.
  bool back_substitute(std::span<const double> g, std::span<double> t, std::span<double> x,
                       std::span<double> image, std::span<double> scratch, RowBlocks done = {}) const;

  std::size_t rank() const;
  std::size_t solve_scratch() const;
  std::span<const double> inverse_diagonal() const { return inverse_diagonal_; }
  const ReducedColumns& columns() const { return *columns_; }
  std::shared_ptr<const ReducedColumns> shared_columns() const { return columns_; }
  // True when h ≥ n: the factor is then that of K (n×n), not of S.
  bool in_asset_space() const { return asset_space_; }
  // L_S (h×h), or L_K (n×n) in the n-space; lower triangular, row-major.
  const Matrix& capacitance_factor() const { return factor_; }

 private:
  std::expected<void, SolverError> factor_capacitance();
  std::expected<void, SolverError> factor_in_asset_space(std::span<const double> diagonal);
  void apply_transform(std::span<double> v, bool transpose) const;

  std::vector<double> inverse_diagonal_;  // G⁻¹
  std::shared_ptr<const ReducedColumns> columns_;
  double scale_ = 1.0;
  bool asset_space_ = false;
  Matrix factor_;  // L_S, h×h (or L_K, n×n)
};

// The SMW system of one problem (scaled or not) for one (ρ, σ) pair. It depends
// on d, F, Ω, A_eq, A_in, the presence of the L1 term, σ and ρ only.
struct FactorizedSystem {
  SmwSystem smw;
  double rho = 0.0;
  double sigma = 0.0;

  static std::expected<FactorizedSystem, SolverError> create(const QpProblem& problem, double rho,
                                                             double sigma);
  // The same with V already built for this problem (shared, not copied).
  static std::expected<FactorizedSystem, SolverError> create(const QpProblem& problem,
                                                             std::shared_ptr<const ReducedColumns> columns,
                                                             double rho, double sigma);
};

// The factorisations of one problem for the (ρ, σ) pairs a workspace has
// used, most recently used first, at most kMaxCachedSystems of them, with the
// count of every factorisation ever built. Keys compare by bit pattern: values
// that differ in the last bit (or ±0) are different systems. Read like a
// vector of (ρ, system) pairs. Every entry shares the one V of the problem;
// a miss builds only G⁻¹ and the h×h factor.
class SystemCache {
 public:
  using Entry = std::pair<double, FactorizedSystem>;  // (ρ, its system)

  // Brings the system for (rho, sigma) to the front, building it on a miss
  // (factorizations() + 1, the least recently used dropped beyond the
  // limit), and returns it. On error the cache and counter are unchanged.
  std::expected<const FactorizedSystem*, SolverError> ensure(const QpProblem& problem, double rho,
                                                             double sigma);
  // The V every system of this cache is built on; without it the first
  // miss builds V from the problem.
  void use_columns(std::shared_ptr<const ReducedColumns> columns) { columns_ = std::move(columns); }

  std::uint64_t factorizations() const { return factorizations_; }
  std::size_t size() const { return entries_.size(); }
  const Entry& front() const { return entries_.front(); }
  const Entry& operator[](std::size_t i) const { return entries_[i]; }
  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }

 private:
  std::vector<Entry> entries_;
  std::shared_ptr<const ReducedColumns> columns_;
  std::uint64_t factorizations_ = 0;
};

}  // namespace morva
