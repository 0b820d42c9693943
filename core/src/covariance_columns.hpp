// The factor transform of the quadratic form P = diag(d) + F·Ω·Fᵀ: L with
// L·Lᵀ = Ω (semidefinite Cholesky for a dense Ω, √ω for a diagonal one), and
// the covariance columns C = F·L it gives, C·Cᵀ = F·Ω·Fᵀ. Internal to the
// core: the stored columns, the reduced system and equilibration use it.
#pragma once

#include <expected>
#include <vector>

#include "factor_rows.hpp"
#include "morva/error_types.hpp"
#include "morva/matrix.hpp"

namespace morva {

// Tolerance factor of the semidefinite Cholesky of a dense Ω: g = 1e-12·max(1, max|Ω|).
inline constexpr double kCovariancePivotTolerance = 1e-12;

// L (k×k, lower triangular, row-major) with L·Lᵀ = Ω, or covariance_not_psd.
std::expected<Matrix, SolverError> semidefinite_cholesky(const Matrix& omega);

// C (n×k) with C·Cᵀ = F·Ω·Fᵀ: C = F·L.
std::expected<Matrix, SolverError> covariance_columns(const FactorQuad& quadratic);

// ‖row i of C‖₂ for every asset, from F and Ω without forming C. `lower`,
// when given, is the caller's L of a dense Ω. A dense Ω zero off the
// diagonal takes O(k) per row, with the bits of general_row_norms.
std::expected<std::vector<double>, SolverError> covariance_row_norms(const FactorQuad& quadratic,
                                                                     const Matrix* lower = nullptr);

// The same norms for a dense Ω and its L, whatever their structure: per row
// F_i·Ω·F_iᵀ over F_i's nonzeros or ‖F_i·L‖², whichever costs fewer products.
std::vector<double> general_row_norms(const FactorRows& factors, const Matrix& omega, const Matrix& lower);

}  // namespace morva
