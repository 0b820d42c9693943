// Writes the fuzzer's seed corpus: the dumps of seeded random valid problems
// (the generator of the JSON round-trip tests), one file per problem, into
// the directory given as the only argument. Exit status 1 on a write error.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "morva/json.hpp"
#include "support/random_portfolio.hpp"

namespace {

constexpr std::uint64_t kRandomSeeds = 200;

bool write_dump(const std::filesystem::path& directory, const std::string& name,
                const morva::PortfolioProblem& problem) {
  std::ofstream out(directory / (name + ".json"), std::ios::binary);
  out << morva::problem_to_json(problem);
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  using morva::fixture::Features;
  const std::filesystem::path directory(argv[1]);
  std::filesystem::create_directories(directory);
  bool ok = true;
  for (std::uint64_t seed = 0; seed < kRandomSeeds; ++seed) {
    const Features features = morva::fixture::random_features(seed);
    ok &= write_dump(directory, "random-" + std::to_string(seed),
                     morva::fixture::random_problem(seed, features));
  }
  // Every optional field present at once, and none: the two ends of the shape.
  const Features all = morva::fixture::every_feature();
  const Features none{.n = 2, .k = 0};
  ok &= write_dump(directory, "all-features", morva::fixture::random_problem(1, all));
  ok &= write_dump(directory, "no-features", morva::fixture::random_problem(1, none));
  return ok ? 0 : 1;
}
