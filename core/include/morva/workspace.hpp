// The reusable solver state of one QP structure and the relaxed ADMM over the
// four constraint blocks (equality, inequality, box, L1).
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "morva/error_types.hpp"
#include "morva/linalg.hpp"
#include "morva/problem.hpp"
#include "morva/scaling.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"

namespace morva {

using Clock = std::chrono::steady_clock;

struct ScaledCompletion;
struct IterateProducts;
struct CompletedScaling;

// The written-out equilibrated problem of one workspace, made on request. A
// move takes it along (references to it stay valid); a copy of the workspace
// starts without one, so that no two workspaces share it.
class CompletedHolder {
 public:
  CompletedHolder();
  CompletedHolder(const CompletedHolder&);
  CompletedHolder(CompletedHolder&&) noexcept;
  CompletedHolder& operator=(const CompletedHolder&);
  CompletedHolder& operator=(CompletedHolder&&) noexcept;
  ~CompletedHolder();

  CompletedScaling& operator*() const { return *value_; }
  CompletedScaling* operator->() const { return value_.get(); }

 private:
  std::unique_ptr<CompletedScaling> value_;
};

class Workspace {
 public:
  // Validates the problem, then the settings; equilibrates when
  // scaling_iterations > 0; builds the first factorisation (counter = 1).
  static std::expected<Workspace, SolverError> create(SolverSettings settings, QpProblem problem);
  // The same for a problem already validated: the settings are checked, the
  // problem is not checked again.
  static std::expected<Workspace, SolverError> create(SolverSettings settings, ValidatedQp problem);

  // One ADMM solve from the optional warm start (unscaled units). `start` is
  // the instant the solve time is measured from.
  std::expected<Solution, SolverError> solve_from(Clock::time_point start,
                                                  const std::optional<WarmStart>& warm_start);

  // Data updates that keep every factorisation valid; each writes the unscaled
  // problem and the equilibrated copy. Length first, then finiteness; nothing
  // changes on error.
  std::expected<void, ProblemError> update_inequality_rhs(std::span<const double> rhs);  // "inequalities.rhs"
  std::expected<void, ProblemError> update_equality_rhs(std::span<const double> rhs);    // "equalities.rhs"
  std::expected<void, ProblemError> update_linear(std::span<const double> linear);       // "linear"
  std::expected<void, ProblemError> update_l1_anchor(std::span<const double> anchor);    // "l1.anchor"
  // The box and the L1 costs enter only the projections (z_box = Π_[l,u],
  // z_l1 = soft threshold at c/ρ), never the factored system. The box is
  // checked as validate checks it (lengths, then NaN, then crossing); the
  // costs by length, then as L1 costs. Without an L1 term only the empty
  // vector matches the costs.
  std::expected<void, ProblemError> update_bounds(std::span<const double> lower,
                                                  std::span<const double> upper);
  std::expected<void, ProblemError> update_l1_costs(std::span<const double> costs);  // "l1.costs"

  // The rules solve_from applies to a warm start (block lengths, finite x),
  // without solving.
  std::expected<void, SolverError> check_warm_start(const WarmStart& warm_start) const;

  const QpProblem& problem() const { return problem_; }
  // The equilibrated problem (null without equilibration), written out in
  // full on the first request after construction or an update.
  const ScaledProblem* scaled() const;
  const SolverSettings& settings() const { return settings_; }
  const SystemCache& systems() const { return systems_; }
  std::uint64_t factorizations() const { return systems_.factorizations(); }

 private:
  Workspace() = default;
  // Makes a solved answer its polish could not make exact exact, when a
  // proximal step finds the optimum's active set; leaves it as it is else.
  void finish_on_flat_face(Solution& solution, Clock::time_point start) const;
  // Whether a solved answer is left short of exact where that may matter:
  // unpolished, or polished short of exact on a nearly flat problem
  // (`products`: those of its x).
  bool short_of_exact(const Solution& solution, const IterateProducts& products) const;
  // Applies `update` to the equilibrated problem and to its written-out copy.
  template <class Update>
  void rescale(Update update);

  QpProblem problem_;
  // The equilibrated problem the iteration runs on: its vectors and A_in
  // scaled, its F and A_eq the values of problem_'s (the iteration reads
  // them through the stored columns, which carry their scaling), and what
  // completes it, kept compact; `completed_` holds it written out once asked.
  std::optional<ScaledProblem> scaled_;
  std::shared_ptr<const ScaledCompletion> completion_;
  CompletedHolder completed_;
  SystemCache systems_;
  // The unscaled problem's F, A_eq and A_in by structure, for the products of
  // the termination checks (the matrices of problem_ are never changed).
  std::shared_ptr<const ReducedColumns> data_;
  // The rows' nonzeros data_ knows (ReducedColumns::compressed_rows), for
  // the products through the rows; found once.
  std::shared_ptr<const std::vector<std::vector<std::uint32_t>>> supports_;
  SolverSettings settings_;
  // Whether a solve may end in finish_on_flat_face (not in the proximal
  // problem that finish builds).
  bool finishes_flat_faces_ = true;
};

}  // namespace morva
