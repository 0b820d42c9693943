// Engine benchmark: cost of one ADMM iteration against the memory floor of
// streaming the stored entries of the reduced system's columns V twice (the
// dense block and the compressed rows, as the iteration reads them), and the
// iterations and time of a full solve at the default settings.
//
// Two families:
//   random      a long-only factor portfolio, P = λ·(diag(d) + F·Ω·Fᵀ) with a
//               dense F and diagonal Ω, q = −μ, a budget row Σx = 1, four
//               inequality rows (three sector caps and a cap on the exposure to
//               factor 0), 0 ≤ x ≤ max(0.05, 4/n);
//   industry    a risk-model portfolio: F = [market, one 0/1 column per
//               industry, 12 styles], dense Ω, budget and industry rows, style
//               and beta bands (two inequality rows each), bounds, L1 costs.
//
//   engine_bench            random n ∈ {500, 2000, 10000}, k ∈ {10, 50};
//                           industry n ∈ {2000, 10000}, k ∈ {50, 100}
//   engine_bench --quick    n ≤ 2000
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "morva/workspace.hpp"
#include "stored_columns.hpp"

namespace {

using morva::Clock;

constexpr double kRiskAversion = 2.0;
constexpr int kRepeats = 9;              // best of this many timings
constexpr double kTargetSeconds = 0.15;  // length of one timed stretch
constexpr std::uint64_t kWarmupIterations = 5;

// splitmix64, so the data are the same on every platform.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  double uniform(double low, double high) {
    state_ += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return low + (high - low) * static_cast<double>(z >> 11) * 0x1.0p-53;
  }

 private:
  std::uint64_t state_;
};

morva::QpProblem portfolio(std::size_t n, std::size_t k, std::uint64_t seed) {
  Random random(seed);
  morva::Matrix factors = morva::Matrix::zeros(n, k);
  for (double& e : factors.data()) e = random.uniform(-0.5, 1.5);
  std::vector<double> omega(k);
  for (double& e : omega) e = kRiskAversion * random.uniform(0.0005, 0.004);
  std::vector<double> specific(n);
  for (double& e : specific) e = kRiskAversion * random.uniform(0.01, 0.09);

  morva::QpProblem p;
  p.quadratic =
      morva::FactorQuad{factors, morva::FactorCovariance::diagonal(std::move(omega)), std::move(specific)};
  p.linear.resize(n);
  for (double& e : p.linear) e = -random.uniform(0.0, 0.12);

  p.equalities = {morva::Matrix::zeros(1, n), {1.0}};
  for (std::size_t j = 0; j < n; ++j) p.equalities.matrix(0, j) = 1.0;

  // Rows 0–2: sector j mod 3 ≤ 0.4 each for the first three sectors of five;
  // row 3: exposure to factor 0 ≤ 0.3.
  constexpr std::size_t kRows = 4;
  p.inequalities = {morva::Matrix::zeros(kRows, n), {0.4, 0.4, 0.4, 0.3}};
  for (std::size_t j = 0; j < n; ++j) {
    if (j % 5 < 3) p.inequalities.matrix(j % 5, j) = 1.0;
    p.inequalities.matrix(3, j) = factors(j, 0);
  }
  p.lower_bounds.assign(n, 0.0);
  p.upper_bounds.assign(n, std::max(0.05, 4.0 / static_cast<double>(n)));
  return p;
}

constexpr std::size_t kStyles = 12;

// Market column, industries i mod (k − 13), 12 styles; Ω = B·Bᵀ/k + diag.
morva::QpProblem industry_portfolio(std::size_t n, std::size_t k, std::uint64_t seed) {
  Random random(seed);
  const std::size_t industries = k - 1 - kStyles;
  morva::Matrix factors = morva::Matrix::zeros(n, k);
  for (std::size_t i = 0; i < n; ++i) {
    factors(i, 0) = random.uniform(0.7, 1.3);
    factors(i, 1 + i % industries) = 1.0;
    for (std::size_t s = 0; s < kStyles; ++s) factors(i, 1 + industries + s) = random.uniform(-1.5, 1.5);
  }
  morva::Matrix b = morva::Matrix::zeros(k, k);
  for (double& e : b.data()) e = random.uniform(-0.05, 0.05);
  morva::Matrix omega = morva::Matrix::zeros(k, k);
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) {
      double sum = r == c ? 0.001 : 0.0;
      for (std::size_t l = 0; l < k; ++l) sum += b(r, l) * b(c, l);
      omega(r, c) = kRiskAversion * sum;
    }
  }
  std::vector<double> specific(n);
  for (double& e : specific) e = kRiskAversion * random.uniform(0.02, 0.16);

  morva::QpProblem p;
  p.quadratic =
      morva::FactorQuad{factors, morva::FactorCovariance::dense(std::move(omega)), std::move(specific)};
  p.linear.resize(n);
  for (double& e : p.linear) e = random.uniform(-0.06, 0.06);
  // Budget, then one row per industry at its equal-weight share.
  p.equalities = {morva::Matrix::zeros(1 + industries, n), std::vector<double>(1 + industries, 0.0)};
  p.equalities.rhs[0] = 1.0;
  for (std::size_t i = 0; i < n; ++i) {
    p.equalities.matrix(0, i) = 1.0;
    p.equalities.matrix(1 + i % industries, i) = 1.0;
    p.equalities.rhs[1 + i % industries] += 1.0 / static_cast<double>(n);
  }
  // Style and beta bands around the equal-weight exposures: S·x ≤ e + 0.1, −S·x ≤ −(e − 0.1).
  const std::size_t bands = kStyles + 1;
  p.inequalities = {morva::Matrix::zeros(2 * bands, n), std::vector<double>(2 * bands, 0.0)};
  for (std::size_t r = 0; r < bands; ++r) {
    const std::size_t column = r < kStyles ? 1 + industries + r : 0;
    double exposure = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      p.inequalities.matrix(2 * r, i) = factors(i, column);
      p.inequalities.matrix(2 * r + 1, i) = -factors(i, column);
      exposure += factors(i, column) / static_cast<double>(n);
    }
    p.inequalities.rhs[2 * r] = exposure + 0.1;
    p.inequalities.rhs[2 * r + 1] = -(exposure - 0.1);
  }
  p.lower_bounds.assign(n, 0.0);
  p.upper_bounds.assign(n, std::max(0.05, 5.0 / static_cast<double>(n)));
  p.l1 = morva::L1Term{std::vector<double>(n, 5e-4), std::vector<double>(n, 1.0 / static_cast<double>(n))};
  return p;
}

// Settings whose run is nothing but iterations: one check at the last one,
// no detection, no penalty changes, no polish.
morva::SolverSettings iterations_only(std::uint64_t iterations) {
  morva::SolverSettings s;
  s.max_iterations = iterations;
  s.check_termination_every = std::uint64_t{1} << 40;
  s.infeasibility_tolerance = 0.0;
  s.adaptive_rho = false;
  s.polish = false;
  return s;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds per iteration, once: the difference of two runs that differ only in
// their iteration count, so setup, the final check and unscaling cancel out.
double time_per_iteration(const morva::QpProblem& problem, std::uint64_t iterations) {
  auto run = [&](std::uint64_t count) {
    auto workspace = morva::Workspace::create(iterations_only(count), problem);
    const auto start = Clock::now();
    auto solution = workspace->solve_from(start, std::nullopt);
    const double elapsed = seconds_since(start);
    if (!solution) std::fprintf(stderr, "solve failed: %s\n", solution.error().message().c_str());
    return elapsed;
  };
  const double long_run = run(kWarmupIterations + iterations);
  const double short_run = run(kWarmupIterations);
  return (long_run - short_run) / static_cast<double>(iterations);
}

// The memory floor: two passes over the stored entries of V, each one
// product per row (y −= V·v, then z −= V·v', through the stored columns'
// own product), nothing else. Each call times one stretch of about
// kTargetSeconds.
class StreamFloor {
 public:
  explicit StreamFloor(const morva::ReducedColumns& columns)
      : columns_(columns),
        n_(columns.assets()),
        v_(columns.rank(), 0.5),
        w_(columns.rank(), 0.25),
        ones_(n_, 1.0),
        y_(n_),
        z_(n_),
        buffer_(columns.pass_scratch()),
        scratch_(columns.scratch(buffer_)) {
    two_passes();
    const auto probe = Clock::now();
    two_passes();
    const double once = std::max(seconds_since(probe), 1e-7);
    reps_ = static_cast<int>(std::clamp(kTargetSeconds / once, 3.0, 100000.0));
  }

  double seconds() {
    const auto start = Clock::now();
    for (int i = 0; i < reps_; ++i) two_passes();
    return seconds_since(start) / reps_;
  }

 private:
  void two_passes() {
    columns_.subtract_product(v_, ones_, y_, scratch_);
    columns_.subtract_product(w_, ones_, z_, scratch_);
    v_[0] += 1e-300 * z_[n_ / 2];  // keeps the passes live
  }

  const morva::ReducedColumns& columns_;
  std::size_t n_;
  std::vector<double> v_, w_, ones_, y_, z_, buffer_;
  morva::ReducedColumns::PassScratch scratch_;
  int reps_ = 3;
};

struct Row {
  const char* family;
  std::size_t n, k, h, dense, stored;
  double iteration_us, floor_us;
  std::uint64_t iterations;
  const char* status;
  double solve_ms, total_ms;
};

Row measure(const char* family, std::size_t n, std::size_t k) {
  const bool industry = std::string_view(family) == "industry";
  const morva::QpProblem problem =
      industry ? industry_portfolio(n, k, 1000 * n + k) : portfolio(n, k, 1000 * n + k);
  Row row{};
  row.family = family;
  row.n = n;
  row.k = k;

  // Full solve at the defaults: total includes equilibration and the first
  // factorisation (as a one-shot solve measures it), solve only the iteration.
  double best_total = 1e300, best_solve = 1e300;
  morva::Solution solution;
  for (int r = 0; r < 3; ++r) {
    const auto start = Clock::now();
    auto workspace = morva::Workspace::create(morva::SolverSettings{}, problem);
    if (!workspace) {
      std::fprintf(stderr, "workspace failed: %s\n", workspace.error().message().c_str());
      return row;
    }
    const auto solve_start = Clock::now();
    auto result = workspace->solve_from(solve_start, std::nullopt);
    best_total = std::min(best_total, seconds_since(start));
    best_solve = std::min(best_solve, seconds_since(solve_start));
    solution = std::move(*result);
    row.h = workspace->systems().front().second.smw.rank();
  }
  row.iterations = solution.iterations;
  row.status = std::string_view(morva::to_string(solution.status)).data();
  row.solve_ms = best_solve * 1e3;
  row.total_ms = best_total * 1e3;

  auto workspace = morva::Workspace::create(iterations_only(1), problem);
  const morva::ReducedColumns& columns = workspace->systems().front().second.smw.columns();
  row.dense = columns.dense_columns().size();
  row.stored = columns.stored_entries();
  // The floor and the iteration in alternation, best of kRepeats each, so
  // that a change of load on a shared machine reaches both alike.
  StreamFloor floor_timer(columns);
  double floor = 1e300, iteration = 1e300;
  std::uint64_t iterations = 0;
  for (int r = 0; r < kRepeats; ++r) {
    floor = std::min(floor, floor_timer.seconds());
    if (iterations == 0) {
      iterations = static_cast<std::uint64_t>(std::clamp(kTargetSeconds / (3.0 * floor), 20.0, 20000.0));
    }
    iteration = std::min(iteration, time_per_iteration(problem, iterations));
  }
  row.floor_us = floor * 1e6;
  row.iteration_us = iteration * 1e6;
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  struct Case {
    const char* family;
    std::size_t n, k;
  };
  std::vector<Case> cases;
  for (std::size_t n : {std::size_t{500}, std::size_t{2000}, std::size_t{10000}}) {
    if (quick && n > 2000) continue;
    for (std::size_t k : {std::size_t{10}, std::size_t{50}}) cases.push_back({"random", n, k});
  }
  cases.push_back({"industry", 2000, 50});
  if (!quick) cases.push_back({"industry", 10000, 100});
  std::printf("%-8s %6s %4s %4s %5s %9s | %10s %10s %6s | %6s %-16s %9s %9s\n", "family", "n", "k", "h",
              "dense", "stored", "iter [us]", "2xV [us]", "ratio", "iters", "status", "solve[ms]",
              "total[ms]");
  for (const Case& c : cases) {
    const Row r = measure(c.family, c.n, c.k);
    std::printf("%-8s %6zu %4zu %4zu %5zu %9zu | %10.2f %10.2f %6.2f | %6llu %-16s %9.3f %9.3f\n", r.family,
                r.n, r.k, r.h, r.dense, r.stored, r.iteration_us, r.floor_us, r.iteration_us / r.floor_us,
                static_cast<unsigned long long>(r.iterations), r.status, r.solve_ms, r.total_ms);
  }
  return 0;
}
