// The stopping rule (unscaled problem, unscaled iterate) and the diagnosis
// of a solve that did not end Solved (internal to the core). The KKT module
// measures the iterate, from products the caller may have formed already
// (the workspace forms them through its stored columns); the rule only turns
// that measure into its verdict.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "kkt_internal.hpp"
#include "morva/certificate.hpp"
#include "morva/error_types.hpp"
#include "morva/kkt.hpp"
#include "morva/problem.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"

namespace morva {

struct StoppingTolerances {
  double primal = 0.0;
  double dual = 0.0;
};

// ε_p = abs + rel·max(‖x‖∞, 1, ‖A_eq x‖∞, ‖b_eq‖∞, ‖A_in x‖∞, ‖b_in‖∞)
// ε_d = abs + rel·max(‖Px‖∞, 1, ‖q‖∞, ‖c‖∞, ‖A_eqᵀy_eq + A_inᵀy_in + y_box + y_l1‖∞)
// from the products of the iterate (iterate_products of x).
StoppingTolerances stopping_tolerances(double absolute_tolerance, double relative_tolerance,
                                       const QpProblem& problem, std::span<const double> x,
                                       const DualVariables& duals, const IterateProducts& products);

// r_p ≤ ε_p, r_d ≤ ε_d and r_c ≤ max(ε_p, ε_d); any NaN means not converged.
bool is_converged(const KktResiduals& residuals, const StoppingTolerances& tolerances);

// The stopping rule on an iterate: is_converged of its check_kkt residuals
// (lengths checked as check_kkt does) and its stopping_tolerances under the
// tolerances of `settings`, from the products of the iterate.
std::expected<bool, LengthMismatch> meets_stopping_rule(const QpProblem& problem, std::span<const double> x,
                                                        const DualVariables& duals,
                                                        const SolverSettings& settings,
                                                        const IterateProducts& products);

// `settings` with both stopping tolerances multiplied by `factor`.
SolverSettings with_tolerances_times(SolverSettings settings, double factor);

// The stopping rule at the tolerances and at `looser` times them, from one
// measure of the iterate.
struct StoppingLooks {
  bool converged = false;
  bool within_looser = false;
};
std::expected<StoppingLooks, LengthMismatch> stopping_looks(const QpProblem& problem,
                                                            std::span<const double> x,
                                                            const DualVariables& duals,
                                                            const SolverSettings& settings,
                                                            const IterateProducts& products, double looser);

// log10(largest) − log10(smallest) over the finite non-zero magnitudes of F,
// d, q, the L1 costs and anchor, A_eq, b_eq, A_in, b_in; 0 when none exist.
double coefficient_spread_decades(const QpProblem& problem);
// The same with the entries of F, A_eq and A_in given as any spans that hold
// each of their nonzero magnitudes (the stored columns).
double coefficient_spread_decades(const QpProblem& problem,
                                  std::span<const std::span<const double>> matrix_values);

// What a diagnosis reads of the problem at the iterate.
struct DiagnosisData {
  StoppingTolerances tolerances;
  double coefficient_spread_decades = 0.0;
};
ConvergenceDiagnostics diagnose_failure(const QpProblem& problem, const DiagnosisData& data,
                                        const KktResiduals& residuals, double final_rho, SolveStatus status,
                                        const std::optional<Certificate>& certificate,
                                        std::uint64_t rho_updates, const SolverSettings& settings);

}  // namespace morva
