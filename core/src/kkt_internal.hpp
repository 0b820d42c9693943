// The KKT module's internals shared with the certificate audits and the
// stopping rule: the first wrong block length of a check, and the products of
// an iterate that a termination check needs more than once (the KKT check and
// the stopping tolerances both read P·x, A_eq·x and A_in·x; computing them
// once and handing them to both gives the same values as each computing its
// own).
#pragma once

#include <cstddef>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "morva/kkt.hpp"
#include "morva/problem.hpp"

namespace morva {

// One block of a length check; the name is only copied into an error.
struct BlockLength {
  const char* name;
  std::size_t expected;
  std::size_t actual;
};

// The first block, in the order given, whose length is not the expected one.
inline std::optional<LengthMismatch> first_length_mismatch(std::initializer_list<BlockLength> blocks) {
  for (const BlockLength& b : blocks) {
    if (b.expected != b.actual) return LengthMismatch{b.name, b.expected, b.actual};
  }
  return std::nullopt;
}

struct IterateProducts {
  std::vector<double> px;        // P·x through the factor form, min(n, len x) entries
  std::vector<double> eq_image;  // (A_eq·x)_i, one per row of the equality matrix
  std::vector<double> in_image;  // (A_in·x)_j, one per row of the inequality matrix
};

IterateProducts iterate_products(const QpProblem& problem, std::span<const double> x);

// check_kkt with the products supplied.
std::expected<KktResiduals, LengthMismatch> check_kkt(const QpProblem& problem, std::span<const double> x,
                                                      const DualVariables& duals,
                                                      const IterateProducts& products);

}  // namespace morva
