// The settings of a solve: the ADMM parameters, the stopping tolerances, the
// penalty ladder, equilibration, polishing and the profile, with the rules
// they must meet.
#pragma once

#include <cstdint>
#include <expected>

#include "morva/error_types.hpp"

namespace morva {

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

// Checks every field's rule in a fixed order (max_iterations first,
// polish_regularization last; a NaN fails its own rule) and returns the
// first violation as InvalidSetting with that rule's text.
std::expected<void, SolverError> validate_settings(const SolverSettings& settings);

}  // namespace morva
