// A rolling rebalance: one lowered structure, one workspace (equilibration
// and factorisations), re-solved date after date warm-started.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <utility>
#include <vector>

#include "morva/matrix.hpp"
#include "morva/portfolio.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"
#include "morva/workspace.hpp"

namespace morva {

// One date's changes; an absent field keeps the current value.
struct RebalanceStep {
  std::optional<std::vector<double>> expected_returns;
  std::optional<std::vector<double>> previous_weights;
  std::optional<std::vector<double>> benchmark_weights;
  std::optional<double> budget;
  std::optional<std::vector<double>> equality_rhs;  // the problem's own rows, budget excluded
  std::optional<std::vector<double>> inequality_rhs;
  // The box and the L1 costs enter only the projections. A new side replaces
  // that side of the lowered box, the weight and short limits the problem was
  // built with included (they were applied to the box at build time); the
  // other side stays.
  std::optional<std::vector<double>> lower_bounds;
  std::optional<std::vector<double>> upper_bounds;
  std::optional<std::vector<double>> l1_turnover_costs;

  bool operator==(const RebalanceStep&) const = default;
};

class PortfolioSequence {
 public:
  // Validates the whole date first (a rejection changes nothing), writes the
  // accepted vectors into both the unscaled and the equilibrated problem, then
  // solves warm-started from the previous date.
  std::expected<Solution, PortfolioError> solve_next(const RebalanceStep& step);

  std::size_t dimension() const { return expected_returns_.size(); }
  std::uint64_t factorizations() const { return workspace_.factorizations(); }
  // The workspace the dates are written into (unscaled and equilibrated data).
  const Workspace& workspace() const { return workspace_; }
  // The start of the next date: the last solved or unconverged iterate with
  // its duals; nothing before the first date or after a failed one.
  const std::optional<WarmStart>& warm_start() const { return warm_start_; }
  // Replaces that start, e.g. to carry a rebuilt problem on from another
  // sequence's iterate. Checked as solve_from checks a warm start (block
  // lengths, finite x); a rejected start changes nothing.
  std::expected<void, PortfolioError> start_from(WarmStart start);

 private:
  friend std::expected<PortfolioSequence, PortfolioError> sequence_with(const PortfolioProblem&,
                                                                        const SolverSettings&);
  explicit PortfolioSequence(Workspace workspace) : workspace_(std::move(workspace)) {}

  // The steps of solve_next (check, compute, write, solve), defined beside it.
  friend struct SequenceSteps;

  Workspace workspace_;
  std::optional<double> budget_;
  std::vector<double> expected_returns_;
  std::optional<std::vector<double>> previous_weights_;
  std::optional<std::vector<double>> benchmark_weights_;
  std::vector<double> equality_rhs_;
  FactorQuad covariance_;
  double risk_aversion_ = 1.0;
  double turnover_penalty_ = 0.0;
  bool has_l1_costs_ = false;
  std::optional<WarmStart> warm_start_;
};

// Lowers the problem and builds the workspace; nothing is solved.
std::expected<PortfolioSequence, PortfolioError> sequence_with(const PortfolioProblem& problem,
                                                               const SolverSettings& settings);

}  // namespace morva
