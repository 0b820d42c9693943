// The landing of a solved iterate: the weights carried exactly onto their box
// and, when the QP has one, its budget row, by the Euclidean projection
//
//   x' = argmin ‖x' − x‖₂  over  {l ≤ x' ≤ u, 1ᵀx' = B}.
//
// Its KKT conditions give x'_i = clip(x_i + τ, l_i, u_i) for one scalar τ,
// the multiplier of the budget row, with s(τ) = Σ clip(x_i + τ, l_i, u_i) = B.
// s is continuous, non-decreasing and piecewise linear, its slope the number
// of free weights F(τ) = {i : l_i < x_i + τ < u_i}; so τ is found by Newton
// steps τ ← τ + (B − s(τ))/|F(τ)|, exact once a step stays on one linear
// piece, kept inside a bracket [a, b] with s(a) ≤ B ≤ s(b) (a step that
// leaves it, or a flat piece, bisects instead). s is summed accurately
// (compensated), and the rounding left over goes on the free weight with the
// most room, clipped, so that the accurate sum of x' is B to rounding and
// l ≤ x' ≤ u holds exactly. Without a budget row x' = clip(x, l, u).
//
// The landing corrects the rounding of a converged iterate, never its answer:
// it is refused, and x left as it is, when it would move a weight by more
// than the tolerance ε. The bracket is then [−ε, ε]: if a root τ* > ε moved
// no weight by more than ε, every x_i + τ* lies above u_i ≤ x_i + ε (else
// x'_i − x_i ≥ τ* > ε), so clip(x_i + ε) = clip(x_i + τ*) and ε is a root
// with the same x' (and −ε for τ* < −ε). Cost: O(n) per Newton step, a few
// steps from the converged iterate's τ ≈ 0.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "morva/problem.hpp"

namespace morva {

// Why a landing was refused; the iterate is then kept as it is.
enum class LandingRefusal {
  NotFinite,  // a weight, the budget or ε is not finite, or a box is crossed
  TooFar,     // a weight would move by more than ε (the iterate is not near-feasible)
};

// The budget B of the row 1ᵀx = B: row 0 of A_eq when every entry of it is
// exactly 1 (the portfolio lowering puts the budget row first), else none.
std::optional<double> budget_row(const QpProblem& problem);

// The projection of `x` onto {lower ≤ x' ≤ upper, 1ᵀx' = budget} (the box
// alone without a budget), or why it is refused; no weight moves by more
// than `tolerance`. `lower` and `upper` are as long as `x`.
std::expected<std::vector<double>, LandingRefusal> land(std::span<const double> x,
                                                        std::span<const double> lower,
                                                        std::span<const double> upper,
                                                        std::optional<double> budget, double tolerance);

// Σ x with Neumaier's compensation: within about one rounding of the exact
// sum whatever the cancellation.
double accurate_sum(std::span<const double> x);

}  // namespace morva
