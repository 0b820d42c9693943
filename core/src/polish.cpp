// The polish's passes: from the iterate's active set (as its profile rule
// guesses it), one regularised solve per pass (active_system.cpp), the
// rule's judgement of each candidate, and the refinement of the active set.
#include "morva/polish.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "active_set.hpp"
#include "convergence.hpp"
#include "kkt_internal.hpp"
#include "linalg.hpp"
#include "polish_internal.hpp"
#include "profile_rule.hpp"
#include "stored_columns.hpp"
#include "stored_products.hpp"

namespace morva {
namespace {

// A limit within this fraction of the gross is taken to hold the iterate.
constexpr double kLeverageSlack = 1e-6;

// Under a leverage limit in force the polish works on the orthant the
// iterate holds: each asset's sign fixed (zero where its box dual leaves room
// under Θ·wᵢ to hold it there, as an anchor's rule does), so that the limit
// is the linear row Σ wᵢ·sᵢ·xᵢ ≤ L of an ordinary QP, started from the
// bound parts of the box duals and Θ as the row's multiplier. Its candidate
// answers the original when, with the row's multiplier ζ returned to the box
// duals as ζ·wᵢ·sᵢ, it meets the original's stopping rule: an exact KKT
// point of the orthant whose zero assets' duals fit within ζ·wᵢ is one of
// the original problem.
std::optional<Polished> polish_on_orthant(const QpProblem& problem, std::span<const double> x,
                                          const DualVariables& duals, const SolverSettings& settings,
                                          std::optional<IterateProducts>* accepted_products) {
  const std::size_t n = problem.n();
  const GrossLeverage& leverage = *problem.leverage;
  const double theta = leverage_multiplier(problem, x, duals.bounds);
  QpProblem orthant = problem;
  orthant.leverage.reset();
  DualVariables start = duals;
  std::vector<double> row(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double pull = theta * leverage.weight(i);
    const double y = duals.bounds[i];
    double& lower = orthant.lower_bounds[i];
    double& upper = orthant.upper_bounds[i];
    if (pull - std::abs(y) - std::abs(x[i]) > 0.0 && lower <= 0.0 && upper >= 0.0) {
      lower = upper = 0.0;
      continue;
    }
    const double sign = x[i] > 0.0 ? 1.0 : (x[i] < 0.0 ? -1.0 : (y >= 0.0 ? 1.0 : -1.0));
    if (sign > 0.0) {
      lower = std::max(lower, 0.0);
    } else {
      upper = std::min(upper, 0.0);
    }
    if (lower > upper) return std::nullopt;  // the box lies on the other side
    row[i] = sign * leverage.weight(i);
    start.bounds[i] = y - theta * row[i];
  }
  Matrix rows = Matrix::zeros(problem.m_in() + 1, n);
  for (std::size_t j = 0; j < problem.m_in(); ++j)
    std::ranges::copy(problem.inequalities.matrix.row(j), rows.row(j).begin());
  std::ranges::copy(row, rows.row(problem.m_in()).begin());
  orthant.inequalities.matrix = std::move(rows);
  orthant.inequalities.rhs.push_back(leverage.limit);
  orthant.inequalities.known_supports.reset();
  start.inequalities.push_back(theta);

  const auto residuals = check_kkt(orthant, x, start);
  if (!residuals) return std::nullopt;
  std::optional<Polished> polished = polish(orthant, x, start, *residuals, settings);
  if (!polished) return std::nullopt;
  const double zeta = polished->duals.inequalities.back();
  polished->duals.inequalities.pop_back();
  for (std::size_t i = 0; i < n; ++i) polished->duals.bounds[i] += zeta * row[i];
  IterateProducts products = iterate_products(problem, polished->x);
  auto original = check_kkt(problem, polished->x, polished->duals, products);
  if (!original ||
      !is_converged(*original, stopping_tolerances(settings.absolute_tolerance, settings.relative_tolerance,
                                                   problem, polished->x, polished->duals, products)))
    return std::nullopt;
  polished->residuals = *original;
  if (accepted_products != nullptr) *accepted_products = std::move(products);
  return polished;
}

}  // namespace

bool meets_stopping_rule_of(const QpProblem& problem, const ReducedColumns& data, const Polished& candidate,
                            const SolverSettings& settings, CandidateStream& stream) {
  const auto meets = meets_stopping_rule(
      problem, candidate.x, candidate.duals, settings,
      stored_products(problem, data, candidate.x, candidate.duals, stream.of(problem, data, candidate.x)));
  return meets.value_or(false);
}

bool improves_on(const QpProblem& problem, const ReducedColumns& data, const Polished& candidate, double best,
                 const SolverSettings& settings, CandidateStream& stream) {
  return worst_residual(candidate.residuals) < best &&
         meets_stopping_rule_of(problem, data, candidate, settings, stream);
}

std::optional<Polished> polish(const QpProblem& problem, std::span<const double> x,
                               const DualVariables& duals, const KktResiduals& residuals,
                               const SolverSettings& settings) {
  return polish(problem, data_columns(problem), x, duals, residuals, settings);
}

std::optional<Polished> polish(const QpProblem& problem, const ReducedColumns& data,
                               std::span<const double> x, const DualVariables& duals,
                               const KktResiduals& residuals, const SolverSettings& settings) {
  const std::vector<std::vector<std::uint32_t>> supports = row_supports(data);
  const IterateProducts products = profile_rule(settings).polish_products(problem, x, supports);
  return polish_with_products(problem, data, x, duals, residuals, settings, products, supports);
}

std::optional<Polished> polish_with_products(const QpProblem& problem, const ReducedColumns& data,
                                             std::span<const double> x, const DualVariables& duals,
                                             const KktResiduals& residuals, const SolverSettings& settings,
                                             const IterateProducts& products,
                                             std::span<const std::vector<std::uint32_t>> supports,
                                             std::optional<IterateProducts>* accepted_products) {
  // A leverage limit in force is no linear row of the active-set system: the
  // polish of its orthant stands in.
  if (problem.leverage && problem.leverage->gross(x) >= problem.leverage->limit * (1.0 - kLeverageSlack))
    return polish_on_orthant(problem, x, duals, settings, accepted_products);
  const ProfileRule& rule = profile_rule(settings);
  const Learnt learnt = learnt_of(problem, supports);
  const std::unique_ptr<CandidateJudge> judge =
      rule.judge(problem, data, x, duals, residuals, settings, products);
  std::optional<Polished> accepted;
  Selections selections;
  std::vector<double> row_images;
  CandidateStream stream;
  ActiveSet active = rule.first_active_set(problem, x, duals, settings, products.in_image);
  // Past kMaxPolishPasses (a rule allowing more) a pass follows only one
  // that changed fewer rows, pins and anchor sides than every pass before
  // it: refinement converging, not swinging between two sets.
  std::size_t fewest = std::numeric_limits<std::size_t>::max();
  for (int pass = 0; pass < rule.polish_passes(); ++pass) {
    const auto solve = rule.solves_free_assets() ? solve_free_active_set : solve_active_set;
    std::optional<Polished> candidate =
        solve(problem, data, learnt, selections, active, settings, rule, row_images, stream,
              rule.starts_from_duals() ? &duals : nullptr);
    if (!candidate) break;
    ActiveSet next = refine_active_set(problem, *candidate, active, row_images);
    rule.ready_next(problem, next);
    const Judgement judgement = judge->judge(*candidate, stream);
    if (judgement.accept) {
      accepted = std::move(candidate);
      if (accepted_products != nullptr) *accepted_products = stream.products;
    }
    if (judgement.stop || next == active) break;
    const std::size_t changes = active_set_changes(active, next);
    if (pass + 1 >= kMaxPolishPasses && changes >= fewest) break;
    fewest = std::min(fewest, changes);
    active = std::move(next);
  }
  return accepted;
}

}  // namespace morva
