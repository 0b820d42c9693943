// The stopping rule on products the caller has already formed (the workspace
// forms them through its stored columns). The KKT module measures the iterate
// from them in one call; the rule only turns that measure into its verdict.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

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

class ReducedColumns;
struct Polished;

// polish (the problem's V at hand) with the products of the iterate x
// (iterate_products of x): the adaptive profile's guard reads its stopping
// tolerances and its objective from them instead of forming them again.
// `supports` is data.compressed_rows().
std::optional<Polished> polish_with_products(const QpProblem& problem, const ReducedColumns& data,
                                             std::span<const double> x, const DualVariables& duals,
                                             const KktResiduals& residuals, const SolverSettings& settings,
                                             const IterateProducts& products,
                                             std::span<const std::vector<std::uint32_t>> supports);

// stopping_tolerances with the products of the iterate supplied.
StoppingTolerances stopping_tolerances(double absolute_tolerance, double relative_tolerance,
                                       const QpProblem& problem, std::span<const double> x,
                                       const DualVariables& duals, const IterateProducts& products);

// coefficient_spread_decades with the entries of F, A_eq and A_in given as
// any spans that hold each of their nonzero magnitudes (the stored columns).
double coefficient_spread_decades(const QpProblem& problem,
                                  std::span<const std::span<const double>> matrix_values);

// What a diagnosis reads of the problem at the iterate, for a caller that
// has it at hand.
struct DiagnosisData {
  StoppingTolerances tolerances;
  double coefficient_spread_decades = 0.0;
};
ConvergenceDiagnostics diagnose_failure(const QpProblem& problem, const DiagnosisData& data,
                                        const KktResiduals& residuals, double final_rho, SolveStatus status,
                                        const std::optional<Certificate>& certificate,
                                        std::uint64_t rho_updates, const SolverSettings& settings);

}  // namespace morva
