// Many accounts' rolling sequences in parallel on a process-wide worker pool.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "morva/portfolio.hpp"
#include "morva/sequence.hpp"
#include "morva/solver.hpp"

namespace morva {

struct BatchAccount {
  PortfolioProblem problem;
  std::vector<RebalanceStep> steps;
  bool chain_previous_weights = false;  // anchor each date at the last solved weights
};

using BatchOutcome = std::expected<std::vector<Solution>, PortfolioError>;

// One outcome per account, in input order, independent of the thread count.
std::vector<BatchOutcome> solve_batch(std::span<const BatchAccount> accounts,
                                      const std::optional<SolverSettings>& settings = std::nullopt);

// One account, exactly as a pool thread runs it.
BatchOutcome solve_account(const BatchAccount& account, const SolverSettings& settings);

// Worker threads of the process-wide pool: RAYON_NUM_THREADS when it parses
// as a positive count, else one per CPU. Read once, on first use.
int batch_thread_count();

}  // namespace morva
