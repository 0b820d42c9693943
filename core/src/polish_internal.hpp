// The polish module's entry for a caller that has formed the products of the
// iterate already (internal to the core): the workspace, whose termination
// check formed them through its stored columns. Beside it, the pieces the
// polish's files share: one active-set solve (active_system.cpp), and a
// candidate's stream and stopping rule (polish.cpp).
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
// `accepted`, when given, receives the products of the answer's x
// (iterate_products' bits).
std::optional<Polished> polish_with_products(const QpProblem& problem, const ReducedColumns& data,
                                             std::span<const double> x, const DualVariables& duals,
                                             const KktResiduals& residuals, const SolverSettings& settings,
                                             const IterateProducts& products,
                                             std::span<const std::vector<std::uint32_t>> supports,
                                             std::optional<IterateProducts>* accepted = nullptr);

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

// ---- A candidate's checks ----

// A candidate's first stream over the problem's V (transpose_image of its
// x), taken at most once: its KKT products, the duality gap and the stopping
// rule all start from it, and the same call on the same x gives the same bits.
struct CandidateStream {
  std::optional<TransposeImage> first;
  // The candidate's products (candidate_products_of), iterate_products' bits;
  // its rows' combination Aᵀλ too where its pass formed it.
  IterateProducts products;

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
// `start`, when given, holds the multipliers the solve starts from.
std::optional<Polished> solve_active_set(const QpProblem& problem, const ReducedColumns& data,
                                         const Learnt& learnt, Selections& selections,
                                         const ActiveSet& active, const SolverSettings& settings,
                                         const ProfileRule& rule, std::vector<double>& row_images,
                                         CandidateStream& stream, const DualVariables* start = nullptr);

// solve_active_set over the assets `active` leaves free where its pins are
// at least 1 − 1/kFreeShare of them (free_assets.cpp), else solve_active_set.
inline constexpr std::size_t kFreeShare = 4;
std::optional<Polished> solve_free_active_set(const QpProblem& problem, const ReducedColumns& data,
                                              const Learnt& learnt, Selections& selections,
                                              const ActiveSet& active, const SolverSettings& settings,
                                              const ProfileRule& rule, std::vector<double>& row_images,
                                              CandidateStream& stream, const DualVariables* start = nullptr);

// A candidate x's products for its KKT check, with iterate_products' bits,
// kept in `stream` with its first stream over V.
const IterateProducts& candidate_products_of(const QpProblem& problem, const ReducedColumns& data,
                                             RowSupports supports, std::span<const double> x,
                                             CandidateStream& stream);

// The candidate of an active set's solution (x, λ over the equality and
// active rows, μ at the pins) with x's products in `stream`: its dual blocks,
// settled by `rule`, and its KKT check; `row_images` as solve_active_set's.
std::optional<Polished> candidate_of(const QpProblem& problem, const ActiveSet& active,
                                     const ProfileRule& rule, RegularizedSolution solution, bool has_sides,
                                     const CandidateStream& stream, std::vector<double>& row_images);

// A_eqᵀ·y_eq + A_inᵀ·y_in: one stream over the rows of the problem's V where
// it holds the data's columns, else every row read whole.
std::vector<double> row_combination(const QpProblem& problem, const ReducedColumns& data,
                                    const DualVariables& duals);

// The stopping rule on a candidate, through the problem's V.
bool meets_stopping_rule_of(const QpProblem& problem, const ReducedColumns& data, const Polished& candidate,
                            const SolverSettings& settings, CandidateStream& stream);

// Whether a candidate replaces the best so far (`best`, its worst KKT
// residual, first the ADMM iterate's): its worst residual is strictly smaller
// and it meets the stopping rule the iterate met, r_p ≤ ε_p, r_d ≤ ε_d and
// r_c ≤ max(ε_p, ε_d), computed as the termination check computes them for
// it (`data` is the problem's V).
bool improves_on(const QpProblem& problem, const ReducedColumns& data, const Polished& candidate, double best,
                 const SolverSettings& settings, CandidateStream& stream);

}  // namespace morva
