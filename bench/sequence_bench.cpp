// Sequence and batch benchmark: a plain timing program that prints two tables.
//
// 1. One rolling rebalance over 60 dates (n = 2000 assets, k = 30 factors,
//    tracking benchmark, industry neutrality, quadratic and L1 turnover,
//    drifting expected returns, anchored at the previous date's weights):
//    time per date of PortfolioSequence::solve_next against a cold
//    PortfolioProblem::solve_with of the same data, with and without
//    polishing.
// 2. A batch of 64 such accounts (fewer dates each), on 1 and on 2 threads.
//
// Usage: sequence_bench [dates] [batch_accounts] [batch_dates]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "morva/batch.hpp"
#include "morva/portfolio.hpp"
#include "morva/sequence.hpp"

namespace {

using morva::BatchAccount;
using morva::FactorCovariance;
using morva::Matrix;
using morva::PortfolioProblem;
using morva::RebalanceStep;
using morva::Solution;
using morva::SolverSettings;
using morva::SolveStatus;

constexpr std::size_t kAssets = 2000;
constexpr std::size_t kFactors = 30;
constexpr std::size_t kIndustries = 20;
constexpr double kRiskAversion = 10.0;
constexpr double kTurnoverPenalty = 0.5;
constexpr double kTradingCost = 0.0005;
constexpr double kMaxWeight = 0.01;  // 20× the benchmark weight
constexpr std::uint64_t kSeed = 20240611;
// Per-date standard deviation of the change of each expected return, against
// a cross-sectional spread of 0.02: a slowly and a quickly moving signal.
constexpr double kSlowDrift = 0.0005;
constexpr double kFastDrift = 0.002;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The factor model and benchmark shared by every account.
struct Market {
  Matrix factors;
  Matrix omega;
  std::vector<double> specific;
  std::vector<double> benchmark;
  std::vector<std::uint64_t> industries;
};

Market make_market(std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  Market m;
  std::vector<double> f(kAssets * kFactors);
  for (std::size_t i = 0; i < kAssets; ++i) {
    f[i * kFactors] = 1.0 + 0.3 * normal(rng);  // market beta
    for (std::size_t j = 1; j < kFactors; ++j) f[i * kFactors + j] = 0.5 * normal(rng);
  }
  m.factors = Matrix::create(kAssets, kFactors, std::move(f)).value();

  // Ω = G·Gᵀ/k + diag(0.001…): symmetric positive definite, mildly correlated.
  std::vector<double> g(kFactors * kFactors);
  for (double& v : g) v = 0.05 * normal(rng);
  std::vector<double> omega(kFactors * kFactors, 0.0);
  for (std::size_t a = 0; a < kFactors; ++a) {
    for (std::size_t b = 0; b <= a; ++b) {
      double s = 0.0;
      for (std::size_t l = 0; l < kFactors; ++l) s += g[a * kFactors + l] * g[b * kFactors + l];
      s /= static_cast<double>(kFactors);
      omega[a * kFactors + b] = omega[b * kFactors + a] = s;
    }
    omega[a * kFactors + a] += (a == 0 ? 0.03 : 0.001);
  }
  m.omega = Matrix::create(kFactors, kFactors, std::move(omega)).value();

  m.specific.resize(kAssets);
  for (double& d : m.specific) d = 0.01 + 0.04 * uniform(rng);
  m.benchmark.resize(kAssets);
  double total = 0.0;
  for (double& b : m.benchmark) total += (b = 0.5 + uniform(rng));
  for (double& b : m.benchmark) b /= total;
  m.industries.resize(kAssets);
  for (std::size_t i = 0; i < kAssets; ++i) m.industries[i] = i % kIndustries;
  return m;
}

std::vector<double> initial_returns(std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> mu(kAssets);
  for (double& v : mu) v = 0.05 + 0.02 * normal(rng);
  return mu;
}

void drift(std::vector<double>& mu, double step, std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  for (double& v : mu) v += step * normal(rng);
}

PortfolioProblem make_problem(const Market& m, const std::vector<double>& mu,
                              const std::vector<double>& previous) {
  auto p = PortfolioProblem::create(m.factors, FactorCovariance::dense(m.omega), m.specific, mu).value();
  p = std::move(p).with_risk_aversion(kRiskAversion).value();
  p = std::move(p)
          .with_bounds(std::vector<double>(kAssets, 0.0), std::vector<double>(kAssets, kMaxWeight))
          .value();
  p = std::move(p).with_quadratic_turnover(previous, kTurnoverPenalty).value();
  p = std::move(p).with_l1_turnover(previous, std::vector<double>(kAssets, kTradingCost)).value();
  p = std::move(p).with_tracking_benchmark(m.benchmark).value();
  p = std::move(p).with_industry_neutrality(m.industries).value();
  return p;
}

double max_abs_difference(const std::vector<double>& a, const std::vector<double>& b) {
  double largest = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) largest = std::max(largest, std::abs(a[i] - b[i]));
  return largest;
}

struct Totals {
  double seconds = 0.0;
  std::uint64_t iterations = 0;
  int solved = 0;
};

void rolling(const Market& market, int dates, double step_size, const SolverSettings& settings) {
  std::mt19937_64 rng(kSeed + 1);
  std::vector<double> mu = initial_returns(rng);
  std::vector<double> previous = market.benchmark;

  // The same dates once more with polishing off, warm and cold, on the same
  // data (the anchors follow the polished warm solutions): polishing costs
  // the same on both sides, so it shows how much of each date it takes.
  SolverSettings unpolished = settings;
  unpolished.polish = false;

  auto start = Clock::now();
  auto sequence = morva::sequence_with(make_problem(market, mu, previous), settings);
  const double construction = seconds_since(start);
  auto sequence_unpolished = morva::sequence_with(make_problem(market, mu, previous), unpolished);
  if (!sequence || !sequence_unpolished) {
    std::printf("sequence construction failed: %s\n",
                (!sequence ? sequence.error() : sequence_unpolished.error()).message().c_str());
    return;
  }

  Totals warm, cold, warm_unpolished, cold_unpolished;
  int polished_warm = 0, polished_cold = 0;
  double largest_gap = 0.0;
  const auto tally = [](Totals& totals, const Solution& solution) {
    totals.iterations += solution.iterations;
    totals.solved += solution.status == SolveStatus::Solved;
  };
  for (int d = 0; d < dates; ++d) {
    drift(mu, step_size, rng);
    RebalanceStep step;
    step.expected_returns = mu;
    step.previous_weights = previous;

    start = Clock::now();
    auto date = sequence->solve_next(step);
    warm.seconds += seconds_since(start);

    const PortfolioProblem problem = make_problem(market, mu, previous);
    start = Clock::now();
    auto reference = problem.solve_with(settings, std::nullopt);
    cold.seconds += seconds_since(start);

    start = Clock::now();
    auto date_unpolished = sequence_unpolished->solve_next(step);
    warm_unpolished.seconds += seconds_since(start);

    start = Clock::now();
    auto reference_unpolished = problem.solve_with(unpolished, std::nullopt);
    cold_unpolished.seconds += seconds_since(start);

    for (const auto* outcome : {&date, &reference, &date_unpolished, &reference_unpolished}) {
      if (!*outcome) {
        std::printf("date %d failed: %s\n", d, outcome->error().message().c_str());
        return;
      }
    }
    tally(warm, *date);
    tally(cold, *reference);
    tally(warm_unpolished, *date_unpolished);
    tally(cold_unpolished, *reference_unpolished);
    polished_warm += date->polished;
    polished_cold += reference->polished;
    largest_gap = std::max(largest_gap, max_abs_difference(date->x, reference->x));
    previous = date->x;
  }

  std::printf(
      "rolling rebalance: n = %zu, k = %zu, %zu industry rows, %d dates, return drift %.4f per date\n",
      kAssets, kFactors, kIndustries, dates, step_size);
  std::printf("  sequence construction        %9.2f ms (once)\n", 1e3 * construction);
  std::printf("  %-28s %9s %12s %8s\n", "", "ms/date", "iters/date", "solved");
  std::printf("  %-28s %9.2f %12.1f %5d/%d\n", "solve_next (warm, in place)", 1e3 * warm.seconds / dates,
              static_cast<double>(warm.iterations) / dates, warm.solved, dates);
  std::printf("  %-28s %9.2f %12.1f %5d/%d\n", "solve_with (cold, fresh)", 1e3 * cold.seconds / dates,
              static_cast<double>(cold.iterations) / dates, cold.solved, dates);
  std::printf("  speed-up per date            %9.2fx   (max |x_seq - x_cold| = %.2e)\n",
              cold.seconds / warm.seconds, largest_gap);
  std::printf("  polished dates               %6d warm, %d cold\n", polished_warm, polished_cold);
  std::printf("  without polishing:\n");
  std::printf("  %-28s %9.2f %12.1f %5d/%d\n", "solve_next (warm, in place)",
              1e3 * warm_unpolished.seconds / dates, static_cast<double>(warm_unpolished.iterations) / dates,
              warm_unpolished.solved, dates);
  std::printf("  %-28s %9.2f %12.1f %5d/%d\n", "solve_with (cold, fresh)",
              1e3 * cold_unpolished.seconds / dates, static_cast<double>(cold_unpolished.iterations) / dates,
              cold_unpolished.solved, dates);
  std::printf("  speed-up per date            %9.2fx\n\n", cold_unpolished.seconds / warm_unpolished.seconds);
}

void batch(const Market& market, int accounts, int dates, const SolverSettings& settings) {
  std::mt19937_64 rng(kSeed + 2);
  std::vector<BatchAccount> batch_accounts;
  batch_accounts.reserve(accounts);
  for (int a = 0; a < accounts; ++a) {
    std::vector<double> mu = initial_returns(rng);
    BatchAccount account{make_problem(market, mu, market.benchmark), {}, true};
    for (int d = 0; d < dates; ++d) {
      drift(mu, kFastDrift, rng);
      RebalanceStep step;
      step.expected_returns = mu;
      account.steps.push_back(std::move(step));
    }
    batch_accounts.push_back(std::move(account));
  }

  std::printf("batch: %d accounts x %d dates (chained anchors), %u CPUs\n", accounts, dates,
              std::max(1u, std::thread::hardware_concurrency()));
  std::printf("  %-8s %10s %14s %9s\n", "threads", "seconds", "accounts/s", "speed-up");
  double single = 0.0;
  for (int threads : {1, 2}) {
    const auto start = Clock::now();
    const auto outcomes = morva::solve_batch_with_threads(batch_accounts, settings, threads);
    const double elapsed = seconds_since(start);
    int failed = 0;
    for (const auto& o : outcomes) failed += !o.has_value();
    if (threads == 1) single = elapsed;
    std::printf("  %-8d %10.3f %14.2f %8.2fx%s\n", threads, elapsed, accounts / elapsed, single / elapsed,
                failed ? "  (some accounts failed)" : "");
  }
}

int arg_or(int argc, char** argv, int index, int fallback) {
  return argc > index ? std::max(1, std::atoi(argv[index])) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int dates = arg_or(argc, argv, 1, 60);
  const int accounts = arg_or(argc, argv, 2, 64);
  const int batch_dates = arg_or(argc, argv, 3, 5);

  std::mt19937_64 rng(kSeed);
  const Market market = make_market(rng);
  const SolverSettings settings;
  rolling(market, dates, kSlowDrift, settings);
  rolling(market, dates, kFastDrift, settings);
  batch(market, accounts, batch_dates, settings);
  return 0;
}
