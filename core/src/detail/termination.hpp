// The products of one iterate that a termination check needs more than once:
// the KKT check and the stopping tolerances both read P·x, A_eq·x and A_in·x.
// Computing them once and handing them to both gives the same values as each
// computing its own.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "morva/kkt.hpp"
#include "morva/problem.hpp"
#include "morva/solver.hpp"

namespace morva::detail {

struct IterateProducts {
  std::vector<double> px;        // P·x through the factor form, min(n, len x) entries
  std::vector<double> eq_image;  // (A_eq·x)_i, one per row of the equality matrix
  std::vector<double> in_image;  // (A_in·x)_j, one per row of the inequality matrix
};

IterateProducts iterate_products(const QpProblem& problem, std::span<const double> x);

// check_kkt with the products supplied.
std::expected<KktResiduals, LengthMismatch> check_kkt(const QpProblem& problem, std::span<const double> x,
                                                      const DualVariables& duals,
                                                      const IterateProducts& products);

// stopping_tolerances with the products supplied.
StoppingTolerances stopping_tolerances(double absolute_tolerance, double relative_tolerance,
                                       const QpProblem& problem, std::span<const double> x,
                                       const DualVariables& duals, const IterateProducts& products);

}  // namespace morva::detail
