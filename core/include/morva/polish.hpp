// Active-set polishing of a solved ADMM iterate: guess the active set, solve
// the regularised equality-constrained KKT system
//   [P + δI, Aᵀ; A, −δI]·(x, λ) = (rhs, t)
// through SMW with iterative refinement, keep the result only when its worst
// KKT residual strictly improves and it meets the solver's stopping rule.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "morva/kkt.hpp"
#include "morva/problem.hpp"
#include "morva/solver.hpp"

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
