// The values every caller exchanges with the engine (settings, status, errors,
// warm starts, diagnostics, solutions), the stopping rule, the pieces of the
// adaptive penalty's ladder rule and the diagnosis of failed solves.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "morva/certificate.hpp"
#include "morva/kkt.hpp"
#include "morva/problem.hpp"

namespace morva {

// Smallest positive normal double; magnitudes at or below it count as zero
// when a scale factor or a ratio is formed.
inline constexpr double kSmallestNormal = 2.2250738585072014e-308;

// The rules a solve follows where the settings leave them open. Reference is
// the documented ADMM with its penalty ladder; Adaptive is the package's own
// profile (its penalty, acceleration and polish guard), which reaches the
// same optimum in fewer iterations.
enum class SolverProfile { Reference, Adaptive };

struct SolverSettings {
  std::uint64_t max_iterations = 10000;        // ADMM iteration budget
  double absolute_tolerance = 1.0e-6;          // absolute part of both stopping tolerances
  double relative_tolerance = 1.0e-5;          // relative part of both stopping tolerances
  double rho = 1.0;                            // initial ADMM penalty
  double sigma = 1.0e-6;                       // proximal term added to the system diagonal
  std::uint64_t check_termination_every = 10;  // stopping/infeasibility tests every this many iterations
  std::uint64_t adaptive_rho_interval = 25;    // penalty update considered every this many iterations
  double adaptive_rho_tolerance = 5.0;         // residual imbalance factor that moves the penalty
  double adaptive_rho_multiplier = 2.0;        // factor applied to the penalty at an update
  double over_relaxation = 1.6;                // relaxation parameter alpha, in (0, 2)
  double minimum_rho = 1.0e-6;                 // lower clamp of the penalty
  double maximum_rho = 1.0e6;                  // upper clamp of the penalty
  std::uint64_t scaling_iterations = 10;       // Ruiz passes; 0 disables equilibration
  double infeasibility_tolerance = 1.0e-5;     // certificate acceptance threshold; 0 disables detection
  double polish_regularization = 1.0e-6;       // δ of the polishing solve
  std::uint64_t polish_refinement_steps = 3;   // iterative-refinement passes of the polishing solve
  bool adaptive_rho = true;                    // enables penalty updates
  bool polish = true;                          // enables polishing of a solved iterate
  SolverProfile profile = SolverProfile::Reference;  // rules beyond the settings above

  bool operator==(const SolverSettings&) const = default;
};

enum class SolveStatus { Solved, MaxIterations, NumericalFailure, PrimalInfeasible, DualInfeasible };

// Display string ("solved", "maximum iterations reached", ...).
constexpr std::string_view to_string(SolveStatus status) {
  switch (status) {
    case SolveStatus::Solved: return "solved";
    case SolveStatus::MaxIterations: return "maximum iterations reached";
    case SolveStatus::NumericalFailure: return "numerical failure";
    case SolveStatus::PrimalInfeasible: return "primal infeasible";
    case SolveStatus::DualInfeasible: return "dual infeasible";
  }
  return "unknown";
}

// Enumerator name, as the result JSON writes it ("Solved", "MaxIterations", ...).
constexpr std::string_view status_name(SolveStatus status) {
  switch (status) {
    case SolveStatus::Solved: return "Solved";
    case SolveStatus::MaxIterations: return "MaxIterations";
    case SolveStatus::NumericalFailure: return "NumericalFailure";
    case SolveStatus::PrimalInfeasible: return "PrimalInfeasible";
    case SolveStatus::DualInfeasible: return "DualInfeasible";
  }
  return "Unknown";
}

struct SolverError {
  enum class Kind {
    Problem,
    InvalidSetting,
    CovarianceNotPositiveSemidefinite,
    ReducedFactorizationFailed,
    LengthMismatch,
    WarmStartLength,
    WarmStartNonFinite,
  };

  Kind kind{};
  ProblemError problem;        // Problem
  std::string_view rule;       // InvalidSetting: static rule text
  std::string name;            // LengthMismatch / WarmStart*: block name
  std::uint64_t found = 0;     // LengthMismatch / WarmStartLength
  std::uint64_t expected = 0;  // LengthMismatch / WarmStartLength

  static SolverError from_problem(ProblemError error);
  static SolverError invalid_setting(std::string_view rule);
  static SolverError covariance_not_psd();
  static SolverError factorization_failed();
  static SolverError length_mismatch(const LengthMismatch& mismatch);
  static SolverError warm_start_length(std::string name, std::uint64_t found, std::uint64_t expected);
  static SolverError warm_start_non_finite(std::string name);

  std::string message() const;
  bool operator==(const SolverError&) const = default;
};

// Checks every field's rule in a fixed order (max_iterations first,
// polish_regularization last; a NaN fails its own rule) and returns the
// first violation as InvalidSetting with that rule's text.
std::expected<void, SolverError> validate_settings(const SolverSettings& settings);

struct WarmStart {
  std::vector<double> x;  // n, required
  std::optional<std::vector<double>> equality_dual;
  std::optional<std::vector<double>> inequality_dual;
  std::optional<std::vector<double>> bound_dual;
  std::optional<std::vector<double>> l1_dual;

  bool operator==(const WarmStart&) const = default;
};

struct ConvergenceDiagnostics {
  double primal_tolerance = 0.0;
  double dual_tolerance = 0.0;
  double coefficient_spread_decades = 0.0;
  bool rho_at_limit = false;
  std::vector<std::string> hints;

  bool operator==(const ConvergenceDiagnostics&) const = default;
};

struct SolveTime {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // 0 … 999 999 999

  double seconds() const { return static_cast<double>(secs) + static_cast<double>(nanos) / 1e9; }
  bool operator==(const SolveTime&) const = default;
};

struct Solution {
  SolveStatus status = SolveStatus::Solved;
  std::vector<double> x;
  DualVariables dual;
  double objective = 0.0;
  KktResiduals residuals;
  std::uint64_t iterations = 0;
  SolveTime solve_time;
  double final_rho = 0.0;
  std::uint64_t rho_updates = 0;
  bool polished = false;
  std::optional<ConvergenceDiagnostics> diagnostics;  // exactly when status ≠ Solved
  std::optional<Certificate> certificate;             // only when infeasible

  // x and all four dual blocks, every block present (possibly empty).
  WarmStart warm_start() const;

  bool operator==(const Solution&) const = default;
};

// ---- Stopping rule (unscaled problem, unscaled iterate) ----

struct StoppingTolerances {
  double primal = 0.0;
  double dual = 0.0;
};

// ε_p = abs + rel·max(‖x‖∞, 1, ‖A_eq x‖∞, ‖b_eq‖∞, ‖A_in x‖∞, ‖b_in‖∞)
// ε_d = abs + rel·max(‖Px‖∞, 1, ‖q‖∞, ‖c‖∞, ‖A_eqᵀy_eq + A_inᵀy_in + y_box + y_l1‖∞)
StoppingTolerances stopping_tolerances(double absolute_tolerance, double relative_tolerance,
                                       const QpProblem& problem, std::span<const double> x,
                                       const DualVariables& duals);

// r_p ≤ ε_p, r_d ≤ ε_d and r_c ≤ max(ε_p, ε_d); any NaN means not converged.
bool is_converged(const KktResiduals& residuals, const StoppingTolerances& tolerances);

// The stopping rule on an iterate: is_converged of its check_kkt residuals
// (lengths checked as check_kkt does) and its stopping_tolerances under the
// tolerances of `settings`.
std::expected<bool, LengthMismatch> meets_stopping_rule(const QpProblem& problem, std::span<const double> x,
                                                        const DualVariables& duals,
                                                        const SolverSettings& settings);

// ---- Adaptive penalty (iteration problem, scaled space) ----
// The pieces of the ladder rule, which the solve's penalty applies beside the
// loop; they are defined there, with the rule.

// Largest |A_eq x̃ − z_eq|, |A_in x̃ − z_in|, |x̃ − z_box|, |x̃ − a − z_l1|; NaN skipped.
double consensus_primal_residual(const QpProblem& problem, std::span<const double> eq_image,
                                 std::span<const double> z_eq, std::span<const double> in_image,
                                 std::span<const double> z_in, std::span<const double> x,
                                 std::span<const double> z_box, std::span<const double> z_l1);

// ρ·‖Δz_box + Δz_l1 + A_inᵀΔz_in‖∞.
double consensus_dual_residual(double rho, const QpProblem& problem, std::span<const double> z_in_before,
                               std::span<const double> z_in_after, std::span<const double> z_box_before,
                               std::span<const double> z_box_after, std::span<const double> z_l1_before,
                               std::span<const double> z_l1_after);
// Allocation-free form: `scratch` holds at least n doubles (its first n are overwritten).
double consensus_dual_residual(double rho, const QpProblem& problem, std::span<const double> z_in_before,
                               std::span<const double> z_in_after, std::span<const double> z_box_before,
                               std::span<const double> z_box_after, std::span<const double> z_l1_before,
                               std::span<const double> z_l1_after, std::span<double> scratch);

// The next penalty: ×μ when r_p > τ·r_d, ÷μ when r_d > τ·r_p, clamped; else ρ.
double propose_rho(const SolverSettings& settings, double rho, double primal_residual, double dual_residual);

// ---- Diagnosis of a solve that did not end Solved ----

// log10(largest) − log10(smallest) over the finite non-zero magnitudes of F,
// d, q, the L1 costs and anchor, A_eq, b_eq, A_in, b_in; 0 when none exist.
double coefficient_spread_decades(const QpProblem& problem);

ConvergenceDiagnostics diagnose_failure(const QpProblem& problem, std::span<const double> x,
                                        const DualVariables& duals, const KktResiduals& residuals,
                                        double final_rho, SolveStatus status,
                                        const std::optional<Certificate>& certificate,
                                        std::uint64_t rho_updates, const SolverSettings& settings);

}  // namespace morva
