// The KKT module's internals: the first wrong block length of a check (the
// certificate audits share it), and the measure of an iterate that the
// stopping rule reads: P·x, A_eq·x and A_in·x, formed once, give both the
// residuals and the norms the tolerances scale by.
#pragma once

#include <cstddef>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "matrix_products.hpp"
#include "morva/error_types.hpp"
#include "morva/kkt.hpp"
#include "morva/problem.hpp"

namespace morva {

// One block of a length check; the name is only copied into an error.
struct BlockLength {
  const char* name;
  std::size_t expected;
  std::size_t actual;
};

// The first block, in the order given, whose length is not the expected one.
inline std::optional<LengthMismatch> first_length_mismatch(std::initializer_list<BlockLength> blocks) {
  for (const BlockLength& b : blocks) {
    if (b.expected != b.actual) return LengthMismatch{b.name, b.expected, b.actual};
  }
  return std::nullopt;
}

struct IterateProducts {
  std::vector<double> px;        // P·x through the factor form, min(n, len x) entries
  std::vector<double> eq_image;  // (A_eq·x)_i, one per row of the equality matrix
  std::vector<double> in_image;  // (A_in·x)_j, one per row of the inequality matrix
  // A_eqᵀ·y_eq + A_inᵀ·y_in of the iterate's duals (n entries) when the caller
  // has it; empty: formed from the rows of the problem.
  std::vector<double> multiplier_rows;
  // The constraint rows' nonzero positions where the stored columns know them
  // (empty: every row read whole), borrowed from the caller.
  RowSupports row_supports;
};

// The products, through the rows' known nonzeros (`supports`, as
// ReducedColumns::compressed_rows gives them) where given: the same values
// as reading every row whole, up to the sign of a zero in the multiplier
// image, which check_kkt reads only through its magnitude.
IterateProducts iterate_products(const QpProblem& problem, std::span<const double> x,
                                 RowSupports supports = {});

// The multiplier Θ ≥ 0 of a leverage limit that the box duals carry beside
// the bounds' parts (y_box,i = νᵢ + Θ·wᵢ·sᵢ, sᵢ ∈ ∂|xᵢ|), estimated from
// (x, y_box); the problem has a leverage limit.
double leverage_multiplier(const QpProblem& problem, std::span<const double> x,
                           std::span<const double> y_box);

// check_kkt with the products supplied: the same residuals, bit for bit, when
// they are iterate_products of x.
std::expected<KktResiduals, LengthMismatch> check_kkt(const QpProblem& problem, std::span<const double> x,
                                                      const DualVariables& duals,
                                                      const IterateProducts& products);

// The ∞-norms of an iterate's products (each NaN when an entry is).
struct ProductNorms {
  double px = 0.0;                // ‖P·x‖∞
  double eq_image = 0.0;          // ‖A_eq·x‖∞
  double in_image = 0.0;          // ‖A_in·x‖∞
  double multiplier_image = 0.0;  // ‖A_eqᵀy_eq + A_inᵀy_in + y_box + y_l1‖∞
};

// The norms without a length check: a dual block shorter than n counts over
// its own length.
ProductNorms product_norms(const QpProblem& problem, const DualVariables& duals,
                           const IterateProducts& products);

// The multiplier Θ ≥ 0 of a leverage limit that the box duals carry beside
// the bounds' parts (y_box,i = νᵢ + Θ·wᵢ·sᵢ, sᵢ ∈ ∂|xᵢ|), estimated from
// (x, y_box); the problem has a leverage limit.
double leverage_multiplier(const QpProblem& problem, std::span<const double> x,
                           std::span<const double> y_box);

// check_kkt with the products supplied, and the norms of those products.
struct KktMeasure {
  KktResiduals residuals;
  ProductNorms norms;
};
std::expected<KktMeasure, LengthMismatch> measure_kkt(const QpProblem& problem, std::span<const double> x,
                                                      const DualVariables& duals,
                                                      const IterateProducts& products);

}  // namespace morva
