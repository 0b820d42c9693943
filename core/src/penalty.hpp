// The ADMM penalty ρ of one solve, beside the loop that uses it: its value,
// its count of changes, the rule that proposes the next value (with the
// pieces of the ladder rule) and the fetch of the factorisation at it from
// the workspace's SystemCache.
//
// A rule sees the consensus blocks of the iterate after an iteration and
// answers with the next ρ; it starts the solve at a ρ of its own and looks
// at the iterate on a cadence of its own. The loop asks the penalty only
// whether it is due and to adapt, and reads back ρ and the system in force.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "morva/error_types.hpp"
#include "morva/linalg.hpp"
#include "morva/problem.hpp"
#include "morva/settings.hpp"

namespace morva {

// ---- The ladder rule's pieces (iteration problem, scaled space) ----

// Largest |A_eq x̃ − z_eq|, |A_in x̃ − z_in|, |x̃ − z_box|, |x̃ − a − z_l1|; NaN skipped.
double consensus_primal_residual(const QpProblem& problem, std::span<const double> eq_image,
                                 std::span<const double> z_eq, std::span<const double> in_image,
                                 std::span<const double> z_in, std::span<const double> x,
                                 std::span<const double> z_box, std::span<const double> z_l1);

// ρ·‖Δz_box + Δz_l1 + A_inᵀΔz_in‖∞; `scratch` holds at least n doubles (its
// first n are overwritten).
double consensus_dual_residual(double rho, const QpProblem& problem, std::span<const double> z_in_before,
                               std::span<const double> z_in_after, std::span<const double> z_box_before,
                               std::span<const double> z_box_after, std::span<const double> z_l1_before,
                               std::span<const double> z_l1_after, std::span<double> scratch);

// The next penalty: ×μ when r_p > τ·r_d, ÷μ when r_d > τ·r_p, clamped; else ρ.
double propose_rho(const SolverSettings& settings, double rho, double primal_residual, double dual_residual);

// ---- The penalty of one solve ----

// The consensus blocks of the iterate after one iteration, in the iteration
// (scaled) space: A·x̃ against z for every block, and the z blocks before the
// iteration beside those after it. z_eq never moves, so it has no "before".
struct ConsensusStep {
  std::uint64_t iteration;                     // k, the iteration just taken
  std::span<const double> eq_image, in_image;  // A_eq·x̃, A_in·x̃
  std::span<const double> x;                   // x̃
  std::span<const double> z_eq, z_in, z_box, z_l1;
  std::span<const double> z_in_before, z_box_before, z_l1_before;
  std::span<const double> y_eq, y_in, y_box, y_l1;  // the duals after the step
  std::span<double> scratch;                        // n doubles a rule may overwrite
};

// How ρ moves during a solve. A rule keeps whatever state it needs between
// its looks (an estimate made at the start, a running balance).
class PenaltyRule {
 public:
  virtual ~PenaltyRule() = default;

  // The ρ a solve starts from, for the iteration problem.
  virtual double initial_rho(const QpProblem& problem) = 0;
  // Whether the rule looks at the iterate after iteration k (k ≥ 1).
  virtual bool looks_after(std::uint64_t k) const = 0;
  // The next ρ from the step just taken at ρ; ρ itself keeps the penalty.
  virtual double propose(const QpProblem& problem, double rho, const ConsensusStep& step) = 0;
};

// The ladder rule alone (from settings.rho), and the ladder from a first ρ
// sized by ‖ỹ‖∞/‖x̃‖∞ early in the solve; profile_rule() picks one.
std::unique_ptr<PenaltyRule> ladder_rule(const SolverSettings& settings);
std::unique_ptr<PenaltyRule> sized_ladder_rule(const SolverSettings& settings);

class Penalty {
 public:
  // `rule` (the solver profile's, profile_rule()) under `settings`, not yet at any ρ.
  Penalty(const SolverSettings& settings, std::unique_ptr<PenaltyRule> rule);

  // Takes the rule's starting ρ and brings its factorisation to the front of
  // the cache (built on a miss).
  std::expected<void, SolverError> start(SystemCache& systems, const QpProblem& problem);

  // Whether the penalty may move after iteration k: updates are enabled, an
  // iteration follows, and the rule looks now.
  bool due(std::uint64_t k) const;

  // Asks the rule for the next ρ; on a change, fetches its factorisation and
  // counts the update. True when ρ moved.
  std::expected<bool, SolverError> adapt(SystemCache& systems, const QpProblem& problem,
                                         const ConsensusStep& step);

  double rho() const { return rho_; }
  std::uint64_t updates() const { return updates_; }
  const FactorizedSystem& system() const { return *system_; }

 private:
  // ρ and its factorisation from the cache; nothing changes on error.
  std::expected<void, SolverError> move_to(SystemCache& systems, const QpProblem& problem, double rho);

  std::unique_ptr<PenaltyRule> rule_;
  double sigma_;
  bool adaptive_;
  std::uint64_t max_iterations_;
  double rho_ = 0.0;
  std::uint64_t updates_ = 0;
  const FactorizedSystem* system_ = nullptr;
};

}  // namespace morva
