#include "profile_rule.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "convergence.hpp"
#include "detail/vector_ops.hpp"
#include "landing.hpp"
#include "penalty.hpp"
#include "polish_internal.hpp"
#include "stored_columns.hpp"
#include "stored_products.hpp"

namespace morva {
namespace {

using detail::positive_part;

// Differences the adaptive guard treats as rounding: residuals below this
// fraction of the iterate's stopping tolerances, gaps below this fraction of
// max(1, |f(x)|).
constexpr double kRoundingFraction = 1e-6;
constexpr double kRoundingGap = 1e-13;
// An iterate within 300 times the stopping tolerances is polished, and
// again at each look 3 times closer down to 3 times them; a candidate ends
// the run only when it meets the tolerances divided by 30 (Workspace).
// Against one look at 30 times: corpus p90 70 -> 50 iterations, a rolling
// industry date 18 -> 12, accuracy unchanged. A candidate short of 1/30 was
// seen to end farther from the optimum than the run it cut short. With up to
// kPolishPasses passes the first look moved from 100 to 300 times: corpus
// median 30 -> 20, long-only n = 10,000 70 -> 30 and industry n = 25,000
// 70 -> 40 iterations; at 1,000 times, looks at iterates this far off swing
// between active sets and cost more than the iterations they save.
constexpr ProfileRule::EarlyLooks kEarlyLooks{.first = 300.0, .step = 3.0, .last = 3.0, .kept = 30.0};
// At most this many active-set passes.
constexpr int kPolishPasses = 10;
// A candidate whose gap exceeds the best one's by this factor ends polishing.
constexpr double kHopelessGapFactor = 100.0;

// A second run to tighter tolerances when a solved iterate did not polish.
constexpr double kTighterRunTolerance = 1e-2;   // factor on both stopping tolerances
constexpr std::uint64_t kTighterRunGrowth = 5;  // iterations allowed: this many times the first run's
constexpr std::uint64_t kTighterRunMinimum = 100;

// ---- The adaptive profile's guard ----

// The Lagrangian's multipliers nearest to the duals that are dual feasible:
// z ≥ 0, a box multiplier only on a finite side, |y_l1| ≤ c.
DualVariables dual_feasible(const QpProblem& problem, const DualVariables& duals) {
  DualVariables feasible = duals;
  for (double& z : feasible.inequalities) z = positive_part(z);
  for (std::size_t i = 0; i < feasible.bounds.size(); ++i) {
    double& y = feasible.bounds[i];
    if ((y > 0.0 && !std::isfinite(problem.upper_bounds[i])) ||
        (y < 0.0 && !std::isfinite(problem.lower_bounds[i]))) {
      y = 0.0;
    }
  }
  for (std::size_t i = 0; i < feasible.l1.size(); ++i) {
    const double c = problem.l1->costs[i];
    feasible.l1[i] = std::clamp(feasible.l1[i], -c, c);
  }
  return feasible;
}

// f(x) − L(x, y) term by term, each taken in magnitude (y dual feasible):
// |y_eq·(A_eq x − b)|, |z·(b − A_in x)|, |y⁺·(u − x)| and |y⁻·(x − l)| at
// the bounds, and cᵢ|xᵢ − aᵢ| − y_l1,i·(xᵢ − aᵢ) ≥ 0 at the anchors. For a
// feasible x it is the complementarity gap, every term ≥ 0.
double complementarity_sum(const QpProblem& problem, std::span<const double> x, const DualVariables& y,
                           const IterateProducts& products) {
  double sum = 0.0;
  for (std::size_t r = 0; r < problem.m_eq(); ++r)
    sum += std::abs(y.equalities[r] * (products.eq_image[r] - problem.equalities.rhs[r]));
  for (std::size_t j = 0; j < problem.m_in(); ++j)
    sum += std::abs(y.inequalities[j] * (problem.inequalities.rhs[j] - products.in_image[j]));
  for (std::size_t i = 0; i < problem.n(); ++i) {
    const double b = y.bounds[i];
    if (b > 0.0) sum += std::abs(b * (problem.upper_bounds[i] - x[i]));
    if (b < 0.0) sum += std::abs(b * (x[i] - problem.lower_bounds[i]));
    if (problem.l1) {
      const double d = x[i] - problem.l1->anchor[i];
      sum += problem.l1->costs[i] * std::abs(d) - y.l1[i] * d;
    }
  }
  return sum;
}

// Weak duality with y dual feasible: f* ≥ min_x L(x', y). L(·, y) is a convex
// quadratic with Hessian P ⪰ diag(d), so for any x
//   min L ≥ L(x, y) − ½·gᵀ·diag(d)⁻¹·g,  g = ∇ₓL(x, y) = P·x + q + Aᵀy + y_box + y_l1,
// and f(x) − f* ≤ [f(x) − L(x, y)] + ½·Σ gᵢ²/dᵢ ≤ complementarity_sum + ½·Σ gᵢ²/dᵢ.
// At a stationary feasible point this is the duality gap. Assets with dᵢ = 0
// leave the Hessian unbounded below along eᵢ in this estimate; their gᵢ is
// bounded by the dual residual instead, which the guard compares separately.
// `y` dual feasible, `products` x's with A_eqᵀy_eq + A_inᵀy_in in multiplier_rows.
double gap_of(const QpProblem& problem, std::span<const double> x, const DualVariables& y,
              const IterateProducts& products) {
  double deficit = 0.0;
  const auto& d = problem.quadratic.diagonal;
  for (std::size_t i = 0; i < problem.n(); ++i) {
    if (!(d[i] > 0.0)) continue;
    double g = products.px[i] + problem.linear[i] + products.multiplier_rows[i] + y.bounds[i];
    if (problem.l1) g += y.l1[i];
    deficit += 0.5 * g * g / d[i];
  }
  return complementarity_sum(problem, x, y, products) + deficit;
}

// The gap of x from its products with `duals`' rows' combination in
// multiplier_rows (no stream over F): formed again only where making the
// duals feasible changed a row's multiplier.
double gap_from_products(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x,
                         const DualVariables& duals, const IterateProducts& products) {
  const DualVariables y = dual_feasible(problem, duals);
  if (y.inequalities == duals.inequalities) return gap_of(problem, x, y, products);
  IterateProducts at_feasible = products;
  at_feasible.multiplier_rows = row_combination(problem, data, y);
  return gap_of(problem, x, y, at_feasible);
}

// x's products with `duals`' rows' combination, formed unless its pass left
// it in them (multiplier_rows, when present, are those of `duals`).
IterateProducts with_rows(const QpProblem& problem, const ReducedColumns& data, const DualVariables& duals,
                          IterateProducts products) {
  if (products.multiplier_rows.empty()) products.multiplier_rows = row_combination(problem, data, duals);
  return products;
}

// `first` is the first stream over V of x (transpose_image).
double duality_gap(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x,
                   const DualVariables& duals, const TransposeImage& first) {
  const DualVariables y = dual_feasible(problem, duals);
  return gap_of(problem, x, y, stored_products(problem, data, x, y, first));
}

// ---- The reference profile ----

// Keeps a candidate whose worst residual is below the best so far (first
// the iterate's; a NaN there can never be beaten) and that meets the
// stopping rule; never stops the passes early.
class SmallerResidual final : public CandidateJudge {
 public:
  SmallerResidual(const QpProblem& problem, const ReducedColumns& data, const SolverSettings& settings,
                  const KktResiduals& residuals)
      : problem_(problem), data_(data), settings_(settings), best_(worst_residual(residuals)) {}

  Judgement judge(const Polished& candidate, CandidateStream& stream) override {
    if (!improves_on(problem_, data_, candidate, best_, settings_, stream)) return {};
    best_ = worst_residual(candidate.residuals);
    return {true, false};
  }

 private:
  const QpProblem& problem_;
  const ReducedColumns& data_;
  const SolverSettings& settings_;
  double best_;
};

// ---- The adaptive profile ----

// The adaptive profile's polish: the active set identified from the duals,
// and a candidate kept only when it meets the stopping rule and is no worse
// than the best so far (first the iterate) in each of the primal residual,
// the dual residual and the duality gap (no_worse).
//
// Why these three. The worst residual alone lets a candidate trade a smaller
// maximum for a larger total: over thousands of assets its objective can
// end up further from the optimum than the iterate's. The gap bounds
// f(x) − f* (duality_gap) but cannot see a free asset past its bound, nor a
// multiplier infeasible where dᵢ = 0, which the residuals see. A candidate
// is an exact KKT point of its active set, so one on the optimum's set wins
// all three by orders of magnitude; one on a wrong set shows a wrong-signed
// multiplier (dual residual, ½v²/dᵢ in the gap), a violated constraint
// (primal residual) or a crossed anchor (gap). Differences at the level of
// rounding (kRoundingFraction, kRoundingGap) count as none.
class NoWorse final : public CandidateJudge {
 public:
  NoWorse(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x,
          const DualVariables& duals, const KktResiduals& residuals, const SolverSettings& settings,
          const IterateProducts& products)
      : problem_(problem),
        data_(data),
        settings_(settings),
        best_{residuals,
              gap_from_products(problem, data, x, duals, with_rows(problem, data, duals, products))} {
    const StoppingTolerances tolerances = stopping_tolerances(
        settings.absolute_tolerance, settings.relative_tolerance, problem, x, duals, products);
    rounding_ = {{kRoundingFraction * tolerances.primal, kRoundingFraction * tolerances.dual, 0.0},
                 kRoundingGap * std::max(1.0, std::abs(problem.objective(x, products.px)))};
  }

  // The candidate's products (its pass formed them for its residuals) serve
  // its gap and stopping rule with the rows' combinations of its duals added:
  // no stream over F again. The stopping rule reads the residuals the pass
  // reported.
  Judgement judge(const Polished& candidate, CandidateStream& stream) override {
    const IterateProducts products = with_rows(problem_, data_, candidate.duals, stream.products);
    const Standing standing{candidate.residuals,
                            gap_from_products(problem_, data_, candidate.x, candidate.duals, products)};
    const StoppingTolerances tolerances =
        stopping_tolerances(settings_.absolute_tolerance, settings_.relative_tolerance, problem_, candidate.x,
                            candidate.duals, products);
    if (is_converged(candidate.residuals, tolerances) && no_worse(standing, best_, rounding_)) {
      best_ = standing;
      // Exact up to rounding: no other active set can do better.
      return {true, no_worse(standing, rounding_, rounding_)};
    }
    // A gap this far above the best is an active set far from the optimum's;
    // no refinement from one has recovered on the corpus.
    return {false, !(standing.gap <= kHopelessGapFactor * best_.gap)};
  }

 private:
  const QpProblem& problem_;
  const ReducedColumns& data_;
  const SolverSettings& settings_;
  Standing best_;
  Standing rounding_;
};

class AdaptiveRule final : public ProfileRule {
 public:
  std::unique_ptr<PenaltyRule> penalty_rule(const SolverSettings& settings) const override {
    return sized_ladder_rule(settings);
  }
  bool accelerates() const override { return true; }

  IterateProducts polish_products(const QpProblem& problem, std::span<const double> x,
                                  RowSupports supports) const override {
    return iterate_products(problem, x, supports);
  }
  ActiveSet first_active_set(const QpProblem& problem, std::span<const double> x, const DualVariables& duals,
                             const SolverSettings&, std::span<const double> row_images) const override {
    return identify_active_set(problem, x, duals, row_images);
  }
  bool starts_from_duals() const override { return true; }
  bool solves_free_assets() const override { return true; }
  bool finishes_flat_faces() const override { return true; }
  // Near the tolerances the active set has usually settled: a polish then
  // ends the run early, and one that fails costs its time before the run goes on.
  EarlyLooks early_looks() const override { return kEarlyLooks; }
  void ready_next(const QpProblem& problem, ActiveSet& next) const override {
    align_anchor_sides(problem, next);
  }
  int polish_passes() const override { return kPolishPasses; }
  // Refinement, when on at all, continues while the residual is above
  // rounding; below it, further passes only move the last bits.
  double extend_refinement_above(const SolverSettings& settings) const override {
    return settings.polish_refinement_steps > 0 ? kRoundingFraction * settings.absolute_tolerance
                                                : std::numeric_limits<double>::infinity();
  }
  // At a bound that is also the anchor, the pin's multiplier μ stands for
  // y_box + y_l1: the L1 part takes what fits in [−c, c], the bound the rest.
  // Charged to the bound alone, a μ in (0, c] at a lower bound would read as a
  // wrong-signed bound multiplier although the asset is optimal there.
  void settle_duals(const QpProblem& problem, const ActiveSet& active, DualVariables& duals) const override {
    if (!problem.l1) return;
    for (const auto& [asset, side] : active.pins) {
      if (side == Side::Anchor || pin_target(problem, asset, side) != problem.l1->anchor[asset]) continue;
      const double c = problem.l1->costs[asset];
      const double mu = duals.bounds[asset] + duals.l1[asset];
      duals.l1[asset] = std::clamp(mu, -c, c);
      duals.bounds[asset] = mu - duals.l1[asset];
    }
  }
  std::unique_ptr<CandidateJudge> judge(const QpProblem& problem, const ReducedColumns& data,
                                        std::span<const double> x, const DualVariables& duals,
                                        const KktResiduals& residuals, const SolverSettings& settings,
                                        const IterateProducts& products) const override {
    return std::make_unique<NoWorse>(problem, data, x, duals, residuals, settings, products);
  }

  // A solved result, polished or not, lands exactly on its box and budget
  // row (landing.hpp), no weight moving by more than the primal tolerance
  // ε_p, with the residuals (and, by the caller, the objective) of the point
  // returned. Every other constraint must stay within ε_p, else the result
  // is kept as it is. The duals are kept: the dual residual moves by P·Δx,
  // which for an unpolished iterate may pass ε_d, and is reported as it is.
  // Other statuses are not landed: their iterate never met ε_p, and it is the
  // point their diagnosis and certificate describe.
  std::expected<bool, SolverError> land(const QpProblem& problem, RowSupports supports,
                                        const SolverSettings& settings, IterateProducts& products,
                                        Solution& solution) const override {
    const StoppingTolerances tolerances =
        stopping_tolerances(settings.absolute_tolerance, settings.relative_tolerance, problem, solution.x,
                            solution.dual, products);
    auto landed = morva::land(solution.x, problem.lower_bounds, problem.upper_bounds, budget_row(problem),
                              tolerances.primal);
    if (!landed || *landed == solution.x) return false;
    IterateProducts landed_products = iterate_products(problem, *landed, supports);
    auto residuals = check_kkt(problem, *landed, solution.dual, landed_products);
    if (!residuals) return std::unexpected(SolverError::length_mismatch(residuals.error()));
    if (!(residuals->primal <= tolerances.primal)) return false;
    solution.x = std::move(*landed);
    solution.residuals = *residuals;
    products = std::move(landed_products);
    return true;
  }
  // Polishing found no better answer, so the iterate had not yet settled on
  // its active set: iterate on to tighter tolerances and polish once more.
  std::optional<SolverSettings> second_run(const SolverSettings& settings, const Solution& solution,
                                           std::uint64_t k) const override {
    if (!settings.polish || solution.status != SolveStatus::Solved || solution.polished ||
        k >= settings.max_iterations)
      return std::nullopt;
    SolverSettings run = with_tolerances_times(settings, kTighterRunTolerance);
    run.max_iterations =
        std::min(settings.max_iterations, k + std::max(kTighterRunGrowth * k, kTighterRunMinimum));
    return run;
  }
};

}  // namespace

double duality_gap(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x,
                   const DualVariables& duals) {
  return duality_gap(problem, data, x, duals, transpose_image(problem, data, x));
}

Standing standing_of(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x,
                     const DualVariables& duals, const KktResiduals& residuals) {
  return {residuals, duality_gap(problem, data, x, duals)};
}

bool no_worse(const Standing& candidate, const Standing& incumbent, const Standing& rounding) {
  // std::max keeps a NaN incumbent (its first operand): nothing compares below it.
  return candidate.residuals.primal <= std::max(incumbent.residuals.primal, rounding.residuals.primal) &&
         candidate.residuals.dual <= std::max(incumbent.residuals.dual, rounding.residuals.dual) &&
         candidate.gap <= std::max(incumbent.gap, rounding.gap);
}

std::unique_ptr<PenaltyRule> ProfileRule::penalty_rule(const SolverSettings& settings) const {
  return ladder_rule(settings);
}

std::unique_ptr<CandidateJudge> ProfileRule::judge(const QpProblem& problem, const ReducedColumns& data,
                                                   std::span<const double>, const DualVariables&,
                                                   const KktResiduals& residuals,
                                                   const SolverSettings& settings,
                                                   const IterateProducts&) const {
  return std::make_unique<SmallerResidual>(problem, data, settings, residuals);
}

const ProfileRule& profile_rule(const SolverSettings& settings) {
  static const ProfileRule reference;
  static const AdaptiveRule adaptive;
  switch (settings.profile) {
    case SolverProfile::Reference: return reference;
    case SolverProfile::Adaptive: return adaptive;
  }
  return reference;
}

}  // namespace morva
