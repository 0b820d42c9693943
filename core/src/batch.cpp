// Many accounts' rolling sequences, in parallel over the accounts.
//
// Every account is a sequential, deterministic computation owned by the task
// that runs it; the accounts, their steps and the settings are only read, and
// each outcome lands in the slot of its account's index. So the result is the
// same as a plain loop over solve_account, whatever the thread count or the
// order in which tasks finish.
#include "morva/batch.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

namespace morva {

namespace {

constexpr const char* kChainWithoutAnchor =
    "chain_previous_weights requires a problem built with with_quadratic_turnover and/or "
    "with_l1_turnover; without a turnover term there is no anchor to move";

// One account per task: accounts are coarse (a whole sequence each), so the
// range is split all the way down and idle threads steal halves.
constexpr std::size_t kAccountsPerTask = 1;

int cpu_count() {
  // Honours the process affinity mask, as "available CPUs" should.
  return std::max(1, tbb::info::default_concurrency());
}

// TBB caps the workers of all arenas together at one per CPU unless told
// otherwise; a pool asked to be larger needs the cap raised for as long as the
// pool can run.
std::unique_ptr<tbb::global_control> allow_threads(int threads) {
  if (threads <= cpu_count()) return nullptr;
  return std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                               static_cast<std::size_t>(threads));
}

// The process-wide pool. Created on first use and never destroyed: worker
// threads may still be parked in it while static destructors run.
//
// fork() copies only the calling thread, so in a child the inherited arena
// refers to workers that do not exist there. The arena remembers the process
// that built it; a different getpid() means we are in such a child, and a new
// arena is built. The inherited one is set aside, never destroyed, because
// tearing it down would wait for the missing workers. The mutex is held across
// fork() by the atfork handlers so that a child never inherits it locked by a
// thread it lacks.
struct BatchPool {
  std::mutex mutex;
  std::unique_ptr<tbb::global_control> cap;  // raised worker cap, for the life of the process
  std::unique_ptr<tbb::task_arena> arena;
  pid_t owner = 0;
  std::vector<std::unique_ptr<tbb::task_arena>> inherited;  // arenas of parent processes
};

BatchPool& batch_pool() {
  static BatchPool* const pool = [] {
    auto* created = new BatchPool;
    pthread_atfork([] { batch_pool().mutex.lock(); },     // prepare, in the forking thread
                   [] { batch_pool().mutex.unlock(); },   // parent
                   [] { batch_pool().mutex.unlock(); });  // child: its one thread is the one that locked
    return created;
  }();
  return *pool;
}

tbb::task_arena& pool_arena() {
  BatchPool& pool = batch_pool();
  std::lock_guard lock(pool.mutex);
  const pid_t pid = getpid();
  if (pool.arena && pool.owner != pid) pool.inherited.push_back(std::move(pool.arena));
  if (!pool.arena) {
    if (!pool.cap) pool.cap = allow_threads(batch_thread_count());
    pool.arena = std::make_unique<tbb::task_arena>(batch_thread_count());
    pool.arena->initialize();
    pool.owner = pid;
  }
  return *pool.arena;
}

// The caller enters the arena and blocks in parallel_for until every slot is
// written; it takes tasks itself meanwhile, as one of the arena's threads.
std::vector<BatchOutcome> run_accounts(tbb::task_arena& arena, std::span<const BatchAccount> accounts,
                                       const SolverSettings& settings) {
  std::vector<BatchOutcome> outcomes(accounts.size());
  arena.execute([&] {
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, accounts.size(), kAccountsPerTask),
        [&](const tbb::blocked_range<std::size_t>& range) {
          for (std::size_t i = range.begin(); i != range.end(); ++i) {
            outcomes[i] = solve_account(accounts[i], settings);
          }
        },
        tbb::simple_partitioner());
  });
  return outcomes;
}

}  // namespace

int thread_count_from_setting(const char* value, int cpu_count) {
  const int fallback = std::max(1, cpu_count);
  if (value == nullptr) return fallback;
  std::string_view text(value);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return fallback;
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (end != text.data() + text.size()) return fallback;  // trailing text or no digits
  if (error == std::errc::result_out_of_range) return negative ? fallback : kMaxBatchThreads;
  if (error != std::errc()) return fallback;
  if (negative || magnitude == 0) return fallback;
  // Compared in 64 bits, so a huge count clamps instead of wrapping.
  return magnitude > static_cast<std::uint64_t>(kMaxBatchThreads) ? kMaxBatchThreads
                                                                  : static_cast<int>(magnitude);
}

int batch_thread_count() {
  static const int threads = thread_count_from_setting(std::getenv("RAYON_NUM_THREADS"), cpu_count());
  return threads;
}

BatchOutcome solve_account(const BatchAccount& account, const SolverSettings& settings) {
  if (account.chain_previous_weights && !account.problem.previous_weights()) {
    return std::unexpected(PortfolioError::invalid_parameter(kChainWithoutAnchor));
  }
  auto sequence = sequence_with(account.problem, settings);
  if (!sequence) return std::unexpected(std::move(sequence.error()));

  std::vector<Solution> solutions;
  solutions.reserve(account.steps.size());
  // The weights of the last date that ended Solved; an unconverged or
  // infeasible date is no place to anchor turnover at.
  std::optional<std::vector<double>> chained_anchor;
  for (const RebalanceStep& step : account.steps) {
    std::expected<Solution, PortfolioError> solution;
    if (account.chain_previous_weights && !step.previous_weights && chained_anchor) {
      RebalanceStep anchored = step;
      anchored.previous_weights = *chained_anchor;
      solution = sequence->solve_next(anchored);
    } else {
      solution = sequence->solve_next(step);
    }
    if (!solution) return std::unexpected(std::move(solution.error()));
    if (account.chain_previous_weights && solution->status == SolveStatus::Solved) {
      chained_anchor = solution->x;
    }
    solutions.push_back(std::move(*solution));
  }
  return solutions;
}

std::vector<BatchOutcome> solve_batch(std::span<const BatchAccount> accounts,
                                      const std::optional<SolverSettings>& settings) {
  if (accounts.empty()) return {};
  return run_accounts(pool_arena(), accounts, settings.value_or(SolverSettings{}));
}

std::vector<BatchOutcome> solve_batch_with_threads(std::span<const BatchAccount> accounts,
                                                   const std::optional<SolverSettings>& settings,
                                                   int threads) {
  if (accounts.empty()) return {};
  const int count = std::clamp(threads, 1, kMaxBatchThreads);
  const auto cap = allow_threads(count);
  tbb::task_arena arena(count);
  return run_accounts(arena, accounts, settings.value_or(SolverSettings{}));
}

}  // namespace morva
