#include "morva/settings.hpp"

#include <cmath>
#include <string_view>

namespace morva {

std::expected<void, SolverError> validate_settings(const SolverSettings& s) {
  struct Rule {
    bool holds;
    std::string_view text;
  };
  // Every comparison is false on NaN, so a NaN field fails its own rule.
  using std::isfinite;
  const Rule rules[] = {
      {s.max_iterations > 0, "max_iterations must be positive"},
      {isfinite(s.absolute_tolerance) && s.absolute_tolerance > 0.0,
       "absolute_tolerance must be finite and positive"},
      {isfinite(s.relative_tolerance) && s.relative_tolerance >= 0.0,
       "relative_tolerance must be finite and non-negative"},
      {isfinite(s.rho) && s.rho > 0.0, "rho must be finite and positive"},
      {isfinite(s.sigma) && s.sigma > 0.0, "sigma must be finite and positive"},
      {s.check_termination_every > 0, "check_termination_every must be positive"},
      {s.adaptive_rho_interval > 0, "adaptive_rho_interval must be positive"},
      {isfinite(s.adaptive_rho_tolerance) && s.adaptive_rho_tolerance > 1.0,
       "adaptive_rho_tolerance must be finite and greater than one"},
      {isfinite(s.adaptive_rho_multiplier) && s.adaptive_rho_multiplier > 1.0,
       "adaptive_rho_multiplier must be finite and greater than one"},
      {s.over_relaxation > 0.0 && s.over_relaxation < 2.0,
       "over_relaxation must lie strictly between zero and two"},
      {isfinite(s.minimum_rho) && s.minimum_rho > 0.0, "minimum_rho must be finite and positive"},
      {isfinite(s.maximum_rho) && s.maximum_rho >= s.minimum_rho,
       "maximum_rho must be finite and at least minimum_rho"},
      {s.minimum_rho <= s.rho && s.rho <= s.maximum_rho, "rho must lie between minimum_rho and maximum_rho"},
      {isfinite(s.infeasibility_tolerance) && s.infeasibility_tolerance >= 0.0,
       "infeasibility_tolerance must be finite and non-negative"},
      {isfinite(s.polish_regularization) && s.polish_regularization > 0.0,
       "polish_regularization must be finite and positive"},
  };
  for (const Rule& rule : rules) {
    if (!rule.holds) return std::unexpected(SolverError::invalid_setting(rule.text));
  }
  return {};
}

}  // namespace morva
