// The polish's passes: from the iterate's active set (as its profile rule
// guesses it), one regularised solve per pass (active_system.cpp), the
// rule's judgement of each candidate, and the refinement of the active set.
#include "morva/polish.hpp"

#include <cstdint>
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
                                             std::span<const std::vector<std::uint32_t>> supports) {
  const ProfileRule& rule = profile_rule(settings);
  const Learnt learnt = learnt_of(problem, supports);
  const std::unique_ptr<CandidateJudge> judge =
      rule.judge(problem, data, x, duals, residuals, settings, products);
  std::optional<Polished> accepted;
  Selections selections;
  std::vector<double> row_images;
  CandidateStream stream;
  ActiveSet active = rule.first_active_set(problem, x, duals, settings, products.in_image);
  for (int pass = 0; pass < kMaxPolishPasses; ++pass) {
    std::optional<Polished> candidate =
        solve_active_set(problem, data, learnt, selections, active, settings, rule, row_images, stream,
                         rule.starts_from_duals() ? &duals : nullptr);
    if (!candidate) break;
    ActiveSet next = refine_active_set(problem, *candidate, active, row_images);
    rule.ready_next(problem, next);
    const Judgement judgement = judge->judge(*candidate, stream);
    if (judgement.accept) accepted = std::move(candidate);
    if (judgement.stop || next == active) break;
    active = std::move(next);
  }
  return accepted;
}

}  // namespace morva
