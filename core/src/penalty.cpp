#include "penalty.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "detail/vector_ops.hpp"

namespace morva {

using detail::inf_norm;

// ---- The consensus residuals and the ladder's proposal ----

namespace {

// Largest |a_i − o_i − b_i| over the common length (o = 0 when empty: then
// a_i − 0 is a_i exactly), NaN terms skipped.
void raise_to_gap(double& worst, std::span<const double> a, std::span<const double> b,
                  std::span<const double> offset = {}) {
  const std::size_t len = std::min({a.size(), b.size(), offset.empty() ? a.size() : offset.size()});
  for (std::size_t i = 0; i < len; ++i) {
    const double gap = std::abs(a[i] - (offset.empty() ? 0.0 : offset[i]) - b[i]);
    if (!std::isnan(gap)) worst = std::max(worst, gap);
  }
}

}  // namespace

double consensus_primal_residual(const QpProblem& problem, std::span<const double> eq_image,
                                 std::span<const double> z_eq, std::span<const double> in_image,
                                 std::span<const double> z_in, std::span<const double> x,
                                 std::span<const double> z_box, std::span<const double> z_l1) {
  double worst = 0.0;
  raise_to_gap(worst, eq_image, z_eq);
  raise_to_gap(worst, in_image, z_in);
  raise_to_gap(worst, x, z_box);
  if (problem.l1) raise_to_gap(worst, x, z_l1, problem.l1->anchor);
  return worst;
}

double consensus_dual_residual(double rho, const QpProblem& problem, std::span<const double> z_in_before,
                               std::span<const double> z_in_after, std::span<const double> z_box_before,
                               std::span<const double> z_box_after, std::span<const double> z_l1_before,
                               std::span<const double> z_l1_after, std::span<double> scratch) {
  // v = Δz_box + [L1] Δz_l1 + A_inᵀ·Δz_in (z_eq never moves).
  const std::size_t n = std::min(problem.n(), scratch.size());
  std::span<double> v = scratch.first(n);
  std::fill(v.begin(), v.end(), 0.0);
  const std::size_t box = std::min({n, z_box_before.size(), z_box_after.size()});
  for (std::size_t j = 0; j < box; ++j) v[j] = z_box_after[j] - z_box_before[j];
  if (problem.l1) {
    const std::size_t l1 = std::min({n, z_l1_before.size(), z_l1_after.size()});
    for (std::size_t j = 0; j < l1; ++j) v[j] += z_l1_after[j] - z_l1_before[j];
  }
  const Matrix& a_in = problem.inequalities.matrix;
  const std::size_t rows = std::min({a_in.rows(), z_in_before.size(), z_in_after.size()});
  const std::size_t cols = std::min(a_in.cols(), n);
  for (std::size_t i = 0; i < rows; ++i) {
    const double delta = z_in_after[i] - z_in_before[i];
    const auto row = a_in.row(i);
    for (std::size_t j = 0; j < cols; ++j) v[j] += row[j] * delta;
  }
  return rho * inf_norm(v);
}

double propose_rho(const SolverSettings& settings, double rho, double primal_residual, double dual_residual) {
  const double tau = settings.adaptive_rho_tolerance;
  const double mu = settings.adaptive_rho_multiplier;
  // Strict comparisons; each is false when a residual is NaN, so NaN never moves ρ.
  if (primal_residual > tau * dual_residual) return std::min(mu * rho, settings.maximum_rho);
  if (dual_residual > tau * primal_residual) return std::max(rho / mu, settings.minimum_rho);
  return rho;
}

// ---- The rules ----

namespace {

// The ladder: every adaptive_rho_interval iterations, ρ steps up or down by
// adaptive_rho_multiplier when one consensus residual exceeds the other by
// more than adaptive_rho_tolerance, within [minimum_rho, maximum_rho].
class LadderRule : public PenaltyRule {
 public:
  explicit LadderRule(const SolverSettings& settings) : settings_(settings) {}

  double initial_rho(const QpProblem&) override { return settings_.rho; }

  bool looks_after(std::uint64_t k) const override { return k % settings_.adaptive_rho_interval == 0; }

  double propose(const QpProblem& problem, double rho, const ConsensusStep& step) override {
    const double primal = consensus_primal_residual(problem, step.eq_image, step.z_eq, step.in_image,
                                                    step.z_in, step.x, step.z_box, step.z_l1);
    const double dual = consensus_dual_residual(rho, problem, step.z_in_before, step.z_in, step.z_box_before,
                                                step.z_box, step.z_l1_before, step.z_l1, step.scratch);
    return propose_rho(settings_, rho, primal, dual);
  }

 protected:
  SolverSettings settings_;
};

// The adaptive profile: at the checks of the first kEstimateIterations
// iterations, a magnitude estimate
//   ρ = ‖ỹ‖∞ / ‖x̃‖∞ in the iteration's units,
// the penalty under which the dual and primal iterates have one size, so that
// neither the pull ρ(z − x) nor the dual step dominates. Long-only books with
// small capped weights and large bound multipliers want ρ in the tens; books
// with large positions and small multipliers want it below 0.1. The estimate
// replaces ρ only when it differs by more than kEstimateTolerance, and only
// in the direction the consensus residuals ask for (up while the primal one
// is the larger): with thousands of weights at small caps the bound
// multipliers overstate it tenfold, and the dual residual says so. Refused
// but more than kFarEstimate times away, it still moves ρ halfway (the
// geometric mean): a start that far from the iterates' sizes otherwise stays
// there while the ladder's balance pulls the wrong way. On a long-only
// fundamental book started at ρ = 3 (the estimates 230-470) the run took
// 1,360 iterations, 80 with the move; the default start is unaffected.
//
// Past the estimates, a residual-balanced ladder: when one consensus residual
// exceeds the other by adaptive_rho_tolerance, ρ takes the step
// √(primal / dual) that balances them to first order (ADMM's residuals scale
// as ρ and 1/ρ), clamped to [1/kMaxStep, kMaxStep], within [minimum_rho,
// maximum_rho]. The fixed ×2 of the reference ladder walks back an overshoot
// of ρ by a rung every interval, each rung a refactorisation and an
// acceleration restart.
class SizedLadderRule final : public LadderRule {
 public:
  using LadderRule::LadderRule;

  bool looks_after(std::uint64_t k) const override {
    return estimates_after(k) || LadderRule::looks_after(k);
  }

  double propose(const QpProblem& problem, double rho, const ConsensusStep& step) override {
    const double primal = consensus_primal_residual(problem, step.eq_image, step.z_eq, step.in_image,
                                                    step.z_in, step.x, step.z_box, step.z_l1);
    const double dual = consensus_dual_residual(rho, problem, step.z_in_before, step.z_in, step.z_box_before,
                                                step.z_box, step.z_l1_before, step.z_l1, step.scratch);
    if (estimates_after(step.iteration)) {
      const double estimate = magnitude_estimate(rho, step);
      if (estimate > rho ? primal > dual : dual > primal) return estimate;
      if (estimate > kFarEstimate * rho || rho > kFarEstimate * estimate) return std::sqrt(estimate * rho);
    }
    if (!LadderRule::looks_after(step.iteration)) return rho;
    const double tau = settings_.adaptive_rho_tolerance;
    // Strict comparisons: a NaN residual never moves ρ.
    if (!(primal > tau * dual || dual > tau * primal)) return rho;
    const double step_size = std::clamp(std::sqrt(primal / dual), 1.0 / kMaxStep, kMaxStep);
    return std::clamp(rho * step_size, settings_.minimum_rho, settings_.maximum_rho);
  }

 private:
  static constexpr std::uint64_t kEstimateIterations = 30;
  static constexpr double kMaxStep = 10.0;
  static constexpr double kEstimateTolerance = 3.0;
  static constexpr double kFarEstimate = 30.0;
  // Primal magnitudes below this count as this: a zero iterate gives no infinite ρ.
  static constexpr double kMinPrimalMagnitude = 1e-6;

  bool estimates_after(std::uint64_t k) const {
    return k <= kEstimateIterations && k % settings_.check_termination_every == 0;
  }

  double magnitude_estimate(double rho, const ConsensusStep& step) const {
    const double dual =
        std::max({inf_norm(step.y_eq), inf_norm(step.y_in), inf_norm(step.y_box), inf_norm(step.y_l1)});
    const double target = dual / std::max(inf_norm(step.x), kMinPrimalMagnitude);
    if (!(target > 0.0) || !std::isfinite(target)) return rho;
    if (target <= kEstimateTolerance * rho && rho <= kEstimateTolerance * target) return rho;
    return std::clamp(target, settings_.minimum_rho, settings_.maximum_rho);
  }
};

}  // namespace

std::unique_ptr<PenaltyRule> ladder_rule(const SolverSettings& settings) {
  return std::make_unique<LadderRule>(settings);
}

std::unique_ptr<PenaltyRule> sized_ladder_rule(const SolverSettings& settings) {
  return std::make_unique<SizedLadderRule>(settings);
}

// ---- The penalty of a solve ----

Penalty::Penalty(const SolverSettings& settings, std::unique_ptr<PenaltyRule> rule)
    : rule_(std::move(rule)),
      sigma_(settings.sigma),
      adaptive_(settings.adaptive_rho),
      max_iterations_(settings.max_iterations) {}

std::expected<void, SolverError> Penalty::start(SystemCache& systems, const QpProblem& problem) {
  return move_to(systems, problem, rule_->initial_rho(problem));
}

bool Penalty::due(std::uint64_t k) const {
  return adaptive_ && k < max_iterations_ && rule_->looks_after(k);
}

std::expected<bool, SolverError> Penalty::adapt(SystemCache& systems, const QpProblem& problem,
                                                const ConsensusStep& step) {
  const double proposal = rule_->propose(problem, rho_, step);
  if (proposal == rho_) return false;
  if (auto moved = move_to(systems, problem, proposal); !moved) return std::unexpected(moved.error());
  ++updates_;
  return true;
}

std::expected<void, SolverError> Penalty::move_to(SystemCache& systems, const QpProblem& problem,
                                                  double rho) {
  auto ready = systems.ensure(problem, rho, sigma_);
  if (!ready) return std::unexpected(ready.error());
  system_ = *ready;
  rho_ = rho;
  return {};
}

}  // namespace morva
