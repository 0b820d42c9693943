// Active-set polishing of a solved ADMM iterate: guess the active set, solve
// the regularised equality-constrained KKT system
//   [P + δI, Aᵀ; A, −δI]·(x, λ) = (rhs, t)
// through SMW with iterative refinement, keep the result only when it meets
// the solver's stopping rule and improves on the iterate. The reference
// profile guesses by distance to each bound, row and anchor and asks for a
// strictly smaller worst KKT residual; the adaptive profile guesses from the
// duals and asks for no larger primal residual, dual residual and duality
// gap, so that a polished answer is never further from the optimum.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "morva/kkt.hpp"
#include "morva/problem.hpp"
#include "morva/settings.hpp"

namespace morva {

class ReducedColumns;

struct Polished {
  std::vector<double> x;
  DualVariables duals;
  KktResiduals residuals;
};

std::optional<Polished> polish(const QpProblem& problem, std::span<const double> x,
                               const DualVariables& duals, const KktResiduals& residuals,
                               const SolverSettings& settings);
// The same with the problem's V already built (ReducedColumns::of_data of its
// F, equality rows and inequality rows): every pass selects its columns from
// it instead of rescanning the rows.
std::optional<Polished> polish(const QpProblem& problem, const ReducedColumns& data,
                               std::span<const double> x, const DualVariables& duals,
                               const KktResiduals& residuals, const SolverSettings& settings);

}  // namespace morva
