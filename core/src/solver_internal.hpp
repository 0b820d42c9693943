// The stopping rule on products the caller has already formed (the workspace
// forms them through its stored columns). The KKT module measures the iterate
// from them in one call; the rule only turns that measure into its verdict.
#pragma once

#include <expected>
#include <span>

#include "kkt_internal.hpp"
#include "morva/kkt.hpp"
#include "morva/problem.hpp"
#include "morva/solver.hpp"

namespace morva {

// meets_stopping_rule with the products of the iterate supplied.
std::expected<bool, LengthMismatch> meets_stopping_rule(const QpProblem& problem, std::span<const double> x,
                                                        const DualVariables& duals,
                                                        const SolverSettings& settings,
                                                        const IterateProducts& products);

}  // namespace morva
