// Seeded random valid portfolios whose numbers stress the JSON texts
// (subnormals, the extremes of the double range, negative zero, infinite box
// sides) and whose features cover every field of a dump. Used by the JSON
// round-trip tests and by the fuzzer's seed corpus.
#pragma once

#include <cstddef>
#include <cstdint>

#include "morva/portfolio.hpp"

namespace morva::fixture {

struct Features {
  std::size_t n = 3;
  std::size_t k = 2;
  bool dense_omega = false;
  int budget_mode = 0;  // 0 default, 1 none, 2 custom value
  double infinite_side_chance = 0.0;
  bool equalities = false;
  bool inequalities = false;
  bool previous = false;
  bool l1 = false;
  bool benchmark = false;
  bool groups = false;
  bool neutrality = false;  // needs the benchmark
  bool style = false;
  bool concentration = false;
  bool short_limit = false;
};

// The problem a builder returned; a builder error is a test failure and aborts.
PortfolioProblem unwrap(PortfolioResult result);

// Deterministic in (seed, features); a builder that rejects the draw is a
// test failure, except the limits that may legitimately empty a box.
PortfolioProblem random_problem(std::uint64_t seed, const Features& features);

// A mix of sizes (n 1…6, k 0…3) and features, deterministic in the seed.
Features random_features(std::uint64_t seed);

// Five assets, three factors and every optional field and template at once.
Features every_feature();

}  // namespace morva::fixture
