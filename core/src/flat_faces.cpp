// The finish of a solved answer that no polish made exact on a nearly flat
// face: the proximal steps of Workspace::finish_on_flat_face and the tests
// that send an answer there.
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "convergence.hpp"
#include "detail/vector_ops.hpp"
#include "kkt_internal.hpp"
#include "morva/polish.hpp"
#include "morva/workspace.hpp"
#include "polish_internal.hpp"
#include "stored_columns.hpp"

namespace morva {
namespace {

// A millionth of the stopping tolerances: a KKT point to rounding meets them.
constexpr double kRounding = 1e-6;

// A problem whose curvature cannot hold its weights against its gradient:
// ‖q‖∞ exceeds kFlatRatio times the smallest diagonal of P times the widest
// finite box. Its weights are then set by the box and the rows, not the
// curvature, and a point within the tolerances may lie far from the optimum.
bool nearly_flat(const QpProblem& problem) {
  constexpr double kFlatRatio = 1e3;
  double width = 0.0;
  for (std::size_t i = 0; i < problem.n(); ++i) {
    const double w = problem.upper_bounds[i] - problem.lower_bounds[i];
    if (std::isfinite(w)) width = std::max(width, w);
  }
  const auto& d = problem.quadratic.diagonal;
  const double curvature = d.empty() ? 0.0 : *std::min_element(d.begin(), d.end());
  return width > 0.0 && curvature > 0.0 && detail::inf_norm(problem.linear) > kFlatRatio * curvature * width;
}

}  // namespace

// Polished short of exact means failing the stopping rule at a millionth of
// the tolerances: not a KKT point to rounding.
bool Workspace::short_of_exact(const Solution& solution, const IterateProducts& products) const {
  if (!solution.polished) return true;
  return nearly_flat(problem_) && !meets_stopping_rule(problem_, solution.x, solution.dual,
                                                       with_tolerances_times(settings_, kRounding), products)
                                       .value_or(false);
}

// A solved answer that neither polish made exact, after a run to tolerances
// a hundred times tighter (or, on a nearly flat problem, one whose polish
// kept a candidate short of exact), sits where the objective barely curves: with a
// tiny risk aversion over thousands of assets, the points within the
// tolerances of the optimum spread along a nearly flat face, and the
// iterate's active set is not the optimum's. A proximal-point step
//   x₁ = argmin f(x) + ½γ‖x − x̂‖²  (the same constraints),
// with γ ten times the smallest diagonal of P (a lower bound on the
// curvature of f), solved to tolerances a hundred times tighter, is a
// problem conditioned well enough for its polish to succeed; on a polyhedral
// face the step reaches the optimum's active set, read from (x₁, y₁), which
// is then tried on the original problem: its candidate is kept only as the
// polish keeps any. At most kProximalSteps steps, each within
// max(4k, 1000) iterations (a step that cannot finish is retried ten times
// stiffer); the answer is kept as it was when none finds it.
void Workspace::finish_on_flat_face(Solution& solution, Clock::time_point start) const {
  constexpr int kProximalSteps = 3;
  constexpr double kCurvatureFactor = 10.0;
  constexpr double kStiffer = 10.0;
  constexpr double kTighterTolerance = 1e-2;
  constexpr std::uint64_t kStepGrowth = 4;
  constexpr std::uint64_t kStepMinimum = 1000;
  const std::vector<double>& diagonal = problem_.quadratic.diagonal;
  double gamma =
      diagonal.empty() ? 0.0 : kCurvatureFactor * *std::min_element(diagonal.begin(), diagonal.end());
  if (!(gamma > 0.0) || !std::isfinite(gamma)) return;
  SolverSettings tighter = with_tolerances_times(settings_, kTighterTolerance);
  const std::uint64_t step_budget = std::max(kStepGrowth * solution.iterations, kStepMinimum);
  // The step from `centre` at curvature γ: P + γI, q − γ·centre, within what
  // is left of the run's iteration budget.
  const auto step_from = [&](const Solution& centre) -> std::optional<Solution> {
    if (solution.iterations >= settings_.max_iterations) return std::nullopt;
    tighter.max_iterations = std::min(settings_.max_iterations - solution.iterations, step_budget);
    QpProblem proximal = problem_;
    for (double& d : proximal.quadratic.diagonal) d += gamma;
    for (std::size_t i = 0; i < proximal.linear.size(); ++i) proximal.linear[i] -= gamma * centre.x[i];
    auto workspace = Workspace::create(tighter, std::move(proximal));
    if (!workspace) return std::nullopt;
    workspace->finishes_flat_faces_ = false;
    auto next = workspace->solve_from(start, centre.warm_start());
    return next ? std::optional(std::move(*next)) : std::nullopt;
  };
  // An exact step answers the original problem when its active set does, or
  // when it is itself a KKT point of the original to rounding (a step that
  // barely moved: the proximal term vanishes at the optimum).
  const auto finish_from = [&](const Solution& step, Solution& out) {
    IterateProducts products = iterate_products(problem_, step.x, *supports_);
    auto residuals = check_kkt(problem_, step.x, step.dual, products);
    if (!residuals) return false;
    if (auto polished = polish_with_products(problem_, *data_, step.x, step.dual, *residuals, settings_,
                                             products, *supports_)) {
      out.x = std::move(polished->x);
      out.dual = std::move(polished->duals);
      out.residuals = polished->residuals;
    } else if (meets_stopping_rule(problem_, step.x, step.dual, with_tolerances_times(settings_, kRounding),
                                   products)
                   .value_or(false)) {
      out.x = step.x;
      out.dual = step.dual;
      out.residuals = *residuals;
    } else {
      return false;
    }
    out.polished = true;
    out.objective = problem_.objective(out.x);
    return true;
  };
  Solution centre = solution;
  for (int step = 0; step < kProximalSteps; ++step) {
    std::optional<Solution> next = step_from(centre);
    if (!next) break;
    solution.iterations += next->iterations;
    // Too flat still to finish within the budget: a stiffer step from the
    // same centre (shorter, better conditioned); one that finished without
    // polishing moves the centre and stiffens the next.
    if (next->status != SolveStatus::Solved) {
      gamma *= kStiffer;
      continue;
    }
    if (!next->polished) {
      gamma *= kStiffer;
    } else if (finish_from(*next, solution)) {
      break;
    }
    centre = std::move(*next);
  }
}

}  // namespace morva
