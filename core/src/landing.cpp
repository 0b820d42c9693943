#include "landing.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace morva {
namespace {

// Newton steps end the search once one stays on a linear piece and
// bisections halve the bracket, so the cap is reached only by a bracket
// already down to a few doubles.
constexpr int kMaxSearchSteps = 200;
// Passes that put the budget's leftover rounding on a free weight: one
// normally, more only when the weight with the most room cannot take all.
constexpr int kMaxSettlingPasses = 4;
// |B − Σx'| within this many unit roundoffs of max(|B|, Σ|x'|) meets the budget.
constexpr double kBudgetRoundings = 4.0;
constexpr double kUnitRoundoff = 0x1p-53;

double clip(double v, double lo, double hi) {
  return std::min(std::max(v, lo), hi);
}

// Neumaier's compensated running sum.
class CompensatedSum {
 public:
  void add(double v) {
    const double t = sum_ + v;
    compensation_ += std::abs(sum_) >= std::abs(v) ? (sum_ - t) + v : (v - t) + sum_;
    sum_ = t;
  }
  double value() const { return sum_ + compensation_; }

 private:
  double sum_ = 0.0;
  double compensation_ = 0.0;
};

// The budget's gap B − Σx' and whether it is down to rounding.
struct BudgetGap {
  double gap = 0.0;
  bool met = false;
};

// Over v_i = value(i), i < len: Σv summed accurately, Σ|v| plainly.
template <class Value>
BudgetGap gap_over(double budget, std::size_t len, Value value) {
  CompensatedSum total;
  double magnitude = 0.0;
  for (std::size_t i = 0; i < len; ++i) {
    const double v = value(i);
    total.add(v);
    magnitude += std::abs(v);
  }
  const double gap = budget - total.value();
  return {gap, std::abs(gap) <= kBudgetRoundings * kUnitRoundoff * std::max(std::abs(budget), magnitude)};
}

struct Limits {
  std::span<const double> x, lower, upper;
};

// s(τ) and its slope |F(τ)|, with the gap to the budget.
struct Piece {
  BudgetGap budget;
  std::size_t free = 0;
};

Piece piece_at(const Limits& w, double budget, double tau) {
  std::size_t free = 0;
  const BudgetGap gap = gap_over(budget, w.x.size(), [&](std::size_t i) {
    const double shifted = w.x[i] + tau;
    if (w.lower[i] < shifted && shifted < w.upper[i]) ++free;
    return clip(shifted, w.lower[i], w.upper[i]);
  });
  return {gap, free};
}

// τ of s(τ) = B in [−ε, ε], by safeguarded Newton steps from τ = 0 (the
// iterate's own). When no root is in the bracket the search ends at its edge
// and the checks after it (budget met, moves within ε) refuse.
double budget_shift(const Limits& w, double budget, double tolerance) {
  double below = -tolerance;  // s(below) ≤ B as far as the search has seen
  double above = tolerance;   // s(above) ≥ B
  double tau = 0.0;
  for (int step = 0; step < kMaxSearchSteps; ++step) {
    const Piece piece = piece_at(w, budget, tau);
    if (piece.budget.met) return tau;
    (piece.budget.gap > 0.0 ? below : above) = tau;
    const double midpoint = below + 0.5 * (above - below);
    double next = piece.free > 0 ? tau + piece.budget.gap / static_cast<double>(piece.free) : midpoint;
    if (!(below < next && next < above)) next = midpoint;
    if (!(below < next && next < above)) return tau;  // the bracket holds no double inside
    tau = next;
  }
  return tau;
}

// Puts B − Σx' on the weight with the most room towards it, clipped to its
// side; whether the accurate sum then meets the budget.
bool settle_budget(std::span<double> landed, std::span<const double> lower, std::span<const double> upper,
                   double budget) {
  for (int pass = 0;; ++pass) {
    const BudgetGap gap = gap_over(budget, landed.size(), [&](std::size_t i) { return landed[i]; });
    if (gap.met || pass == kMaxSettlingPasses) return gap.met;
    std::size_t roomiest = landed.size();
    double most = 0.0;
    for (std::size_t i = 0; i < landed.size(); ++i) {
      const double room = gap.gap > 0.0 ? upper[i] - landed[i] : landed[i] - lower[i];
      if (room > most) {
        most = room;
        roomiest = i;
      }
    }
    if (roomiest == landed.size()) return false;
    landed[roomiest] = clip(landed[roomiest] + gap.gap, lower[roomiest], upper[roomiest]);
  }
}

}  // namespace

std::optional<double> budget_row(const QpProblem& problem) {
  const LinearConstraints& equalities = problem.equalities;
  if (equalities.rows() == 0 || equalities.rhs.empty()) return std::nullopt;
  const std::span<const double> row = equalities.matrix.row(0);
  if (!std::all_of(row.begin(), row.end(), [](double a) { return a == 1.0; })) return std::nullopt;
  return equalities.rhs[0];
}

std::expected<std::vector<double>, LandingRefusal> land(std::span<const double> x,
                                                        std::span<const double> lower,
                                                        std::span<const double> upper,
                                                        std::optional<double> budget, double tolerance) {
  if (!std::isfinite(tolerance) || tolerance < 0.0 || (budget && !std::isfinite(*budget))) {
    return std::unexpected(LandingRefusal::NotFinite);
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i]) || lower[i] > upper[i]) return std::unexpected(LandingRefusal::NotFinite);
    // The move to the box alone is already this far.
    if (lower[i] - x[i] > tolerance || x[i] - upper[i] > tolerance) {
      return std::unexpected(LandingRefusal::TooFar);
    }
  }
  const Limits limits{x, lower, upper};
  const double tau = budget ? budget_shift(limits, *budget, tolerance) : 0.0;
  std::vector<double> landed(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) landed[i] = clip(x[i] + tau, lower[i], upper[i]);
  if (budget && !settle_budget(landed, lower, upper, *budget)) return std::unexpected(LandingRefusal::TooFar);
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!(std::abs(landed[i] - x[i]) <= tolerance)) return std::unexpected(LandingRefusal::TooFar);
  }
  return landed;
}

double accurate_sum(std::span<const double> x) {
  CompensatedSum total;
  for (const double v : x) total.add(v);
  return total.value();
}

}  // namespace morva
