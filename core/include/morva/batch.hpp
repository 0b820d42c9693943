// Many accounts' rolling sequences in parallel on a process-wide worker pool.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "morva/portfolio.hpp"
#include "morva/sequence.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"

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

// Largest pool size a setting can ask for; larger counts are clamped.
inline constexpr int kMaxBatchThreads = 256;

// The pool size for a RAYON_NUM_THREADS text (null when unset): a whole
// decimal number with an optional sign and nothing else; a positive value is
// clamped to kMaxBatchThreads, anything else (empty, zero, negative,
// unparsable) gives `cpu_count`.
int thread_count_from_setting(const char* value, int cpu_count);

// The same batch on a private pool of `threads` workers (at least one) built
// for this call, so one process can compare thread counts. Outcomes are
// identical to solve_batch's.
std::vector<BatchOutcome> solve_batch_with_threads(std::span<const BatchAccount> accounts,
                                                   const std::optional<SolverSettings>& settings,
                                                   int threads);

}  // namespace morva
