// The active sets of polishing: the reference profile's guess by distance
// and its refinement from a candidate, the adaptive profile's guess from the
// duals, and the anchor pins.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "active_set.hpp"
#include "detail/vector_ops.hpp"
#include "matrix_products.hpp"
#include "morva/polish.hpp"

namespace morva {
namespace {

using detail::max_ignoring_nan;

// A_in·x, each row one left-to-right sum: `given` when it holds them (the
// products a caller formed for x), else formed into `storage`, four rows'
// sums advancing together.
std::span<const double> inequality_images(const QpProblem& problem, std::span<const double> x,
                                          std::span<const double> given, std::vector<double>& storage) {
  if (given.size() == problem.m_in()) return given;
  storage.resize(problem.m_in());
  row_products(problem.inequalities.matrix, x, storage);
  return storage;
}

// Relative margin of the strict "exceeds" comparison.
constexpr double kExceedMargin = 1e-12;
// "Near" accepts ten times the solver's stopping tolerance, since the ADMM
// iterate is only that accurate.
constexpr double kNearToleranceFactor = 10.0;

// s(v, t) = max(|t|, |v|, 1).
double closeness_scale(double v, double t) {
  return max_ignoring_nan(max_ignoring_nan(std::abs(t), std::abs(v)), 1.0);
}

bool near(double v, double t, const SolverSettings& settings) {
  return std::abs(v - t) <= kNearToleranceFactor * (settings.absolute_tolerance +
                                                    settings.relative_tolerance * closeness_scale(v, t));
}

bool exceeds(double v, double t) {
  return v - t > kExceedMargin * closeness_scale(v, t);
}

}  // namespace

double pin_target(const QpProblem& problem, std::size_t asset, Side side) {
  switch (side) {
    case Side::Lower: return problem.lower_bounds[asset];
    case Side::Upper: return problem.upper_bounds[asset];
    case Side::Anchor: return problem.l1->anchor[asset];
  }
  return 0.0;
}

// ---- Active sets: the guess, its refinement and the anchor pins ----

ActiveSet initial_guess(const QpProblem& problem, std::span<const double> x, const DualVariables& duals,
                        const SolverSettings& settings, std::span<const double> row_images) {
  const std::size_t n = problem.n();
  ActiveSet guess;

  std::vector<double> storage;
  const std::span<const double> images = inequality_images(problem, x, row_images, storage);
  for (std::size_t j = 0; j < problem.m_in(); ++j) {
    if (near(images[j], problem.inequalities.rhs[j], settings)) guess.active_rows.push_back(j);
  }

  // The bound multiplier's sign must agree with the side; Lower wins over
  // Upper so that a fixed variable (l = u) with a zero multiplier pins Lower.
  for (std::size_t i = 0; i < n; ++i) {
    const double y = i < duals.bounds.size() ? duals.bounds[i] : 0.0;
    const double l = problem.lower_bounds[i];
    const double u = problem.upper_bounds[i];
    std::optional<Side> side;
    if (std::isfinite(u) && near(x[i], u, settings) && y >= 0.0) side = Side::Upper;
    if (std::isfinite(l) && near(x[i], l, settings) && y <= 0.0) side = Side::Lower;
    if (side) guess.pins.emplace_back(i, *side);
  }

  if (problem.l1) {
    guess.anchor_sides.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double a = problem.l1->anchor[i];
      guess.anchor_sides[i] = near(x[i], a, settings) ? 0 : (x[i] > a ? 1 : -1);
    }
  }
  add_anchor_pins(guess.pins, guess.anchor_sides);
  return guess;
}

ActiveSet refine_active_set(const QpProblem& problem, const Polished& candidate, const ActiveSet& current,
                            std::span<const double> row_images) {
  const std::size_t n = problem.n();
  const std::size_t m_in = problem.m_in();
  const auto& x = candidate.x;
  ActiveSet next;

  // Rows: drop those whose multiplier turned negative, add those the
  // candidate violates.
  std::vector<char> was_active(m_in, 0);
  for (std::size_t row : current.active_rows) was_active[row] = 1;
  std::vector<double> storage;
  const std::span<const double> images = inequality_images(problem, x, row_images, storage);
  for (std::size_t j = 0; j < m_in; ++j) {
    const bool keep = was_active[j] ? candidate.duals.inequalities[j] >= 0.0
                                    : exceeds(images[j], problem.inequalities.rhs[j]);
    if (keep) next.active_rows.push_back(j);
  }

  // Pins: a bound pin stays while its multiplier has the right sign and is
  // released (for one pass) otherwise; free or anchored assets that overshoot
  // a bound get pinned to it.
  std::vector<std::optional<Side>> pinned(n);
  for (const auto& [asset, side] : current.pins) pinned[asset] = side;
  for (std::size_t i = 0; i < n; ++i) {
    const std::optional<Side> side = pinned[i];
    if (side == Side::Lower || side == Side::Upper) {
      const double y = candidate.duals.bounds[i];
      if (side == Side::Upper ? y >= 0.0 : y <= 0.0) next.pins.emplace_back(i, *side);
      continue;
    }
    if (exceeds(x[i], problem.upper_bounds[i])) {
      next.pins.emplace_back(i, Side::Upper);
    } else if (exceeds(problem.lower_bounds[i], x[i])) {
      next.pins.emplace_back(i, Side::Lower);
    }
  }

  // Anchor sides: an asset at its anchor leaves it when its L1 multiplier
  // exceeds the cost (the subgradient cannot hold it there); an asset off its
  // anchor returns to it when the candidate crossed over.
  if (problem.l1) {
    next.anchor_sides.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const int sigma = i < current.anchor_sides.size() ? current.anchor_sides[i] : 0;
      const double c = problem.l1->costs[i];
      const double a = problem.l1->anchor[i];
      if (sigma == 0) {
        const double y = candidate.duals.l1[i];
        next.anchor_sides[i] = y > c ? 1 : (y < -c ? -1 : 0);
      } else {
        const bool crossed =
            static_cast<double>(sigma) * (x[i] - a) < -kExceedMargin * closeness_scale(x[i], a);
        next.anchor_sides[i] = crossed ? 0 : sigma;
      }
    }
  }
  add_anchor_pins(next.pins, next.anchor_sides);
  return next;
}

std::size_t active_set_changes(const ActiveSet& a, const ActiveSet& b) {
  // Both lists sorted (rows ascending, pins by asset): a merge counts what
  // one holds and the other does not.
  const auto differing = [](const auto& u, const auto& v) {
    std::size_t count = 0;
    auto i = u.begin();
    auto j = v.begin();
    while (i != u.end() && j != v.end()) {
      if (*i == *j) {
        ++i, ++j;
      } else if (*i < *j) {
        ++i, ++count;
      } else {
        ++j, ++count;
      }
    }
    return count + static_cast<std::size_t>((u.end() - i) + (v.end() - j));
  };
  std::size_t count = differing(a.active_rows, b.active_rows) + differing(a.pins, b.pins);
  const std::size_t sides = std::min(a.anchor_sides.size(), b.anchor_sides.size());
  for (std::size_t i = 0; i < sides; ++i) count += a.anchor_sides[i] != b.anchor_sides[i];
  return count;
}

// ---- The adaptive profile's active sets ----

namespace {

// How strongly a side holds an asset: the room its multiplier leaves minus
// the distance to it; the side holds while this is positive.
struct Hold {
  Side side;
  double margin;
};

// A bound holds when its multiplier outweighs the distance to it (OSQP's
// rule): lower when x − l < −y, upper when u − x < y. A fixed asset (l = u)
// is always held, on the side its multiplier's sign names.
std::optional<Hold> bound_hold(double x, double y, double l, double u) {
  if (l == u) return Hold{y > 0.0 ? Side::Upper : Side::Lower, std::numeric_limits<double>::infinity()};
  constexpr double kNever = -std::numeric_limits<double>::infinity();
  const double lower = std::isfinite(l) ? -y - (x - l) : kNever;
  const double upper = std::isfinite(u) ? y - (u - x) : kNever;
  if (lower > 0.0 && lower >= upper) return Hold{Side::Lower, lower};
  if (upper > 0.0) return Hold{Side::Upper, upper};
  return std::nullopt;
}

// The same rule at an anchor, whose multiplier ranges over [−c, c]: the room
// is c − |y|, how far the multiplier is from breaking the subgradient on
// either side (an asset held at its anchor needs both), less the distance
// |x − a|. A zero cost never holds an asset.
double anchor_margin(double d, double y, double c) {
  return c - std::abs(y) - std::abs(d);
}

// The anchor side of an asset at x: +1 above a, −1 below, 0 at it.
int side_of(double x, double a) {
  return x > a ? 1 : (x < a ? -1 : 0);
}

}  // namespace

ActiveSet identify_active_set(const QpProblem& problem, std::span<const double> x, const DualVariables& duals,
                              std::span<const double> row_images) {
  const std::size_t n = problem.n();
  ActiveSet set;
  std::vector<double> storage;
  const std::span<const double> images = inequality_images(problem, x, row_images, storage);
  for (std::size_t j = 0; j < problem.m_in(); ++j) {
    const double slack = problem.inequalities.rhs[j] - images[j];
    if (slack < duals.inequalities[j]) set.active_rows.push_back(j);
  }
  if (problem.l1) set.anchor_sides.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const double l = problem.lower_bounds[i];
    const double u = problem.upper_bounds[i];
    auto bound = bound_hold(x[i], duals.bounds[i], l, u);
    if (!problem.l1) {
      if (bound) set.pins.emplace_back(i, bound->side);
      continue;
    }
    const double a = problem.l1->anchor[i];
    const double d = x[i] - a;
    const double y = duals.l1[i];
    const double anchored = anchor_margin(d, y, problem.l1->costs[i]);
    // An anchor on a bound is held there by the bound's pin, whose multiplier
    // covers both (share_anchor_multipliers splits it).
    const std::optional<Side> on_bound =
        a == l ? std::optional(Side::Lower) : (a == u ? std::optional(Side::Upper) : std::nullopt);
    if (on_bound && anchored > 0.0 && (!bound || anchored > bound->margin)) bound = Hold{*on_bound, anchored};
    // Held by a bound and by the anchor: the firmer hold wins.
    if (bound && (on_bound || bound->margin >= anchored)) {
      set.pins.emplace_back(i, bound->side);
    } else if (!(anchored > 0.0)) {
      set.anchor_sides[i] = d != 0.0 ? side_of(x[i], a) : (y < 0.0 ? -1 : 1);
    }
  }
  align_anchor_sides(problem, set);
  add_anchor_pins(set.pins, set.anchor_sides);
  return set;
}

void align_anchor_sides(const QpProblem& problem, ActiveSet& active) {
  if (!problem.l1 || active.anchor_sides.size() != problem.n()) return;
  for (const auto& [asset, side] : active.pins) {
    if (side != Side::Anchor)
      active.anchor_sides[asset] = side_of(pin_target(problem, asset, side), problem.l1->anchor[asset]);
  }
}

void add_anchor_pins(std::vector<std::pair<std::size_t, Side>>& pins, std::span<const int> anchor_sides) {
  std::vector<char> has_pin(anchor_sides.size(), 0);
  for (const auto& pin : pins) {
    if (pin.first < has_pin.size()) has_pin[pin.first] = 1;
  }
  const auto by_asset = [](const auto& a, const auto& b) { return a.first < b.first; };
  const std::ptrdiff_t bound_pins = static_cast<std::ptrdiff_t>(pins.size());
  for (std::size_t i = 0; i < anchor_sides.size(); ++i) {
    if (anchor_sides[i] == 0 && !has_pin[i]) pins.emplace_back(i, Side::Anchor);
  }
  // The appended anchor pins are in asset order; when the given pins are too
  // (as initial_guess and refine_active_set build them), merging the two runs
  // is the stable sort.
  const auto middle = pins.begin() + bound_pins;
  if (std::is_sorted(pins.begin(), middle, by_asset)) {
    std::inplace_merge(pins.begin(), middle, pins.end(), by_asset);
  } else {
    std::stable_sort(pins.begin(), pins.end(), by_asset);
  }
}

}  // namespace morva
