// The start and the end of a solve's iterations, internal to the workspace:
// the starting point a warm start gives, and the termination check (the
// stopping rule, the profile's early polish, the infeasibility tests).
#pragma once

#include <algorithm>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "admm_state.hpp"
#include "convergence.hpp"
#include "detail/vector_ops.hpp"
#include "morva/certificate.hpp"
#include "morva/error_types.hpp"
#include "morva/problem.hpp"
#include "morva/scaling.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"
#include "profile_rule.hpp"
#include "stored_columns.hpp"
#include "stored_products.hpp"

namespace morva {

// Elementwise a − b over the shorter length.
inline std::vector<double> difference(std::span<const double> a, std::span<const double> b) {
  const std::size_t len = std::min(a.size(), b.size());
  std::vector<double> out(len);
  for (std::size_t i = 0; i < len; ++i) out[i] = a[i] - b[i];
  return out;
}

// The starting point of a solve in unscaled units: the warm start, its
// absent dual blocks as zeros, or all zeros without one.
struct StartingPoint {
  std::vector<double> x;
  DualVariables duals;
};

// Each block in turn: an absent one (null) is zeros of its length, a given
// one is tested for its length (WarmStartLength), then finiteness
// (WarmStartNonFinite), both naming the block.
inline std::expected<StartingPoint, SolverError> starting_point(const QpProblem& problem,
                                                                const std::optional<WarmStart>& warm_start) {
  const auto given = [&](const std::optional<std::vector<double>> WarmStart::*dual) {
    return warm_start && *warm_start.*dual ? &*(*warm_start.*dual) : nullptr;
  };
  const std::size_t n = problem.n();
  StartingPoint start;
  const struct {
    const std::vector<double>* block;
    const char* name;
    std::size_t length;
    std::vector<double>& out;
  } blocks[] = {
      {warm_start ? &warm_start->x : nullptr, "x", n, start.x},
      {given(&WarmStart::equality_dual), "equality_dual", problem.m_eq(), start.duals.equalities},
      {given(&WarmStart::inequality_dual), "inequality_dual", problem.m_in(), start.duals.inequalities},
      {given(&WarmStart::bound_dual), "bound_dual", n, start.duals.bounds},
      {given(&WarmStart::l1_dual), "l1_dual", problem.l1 ? n : 0, start.duals.l1},
  };
  for (const auto& b : blocks) {
    if (b.block == nullptr) {
      b.out.assign(b.length, 0.0);
    } else if (b.block->size() != b.length) {
      return std::unexpected(SolverError::warm_start_length(b.name, b.block->size(), b.length));
    } else if (!detail::all_finite(*b.block)) {
      return std::unexpected(SolverError::warm_start_non_finite(b.name));
    } else {
      b.out = *b.block;
    }
  }
  return start;
}

// How a solve ended, when it ended before the iteration budget.
struct Verdict {
  SolveStatus status;
  std::optional<Certificate> certificate;
  bool early = false;  // met only the profile's looser tolerances: worth a polish
};

// The stopping test and, when enabled, the infeasibility tests on the
// unscaled iterate. The infeasibility candidates are the differences between
// successive checked iterates, so the check keeps the last one.
class TerminationCheck {
 public:
  TerminationCheck(bool detect_infeasibility, StartingPoint start, const ProfileRule::EarlyLooks& early)
      : detect_(detect_infeasibility), early_(early), early_factor_(early.first) {
    if (detect_) {
      kept_x_ = std::move(start.x);
      kept_duals_ = std::move(start.duals);
    }
  }

  std::expected<std::optional<Verdict>, SolverError> check(const QpProblem& problem,
                                                           const ReducedColumns& data, RowSupports supports,
                                                           const ScaledProblem* scaled,
                                                           const AdmmState& state,
                                                           const SolverSettings& settings) {
    auto [x, duals] = unscaled_iterates(scaled, state.x, state.y);
    auto looks =
        stopping_looks(problem, x, duals, settings, stored_products(problem, data, x, duals), early_factor_);
    if (!looks) return std::unexpected(SolverError::length_mismatch(looks.error()));
    if (looks->converged) return Verdict{SolveStatus::Solved, std::nullopt};
    if (looks->within_looser) {
      early_factor_ /= early_.step;
      if (!(early_factor_ >= early_.last)) early_factor_ = 0.0;
      return Verdict{SolveStatus::Solved, std::nullopt, true};
    }
    if (!detect_) return std::nullopt;

    const PrimalCertificate candidate{difference(duals.equalities, kept_duals_.equalities),
                                      difference(duals.inequalities, kept_duals_.inequalities),
                                      difference(duals.bounds, kept_duals_.bounds)};
    if (auto farkas =
            detect_primal_infeasibility(problem, candidate, settings.infeasibility_tolerance, supports)) {
      return Verdict{SolveStatus::PrimalInfeasible, Certificate{std::move(*farkas)}};
    }
    const std::vector<double> step = difference(x, kept_x_);
    // A leverage limit bounds every weight: no ray is unbounded.
    if (auto ray = problem.leverage
                       ? std::nullopt
                       : detect_dual_infeasibility(problem, step, settings.infeasibility_tolerance)) {
      return Verdict{SolveStatus::DualInfeasible, Certificate{DualCertificate{std::move(*ray)}}};
    }
    kept_x_ = std::move(x);
    kept_duals_ = std::move(duals);
    return std::nullopt;
  }

 private:
  bool detect_;
  ProfileRule::EarlyLooks early_;
  double early_factor_;  // the next early look's, 0 when none is left
  std::vector<double> kept_x_;
  DualVariables kept_duals_;
};

}  // namespace morva
