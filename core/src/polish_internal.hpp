// The polish module's entry for a caller that has formed the products of the
// iterate already (internal to the core): the workspace, whose termination
// check formed them through its stored columns. Beside it, the pieces the
// polish's files share: one active-set solve's system and its refinement
// (active_system.cpp), and a candidate's stream and stopping rule (polish.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "active_set.hpp"
#include "detail/vector_ops.hpp"
#include "kkt_internal.hpp"
#include "linalg.hpp"
#include "morva/kkt.hpp"
#include "morva/linalg.hpp"
#include "morva/polish.hpp"
#include "morva/problem.hpp"
#include "morva/settings.hpp"
#include "stored_columns.hpp"
#include "stored_products.hpp"

namespace morva {

// polish (the problem's V at hand) with the products of the iterate x
// (iterate_products of x): the adaptive profile's guard reads its stopping
// tolerances and its objective from them instead of forming them again.
// `supports` is data.compressed_rows().
std::optional<Polished> polish_with_products(const QpProblem& problem, const ReducedColumns& data,
                                             std::span<const double> x, const DualVariables& duals,
                                             const KktResiduals& residuals, const SolverSettings& settings,
                                             const IterateProducts& products,
                                             std::span<const std::vector<std::uint32_t>> supports);

// Worst KKT residual; NaN only when all three are NaN.
inline double worst_residual(const KktResiduals& r) {
  return detail::max_ignoring_nan(detail::max_ignoring_nan(r.primal, r.dual), r.complementarity);
}

// ---- One active-set solve ----

// What every pass of one polish reads of the problem, learnt once: the
// rows' nonzeros its V knows, and L of a dense Ω (L·Lᵀ = Ω), each pass's
// factor transform.
struct Learnt {
  std::span<const std::vector<std::uint32_t>> supports;
  std::optional<Matrix> lower;

  const Matrix* lower_factor() const { return lower ? &*lower : nullptr; }
};

Learnt learnt_of(const QpProblem& problem, std::span<const std::vector<std::uint32_t>> supports);

// The two selections of the rows a pass keeps, as the previous pass of the
// same polish built them. Both are functions of the kept rows alone (δ, Ω's
// factor and the data being the polish's), so a pass that keeps the same
// rows (the passes differ mostly in their pins) takes them as they are.
struct Selections {
  std::vector<std::size_t> kept;
  std::optional<KeptColumns> columns;
  // A_stackedᵀ·t of the rows' targets, as the first pass with these rows
  // formed it (the targets too are the rows' alone).
  std::optional<std::vector<double>> target_pull;

  // The selections of `wanted`: the stored ones when they are of the same
  // rows, else built and stored. False on a failure of either.
  bool select(const QpProblem& problem, const ReducedColumns& data, const Learnt& learnt,
              std::span<const std::size_t> wanted, std::span<const double* const> constraint, double delta);
};

// The data of one active-set solve: the stacked rows as columns of the
// problem's V (for products in the data's units), the factorised regularised
// operator K, the right-hand side with the L1 forces, and the targets of the
// constraint rows and of the pins.
struct ActiveSystem {
  const KeptColumns& rows;
  SmwSystem system;
  std::vector<double> rhs;
  std::vector<double> targets;          // equality rows, then active rows
  std::vector<double> pin_targets;      // one per pin, in pin order
  std::span<const double> target_pull;  // Aᵀ·targets
};

// The system of the equality rows, the active rows and the pins of `active`
// (`has_sides`: its anchor sides carry L1 forces); none on a failure.
std::optional<ActiveSystem> active_system(const QpProblem& problem, const ReducedColumns& data,
                                          const Learnt& learnt, Selections& selections,
                                          const ActiveSet& active, double delta, bool has_sides);

// Iterative refinement of `solution` against the unregularised KKT system:
// `steps` passes, then more while the largest residual block exceeds
// `extend_above` and each pass still pays.
void refine(const QpProblem& problem, const ActiveSystem& a, const ActiveSet& active, double delta,
            std::uint64_t steps, double extend_above, RegularizedSolution& solution);

// The multipliers of a solved active set as dual blocks.
DualVariables active_set_duals(const QpProblem& problem, const ActiveSet& active,
                               const RegularizedSolution& s, bool has_sides);

// ---- A candidate's checks ----

// A candidate's first stream over the problem's V (transpose_image of its
// x), taken at most once: its KKT products, the duality gap and the stopping
// rule all start from it, and the same call on the same x gives the same bits.
struct CandidateStream {
  std::optional<TransposeImage> first;

  const TransposeImage& of(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x) {
    if (!first) first = transpose_image(problem, data, x);
    return *first;
  }
};

class ProfileRule;

// One active-set solve: the regularised KKT system of the equality rows, the
// active inequality rows and the pins, refined against the unregularised one,
// and the candidate's KKT check. Nothing on any numerical failure.
// `row_images` receives the candidate's A_in·x; `stream` its first stream.
std::optional<Polished> solve_active_set(const QpProblem& problem, const ReducedColumns& data,
                                         const Learnt& learnt, Selections& selections,
                                         const ActiveSet& active, const SolverSettings& settings,
                                         const ProfileRule& rule, std::vector<double>& row_images,
                                         CandidateStream& stream);

// The stopping rule on a candidate, through the problem's V.
bool meets_stopping_rule_of(const QpProblem& problem, const ReducedColumns& data, const Polished& candidate,
                            const SolverSettings& settings, CandidateStream& stream);

// improves_on with the candidate's stream.
bool improves_on(const QpProblem& problem, const ReducedColumns& data, const Polished& candidate, double best,
                 const SolverSettings& settings, CandidateStream& stream);

}  // namespace morva
