// The core's side of the linear-system interface (morva/linalg.hpp): the
// problem's stored columns V = [F, A_eqᵀ, A_inᵀ] (ReducedColumns::of_data,
// in the data's units) and the selections of them that the polish's
// regularised systems are factored from and multiply with. Callers reach V
// through these named operations, never through its storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "known_supports.hpp"
#include "matrix_products.hpp"
#include "morva/error_types.hpp"
#include "morva/linalg.hpp"
#include "morva/problem.hpp"
#include "stored_columns.hpp"

namespace morva {

// V of the problem, its rows' nonzeros taken from the rows' known supports.
inline ReducedColumns data_columns(const QpProblem& problem) {
  return ReducedColumns::of_data(FactorRows(problem.quadratic), constraint_rows(problem),
                                 known_supports(problem));
}

// The nonzero positions of each constraint row as V stores them.
inline std::vector<std::vector<std::uint32_t>> row_supports(const ReducedColumns& v) {
  return v.compressed_rows();
}

// Whether V is exactly the problem's [F, A_eqᵀ, A_inᵀ] over n assets (κ = ±1,
// no row scaling, F's columns, shared storage): then one stream over V forms
// Fᵀx and every row's A·x with iterate_products' bits (its sums take the
// rows in order over the stored terms; negating a sum is exact).
bool holds_data_columns(const ReducedColumns& v, const QpProblem& problem, std::size_t n);

// The columns of V that the regularised system of a subset S of the
// constraint rows reads, in two forms:
//   V_S = [F, A_Sᵀ]        in the data's units, for the products with A_S;
//   U_S = [F·L, s·A_Sᵀ]    (L·Lᵀ = Ω), from which K = diag(G) + U_S·U_Sᵀ is
//                          factored, with the stiffness s multiplied into
//                          the stored entries rather than into sums.
class KeptColumns {
 public:
  KeptColumns(ReducedColumns plain, std::shared_ptr<const ReducedColumns> stiff)
      : plain_(std::move(plain)), stiff_(std::move(stiff)) {}

  // V_S and U_S of the constraint columns `kept` of V (their rows'
  // coefficients in `rows`); `supports` are V's row supports, `lower` L of a
  // dense Ω when known.
  static std::expected<KeptColumns, SolverError> select(const FactorQuad& quadratic, const ReducedColumns& v,
                                                        std::span<const std::size_t> kept,
                                                        std::span<const double* const> rows, double stiffness,
                                                        RowSupports supports, const Matrix* lower);

  // K = diag(G) + U_S·U_Sᵀ.
  std::expected<SmwSystem, SolverError> factor(std::vector<double> diagonal) const {
    return SmwSystem::factor(std::move(diagonal), stiff_, 1.0);
  }

  // |S|, the kept rows.
  std::size_t rows() const { return plain_.rank() - plain_.factors(); }
  // image = A_S·x.
  void row_image(std::span<const double> x, std::span<double> image) const {
    plain_.constraint_image(x, image);
  }
  // out += A_Sᵀ·y.
  void add_row_combination(std::span<const double> y, std::span<double> out) const {
    plain_.add_products({}, y, {}, out);
  }
  // One stream over V_S: image = A_S·x, and returns s = Ω·Fᵀx.
  std::vector<double> factor_image(const FactorQuad& quadratic, std::span<const double> x,
                                   std::span<double> image) const;
  // One stream over V_S: force += F·s + A_Sᵀ·λ and pull += A_Sᵀ·r.
  void add_products(std::span<const double> s, std::span<const double> lambda, std::span<double> force,
                    std::span<const double> r, std::span<double> pull) const {
    plain_.add_products(s, lambda, force, force, r, pull);
  }

 private:
  ReducedColumns plain_;
  std::shared_ptr<const ReducedColumns> stiff_;
};

}  // namespace morva
