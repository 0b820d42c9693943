#include "convergence.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "detail/vector_ops.hpp"
#include "factor_rows.hpp"
#include "morva/format.hpp"

namespace morva {

using detail::inf_norm;
using detail::kSmallestNormal;
using detail::max_ignoring_nan;

// ---- Stopping rule ----

namespace {

// The tolerances of an iterate from the norms of its products.
StoppingTolerances tolerances_from_norms(double absolute_tolerance, double relative_tolerance,
                                         const QpProblem& problem, std::span<const double> x,
                                         const ProductNorms& norms) {
  // The floor of 1 sits on the first term of each maximum; every maximum
  // ignores a NaN operand while each single norm propagates its NaN (‖A·x‖∞
  // from the row products is the norm of their vector).
  double primal_scale = max_ignoring_nan(inf_norm(x), 1.0);
  primal_scale = max_ignoring_nan(primal_scale, norms.eq_image);
  primal_scale = max_ignoring_nan(primal_scale, inf_norm(problem.equalities.rhs));
  primal_scale = max_ignoring_nan(primal_scale, norms.in_image);
  primal_scale = max_ignoring_nan(primal_scale, inf_norm(problem.inequalities.rhs));

  double dual_scale = max_ignoring_nan(norms.px, 1.0);
  dual_scale = max_ignoring_nan(dual_scale, inf_norm(problem.linear));
  dual_scale = max_ignoring_nan(dual_scale, problem.l1 ? inf_norm(problem.l1->costs) : 0.0);
  dual_scale = max_ignoring_nan(dual_scale, norms.multiplier_image);

  return {absolute_tolerance + relative_tolerance * primal_scale,
          absolute_tolerance + relative_tolerance * dual_scale};
}

}  // namespace

StoppingTolerances stopping_tolerances(double absolute_tolerance, double relative_tolerance,
                                       const QpProblem& problem, std::span<const double> x,
                                       const DualVariables& duals, const IterateProducts& products) {
  return tolerances_from_norms(absolute_tolerance, relative_tolerance, problem, x,
                               product_norms(problem, duals, products));
}

std::expected<bool, LengthMismatch> meets_stopping_rule(const QpProblem& problem, std::span<const double> x,
                                                        const DualVariables& duals,
                                                        const SolverSettings& settings,
                                                        const IterateProducts& products) {
  auto measure = measure_kkt(problem, x, duals, products);
  if (!measure) return std::unexpected(std::move(measure.error()));
  const StoppingTolerances tolerances = tolerances_from_norms(
      settings.absolute_tolerance, settings.relative_tolerance, problem, x, measure->norms);
  return is_converged(measure->residuals, tolerances);
}

SolverSettings with_tolerances_times(SolverSettings settings, double factor) {
  settings.absolute_tolerance *= factor;
  settings.relative_tolerance *= factor;
  return settings;
}

std::expected<StoppingLooks, LengthMismatch> stopping_looks(const QpProblem& problem,
                                                            std::span<const double> x,
                                                            const DualVariables& duals,
                                                            const SolverSettings& settings,
                                                            const IterateProducts& products, double looser) {
  auto measure = measure_kkt(problem, x, duals, products);
  if (!measure) return std::unexpected(std::move(measure.error()));
  const auto tolerances = [&](double factor) {
    return tolerances_from_norms(settings.absolute_tolerance * factor, settings.relative_tolerance * factor,
                                 problem, x, measure->norms);
  };
  StoppingLooks looks{is_converged(measure->residuals, tolerances(1.0)), false};
  if (!looks.converged && looser > 0.0)
    looks.within_looser = is_converged(measure->residuals, tolerances(looser));
  return looks;
}

bool is_converged(const KktResiduals& residuals, const StoppingTolerances& tolerances) {
  // Written so that any NaN on either side makes a comparison, and so the test, fail.
  return residuals.primal <= tolerances.primal && residuals.dual <= tolerances.dual &&
         residuals.complementarity <= max_ignoring_nan(tolerances.primal, tolerances.dual);
}

// ---- Diagnosis ----

namespace {

// The iteration-limit hint splits on residual-to-tolerance ratios: within this
// factor the solve is "nearly there"; beyond this factor over the other one a
// side dominates.
constexpr double kNearToleranceRatio = 100.0;
constexpr double kDominanceRatio = 100.0;
// Coefficient spreads beyond this many decades earn a rescaling hint.
constexpr double kSpreadDecadesLimit = 6.0;
// More penalty changes than this earn a hint.
constexpr std::uint64_t kRhoUpdatesLimit = 10;

std::string primal_certificate_hint(const CertificateAudit& audit) {
  return "a Farkas certificate proves the constraints admit no common point: the weighted constraint "
         "combination in Solution::certificate cancels every variable (stationarity residual " +
         format_scientific(audit.residual, 1) + ") yet requires a value below " +
         format_scientific(audit.value, 3) +
         "; relax one of the participating constraints (audit independently with check_primal_certificate)";
}

std::string dual_certificate_hint(const CertificateAudit& audit) {
  return "a descent-ray certificate proves the objective is unbounded below: along Solution::certificate's "
         "direction the quadratic cost stays at " +
         format_scientific(audit.residual, 1) + " while the linear cost falls at slope " +
         format_scientific(audit.value, 3) +
         " and no constraint blocks the ray; add bounds or constraints capping this direction (audit "
         "independently with check_dual_certificate)";
}

// The iteration-limit hint: which side keeps the solve from finishing within the budget.
std::string iteration_limit_hint(const KktResiduals& residuals, const StoppingTolerances& tolerances,
                                 std::uint64_t max_iterations) {
  const double ratio_primal = residuals.primal / max_ignoring_nan(tolerances.primal, kSmallestNormal);
  const double ratio_dual = residuals.dual / max_ignoring_nan(tolerances.dual, kSmallestNormal);
  if (max_ignoring_nan(ratio_primal, ratio_dual) < kNearToleranceRatio) {
    return "residuals are within two orders of magnitude of tolerance (primal " +
           format_scientific(residuals.primal, 1) + " vs " + format_scientific(tolerances.primal, 1) +
           ", dual " + format_scientific(residuals.dual, 1) + " vs " + format_scientific(tolerances.dual, 1) +
           "); raising max_iterations above " + std::to_string(max_iterations) +
           " will likely finish the solve";
  }
  if (ratio_primal > kDominanceRatio * max_ignoring_nan(ratio_dual, 1.0)) {
    return "the primal residual dominates and no infeasibility certificate was found within "
           "infeasibility_tolerance; the constraints may be feasible only barely, or infeasible by a margin "
           "below that tolerance \u2014 verify that budget, boxes, and linear constraints admit a common "
           "point";
  }
  if (ratio_dual > kDominanceRatio * max_ignoring_nan(ratio_primal, 1.0)) {
    return "the dual residual dominates; consider loosening relative_tolerance, decreasing rho, or rescaling "
           "the objective so risk and return terms have comparable magnitude";
  }
  return "both residuals remain far from tolerance after " + std::to_string(max_iterations) +
         " iterations; rescale the problem data or relax tolerances before raising the iteration budget";
}

}  // namespace

double coefficient_spread_decades(const QpProblem& problem) {
  const auto [factors, tails] = FactorRows(problem.quadratic).stored_values();
  const std::span<const double> matrices[] = {factors, tails, problem.equalities.matrix.data(),
                                              problem.inequalities.matrix.data()};
  return coefficient_spread_decades(problem, matrices);
}

// The extremes of a set do not depend on the order it is visited in: the
// matrices' entries come in any arrangement that holds each nonzero
// magnitude at least once.
double coefficient_spread_decades(const QpProblem& problem,
                                  std::span<const std::span<const double>> matrix_values) {
  // Running extremes of the finite non-zero magnitudes (none seen while
  // largest is 0).
  double largest = 0.0;
  double smallest = std::numeric_limits<double>::infinity();
  const auto add = [&](std::span<const double> values) {
    detail::narrow_to_magnitudes(values, largest, smallest);
  };
  for (const std::span<const double> values : matrix_values) add(values);
  add(problem.quadratic.diagonal);
  add(problem.linear);
  if (problem.l1) {
    add(problem.l1->costs);
    add(problem.l1->anchor);
  }
  add(problem.equalities.rhs);
  add(problem.inequalities.rhs);
  if (!(largest > 0.0)) return 0.0;
  // The difference of logarithms, not the log of the ratio: largest/smallest
  // overflows to +inf for magnitudes such as 1e308 and 1e-300 although both
  // logarithms, and their difference, are finite.
  return std::log10(largest) - std::log10(smallest);
}

ConvergenceDiagnostics diagnose_failure(const QpProblem& problem, const DiagnosisData& data,
                                        const KktResiduals& residuals, double final_rho, SolveStatus status,
                                        const std::optional<Certificate>& certificate,
                                        std::uint64_t rho_updates, const SolverSettings& settings) {
  ConvergenceDiagnostics diagnostics;
  const StoppingTolerances& tolerances = data.tolerances;
  diagnostics.primal_tolerance = tolerances.primal;
  diagnostics.dual_tolerance = tolerances.dual;
  diagnostics.coefficient_spread_decades = data.coefficient_spread_decades;
  diagnostics.rho_at_limit = final_rho >= settings.maximum_rho || final_rho <= settings.minimum_rho;

  auto& hints = diagnostics.hints;
  if (certificate) {
    if (certificate->is_primal()) {
      if (auto audit = check_primal_certificate(problem, certificate->primal())) {
        hints.push_back(primal_certificate_hint(*audit));
      }
    } else if (auto audit = check_dual_certificate(problem, certificate->dual().direction)) {
      hints.push_back(dual_certificate_hint(*audit));
    }
  }
  if (status == SolveStatus::NumericalFailure) {
    hints.emplace_back(
        "an iterate became non-finite; check the input for extreme coefficient magnitudes or near-singular "
        "covariance data");
  }
  const double spread = diagnostics.coefficient_spread_decades;
  if (spread > kSpreadDecadesLimit) {
    if (settings.scaling_iterations > 0) {
      hints.push_back(
          "problem coefficients span about " + format_whole(spread) +
          " orders of magnitude even though Ruiz equilibration ran; rescale returns, covariance, and "
          "constraints toward comparable units before solving");
    } else {
      hints.push_back("problem coefficients span about " + format_whole(spread) +
                      " orders of magnitude and automatic scaling is disabled; set scaling_iterations to its "
                      "default (10) or rescale returns, covariance, and constraints toward comparable units");
    }
  }
  if (diagnostics.rho_at_limit) {
    hints.push_back("the adaptive penalty finished pinned at " + format_scientific(final_rho, 1) +
                    " (allowed range [" + format_scientific(settings.minimum_rho, 1) + ", " +
                    format_scientific(settings.maximum_rho, 1) +
                    "]); widen minimum_rho/maximum_rho or start rho closer to this value");
  }
  if (status == SolveStatus::MaxIterations) {
    hints.push_back(iteration_limit_hint(residuals, tolerances, settings.max_iterations));
  }
  if (rho_updates > kRhoUpdatesLimit) {
    hints.push_back(
        "rho was re-tuned " + std::to_string(rho_updates) +
        " times, a sign of conflicting primal/dual scales; data rescaling usually helps more than "
        "iteration budget");
  }
  return diagnostics;
}

}  // namespace morva
