// The active sets of polishing and the regularised solve of one active set,
// internal to the polish module (and open to its tests): the guess from an
// ADMM iterate, its refinement from a candidate, and the anchor pins.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "morva/kkt.hpp"
#include "morva/linalg.hpp"
#include "morva/problem.hpp"
#include "morva/settings.hpp"

namespace morva {

class KeptColumns;
class ReducedColumns;
struct Polished;

// At most this many active-set passes.
inline constexpr int kMaxPolishPasses = 4;

enum class Side { Lower, Upper, Anchor };

struct ActiveSet {
  std::vector<std::size_t> active_rows;            // ascending inequality rows
  std::vector<std::pair<std::size_t, Side>> pins;  // sorted by asset, ≤ 1 per asset
  std::vector<int> anchor_sides;                   // +1 / −1 / 0 per asset, n or empty

  bool operator==(const ActiveSet&) const = default;
};

struct RegularizedSolution {
  std::vector<double> x;
  std::vector<double> constraint_multipliers;  // equality rows, then active rows
  std::vector<double> pin_multipliers;         // one per pin, in pin order
};

// The reference profile's guess: every bound, row or anchor within ten
// stopping tolerances of x is active (a bound only with a multiplier of its
// sign). `row_images`, when given, holds A_in·x as refine_active_set's do.
ActiveSet initial_guess(const QpProblem& problem, std::span<const double> x, const DualVariables& duals,
                        const SolverSettings& settings, std::span<const double> row_images = {});

// The adaptive profile's guess, from the duals: a row, bound or anchor is
// active when its multiplier outweighs the distance to it; an asset held by
// a bound and by its anchor takes the firmer hold (the larger excess of
// multiplier room over distance), and an anchor on a bound is held by the
// bound's pin.
// `row_images` as initial_guess's.
ActiveSet identify_active_set(const QpProblem& problem, std::span<const double> x, const DualVariables& duals,
                              std::span<const double> row_images = {});

// Gives every asset pinned at a bound the anchor side of that bound, so that
// its L1 subgradient σ·c enters the system (0 when the bound is the anchor).
void align_anchor_sides(const QpProblem& problem, ActiveSet& active);

// `row_images`, when given, holds the candidate's A_in·x (each row's sum as
// a left-to-right dot product gives it), read instead of the rows.
ActiveSet refine_active_set(const QpProblem& problem, const Polished& candidate, const ActiveSet& current,
                            std::span<const double> row_images = {});

// How many inequality rows, pins and anchor sides differ between a and b.
std::size_t active_set_changes(const ActiveSet& a, const ActiveSet& b);

// How far a point stands from optimality, for the adaptive guard: its KKT
// residuals and its duality gap, an upper bound on f(x) − f*.
struct Standing {
  KktResiduals residuals;
  double gap = 0.0;
};

// The complementarity Σ|multiplier·slack| (the duals first projected to be dual
// feasible) plus ½·Σ gᵢ²/dᵢ over the stationarity residual g of those duals;
// `data` is the problem's V.
double duality_gap(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x,
                   const DualVariables& duals);

Standing standing_of(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x,
                     const DualVariables& duals, const KktResiduals& residuals);

// Whether a candidate is no worse than the incumbent in its primal residual,
// its dual residual and its gap, each incumbent value raised to the matching
// one of `rounding` (differences below it count as none); false on any NaN.
bool no_worse(const Standing& candidate, const Standing& incumbent, const Standing& rounding);

// The value a pin holds its asset at: its lower or upper bound, or its anchor.
double pin_target(const QpProblem& problem, std::size_t asset, Side side);

void add_anchor_pins(std::vector<std::pair<std::size_t, Side>>& pins, std::span<const int> anchor_sides);

// w = rhs + (1/δ)(A_eqᵀt_eq + A_actᵀt_act) + p/δ at the pins; x = K⁻¹w;
// λ = (A·x − t)/δ; μ = (x_pins − p)/δ. `rows` holds the stacked rows A as its
// constraint columns, unscaled; `system` is K. `target_pull`, when given,
// is Aᵀt as `rows` forms it. Without `row_multipliers` λ is left empty, for
// a caller whose next stream over `rows` forms A·x anyway.
RegularizedSolution solve_regularized(const QpProblem& problem, const SmwSystem& system,
                                      const KeptColumns& rows, const ActiveSet& active,
                                      std::span<const double> rhs, std::span<const double> targets,
                                      std::span<const double> pin_targets, double delta,
                                      std::span<const double> target_pull = {}, bool row_multipliers = true);

}  // namespace morva
