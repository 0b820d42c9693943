// What a solver profile decides, in one room: the penalty rule, Anderson
// acceleration, the polish's choices at its decision points, and the finish
// of a solved run. profile_rule() alone chooses by profile; the loop, the
// polish and the finish ask the rule it returns.
//
// The reference profile guesses the polish's active set by distance, refines
// the configured number of times and keeps a candidate with a smaller worst
// KKT residual. The adaptive profile guesses from the duals, refines on while
// refinement pays, keeps a candidate no worse in its primal residual, dual
// residual and duality gap, lands a solved result on its box and budget row,
// and runs on to tighter tolerances when polishing found nothing better.
#pragma once

#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <span>

#include "active_set.hpp"
#include "kkt_internal.hpp"
#include "morva/error_types.hpp"
#include "morva/polish.hpp"
#include "morva/problem.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"

namespace morva {

class PenaltyRule;
class ReducedColumns;
struct CandidateStream;

// A candidate's fate: kept as the polish's answer (so far), and whether the
// passes end with it.
struct Judgement {
  bool accept = false;
  bool stop = false;
};

// The judge of one polish's candidates, formed from the iterate it polishes;
// it keeps the best candidate's standing between passes.
class CandidateJudge {
 public:
  virtual ~CandidateJudge() = default;
  // `stream` is the candidate's first stream over the problem's V.
  virtual Judgement judge(const Polished& candidate, CandidateStream& stream) = 0;
};

// The rule of a profile. ProfileRule itself decides as the reference profile
// does; the adaptive profile's rule overrides each decision where it differs.
class ProfileRule {
 public:
  virtual ~ProfileRule() = default;

  virtual std::unique_ptr<PenaltyRule> penalty_rule(const SolverSettings& settings) const;
  virtual bool accelerates() const { return false; }

  // ---- The polish ----

  // The products of the iterate a polish formed by no caller takes (none
  // when the rule reads none).
  virtual IterateProducts polish_products(const QpProblem&, std::span<const double>, RowSupports) const {
    return {};
  }
  // The first active set; `row_images` is A_in·x when given.
  virtual ActiveSet first_active_set(const QpProblem& problem, std::span<const double> x,
                                     const DualVariables& duals, const SolverSettings& settings,
                                     std::span<const double> row_images) const {
    return initial_guess(problem, x, duals, settings, row_images);
  }
  // The next active set as refine_active_set left it, made ready for its pass.
  virtual void ready_next(const QpProblem&, ActiveSet&) const {}
  // At most this many active-set passes per polish.
  virtual int polish_passes() const { return kMaxPolishPasses; }
  // Refinement continues past the configured passes while the largest
  // residual block exceeds this (infinite: never).
  virtual double extend_refinement_above(const SolverSettings&) const {
    return std::numeric_limits<double>::infinity();
  }
  // Polishes before the run ends: an iterate within `first` times the
  // stopping tolerances is polished, each later look `step` times closer
  // while at least `last` times them; a candidate ends the run only when it
  // meets the tolerances divided by `kept`. first = 0: never.
  struct EarlyLooks {
    double first = 0.0;
    double step = 0.0;
    double last = 0.0;
    double kept = 0.0;
  };
  virtual EarlyLooks early_looks() const { return {}; }
  // Whether each active-set solve starts its multipliers at the iterate's duals.
  virtual bool starts_from_duals() const { return false; }
  // Whether an active set that pins most assets is solved over the free ones.
  virtual bool solves_free_assets() const { return false; }
  // A solved active set's duals, as the candidate reports them.
  virtual void settle_duals(const QpProblem&, const ActiveSet&, DualVariables&) const {}
  // The judge of the candidates of a polish of (x, duals) with `residuals`;
  // `products` are those of polish_with_products.
  virtual std::unique_ptr<CandidateJudge> judge(const QpProblem& problem, const ReducedColumns& data,
                                                std::span<const double> x, const DualVariables& duals,
                                                const KktResiduals& residuals, const SolverSettings& settings,
                                                const IterateProducts& products) const;

  // ---- The finish of a solved run ----

  // Moves a solved (perhaps polished) solution onto its box and budget row;
  // `products` are its x's, and when it moved (true) the landed point's.
  virtual std::expected<bool, SolverError> land(const QpProblem&, RowSupports, const SolverSettings&,
                                                IterateProducts&, Solution&) const {
    return false;
  }
  // Whether a solved answer short of exact is finished by proximal steps
  // (Workspace::finish_on_flat_face).
  virtual bool finishes_flat_faces() const { return false; }
  // The settings of a second run after the first ended at iteration k with
  // `solution`, or none.
  virtual std::optional<SolverSettings> second_run(const SolverSettings&, const Solution&,
                                                   std::uint64_t) const {
    return std::nullopt;
  }
};

// The rule of settings.profile (a shared, stateless object).
const ProfileRule& profile_rule(const SolverSettings& settings);

}  // namespace morva
