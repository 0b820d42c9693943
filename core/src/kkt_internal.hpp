// The KKT module's internals shared with the certificate audits and the
// stopping rule: the first wrong block length of a check, and the products of
// an iterate that a termination check needs more than once (the KKT check and
// the stopping tolerances both read P·x, A_eq·x and A_in·x; computing them
// once and handing them to both gives the same values as each computing its
// own).
#pragma once

#include <cstddef>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "morva/kkt.hpp"
#include "morva/problem.hpp"
#include "morva/solver.hpp"

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
};

IterateProducts iterate_products(const QpProblem& problem, std::span<const double> x);

// out += A_eqᵀ·y_eq + A_inᵀ·y_in, from the products when they carry it.
void add_multiplier_rows(const QpProblem& problem, const DualVariables& duals,
                         const IterateProducts& products, std::span<double> out);

// meets_stopping_rule with the products of the iterate supplied.
std::expected<bool, LengthMismatch> meets_stopping_rule(const QpProblem& problem, std::span<const double> x,
                                                        const DualVariables& duals,
                                                        const SolverSettings& settings,
                                                        const IterateProducts& products);

// check_kkt with the products supplied.
std::expected<KktResiduals, LengthMismatch> check_kkt(const QpProblem& problem, std::span<const double> x,
                                                      const DualVariables& duals,
                                                      const IterateProducts& products);

}  // namespace morva
